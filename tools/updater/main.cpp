// SolvendaUpdater: applies a staged update to the client folder, or moves the planet content.
//
//   SolvendaUpdater --update-client STAGING CLIENT
//   SolvendaUpdater [--machine-hive HIVE] --move-content KEY VALUE-NAME FROM TO
//
// Exit codes: 0 done, 1 bad command line, 2 refused (a path that would leave the client
// folder or cross a symbolic link), 3 failed with the client untouched, 4 failed midway (the
// applied and the missing files are listed on standard error), 5 the content move failed.
// Never 126 or 127: those are the elevation command's own answers.
//
// For tests only, TRAILSTARTER_UPDATER_TEST_FAULT makes it "exit:N" at once, or stop after N
// applied files ("pause-after:N": prints "paused" on standard output and waits up to a minute).

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "ClientUpdate.h"
#include "ContentMove.h"

namespace {

int Usage() {
    std::cerr << "usage: SolvendaUpdater --update-client STAGING CLIENT\n"
                 "       SolvendaUpdater [--machine-hive HIVE] --move-content KEY VALUE-NAME FROM TO\n";
    return Updater::kBadCommandLine;
}

int Run(std::vector<std::string> args) {
    std::size_t pauseAfter = 0;
    if (const char* fault = std::getenv("TRAILSTARTER_UPDATER_TEST_FAULT")) {
        const std::string text = fault;
        if (text.rfind("exit:", 0) == 0) return std::atoi(text.c_str() + 5);
        if (text.rfind("pause-after:", 0) == 0) pauseAfter = static_cast<std::size_t>(std::atoi(text.c_str() + 12));
    }
    std::string hive = Updater::kDefaultMachineHive;
    if (args.size() >= 2 && args[0] == "--machine-hive") {
        hive = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() == 3 && args[0] == "--update-client") {
        const auto pause = [pauseAfter](std::size_t applied) {
            if (pauseAfter == 0 || applied != pauseAfter) return;
            std::cout << "paused" << std::endl;
            std::this_thread::sleep_for(std::chrono::minutes(1));
        };
        return Updater::UpdateClient(args[1], args[2], std::cerr, pause);
    }
    if (args.size() == 5 && args[0] == "--move-content")
        return Updater::MoveContent(args[1], args[2], args[3], args[4], hive, std::cerr);
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    int code;
    try {
        code = Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        code = Updater::kNotApplied;
    }
    if (code == 126 || code == 127 || code < 0 || code > 255) code = Updater::kBadCommandLine;
    return code;
}
