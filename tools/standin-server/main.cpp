// standin-server: serves a folder tree as the update and content servers do.
//   standin-server --root DIR [--listen 127.0.0.1:0] [--password PW]
//                  [--tls-cert PEM --tls-key PEM] [--fault PATH=KIND ...] [--log FILE]
//                  [--post-folder DIR]
// Prints "listening on ADDRESS:PORT" once bound and serves until SIGTERM or SIGINT.

#include <signal.h>

#include <boost/program_options.hpp>
#include <fstream>
#include <iostream>

#include "tools/standin-server/StandinServer.h"

namespace po = boost::program_options;

int main(int argc, char** argv) {
    std::string root, listen = "127.0.0.1:0", logFile;
    std::vector<std::string> faults;
    Standin::ServerConfig config;
    po::options_description options("standin-server options");
    options.add_options()("help", "show this help")("root", po::value(&root)->required(), "folder to serve")(
        "listen", po::value(&listen), "ADDRESS:PORT to bind (port 0: the system chooses)")(
        "password", po::value(&config.password), "require Basic authentication for the user \"client\"")(
        "tls-cert", po::value(&config.tlsCertificate), "serve HTTPS with this PEM certificate chain")(
        "tls-key", po::value(&config.tlsKey), "the PEM key of --tls-cert")(
        "fault", po::value(&faults)->composing(),
        "PATH=KIND with KIND one of 404, 500, status:N, truncate, flip, extra[:N], stall, slow[:CHUNK:MS], reset; "
        "PATH * is every path")("log", po::value(&logFile), "append one line per request to this file")(
        "post-folder", po::value(&config.postFolder), "store each POST body as a file in this folder");
    try {
        po::variables_map vm;
        po::store(po::parse_command_line(argc, argv, options), vm);
        if (vm.count("help")) {
            std::cout << options << "\n";
            return 0;
        }
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "standin-server: " << e.what() << "\n" << options << "\n";
        return 2;
    }
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) {
        std::cerr << "standin-server: --listen needs ADDRESS:PORT\n";
        return 2;
    }
    config.address = listen.substr(0, colon);
    try {
        const unsigned long port = std::stoul(listen.substr(colon + 1));
        if (port > 65535) throw std::out_of_range("port");
        config.port = static_cast<std::uint16_t>(port);
    } catch (const std::exception&) {
        std::cerr << "standin-server: bad port in --listen\n";
        return 2;
    }
    if (config.tlsCertificate.empty() != config.tlsKey.empty()) {
        std::cerr << "standin-server: --tls-cert and --tls-key go together\n";
        return 2;
    }
    config.root = root;
    std::ofstream log;
    if (!logFile.empty()) {
        log.open(logFile, std::ios::app);
        config.log = &log;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts

    Standin::HttpServer server(config);
    for (const auto& f : faults) {
        const auto eq = f.rfind('=');
        Standin::Fault fault;
        if (eq == std::string::npos || !Standin::ParseFault(f.substr(eq + 1), fault)) {
            std::cerr << "standin-server: bad --fault " << f << "\n";
            return 2;
        }
        server.SetFault(f.substr(0, eq), fault);
    }
    try {
        server.Start();
    } catch (const std::exception& e) {
        std::cerr << "standin-server: " << e.what() << "\n";
        return 1;
    }
    std::cout << "listening on " << config.address << ":" << server.Port() << std::endl;
    int sig = 0;
    sigwait(&signals, &sig);
    server.Stop();
    return 0;
}
