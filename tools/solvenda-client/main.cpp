// The game client stand-in. It accepts any command line (the launcher passes "--run" and
// its switches), and is steered by environment variables, or by the file
// "solvenda-standin.cfg" (KEY=value lines) beside the executable, the environment winning:
//   SOLVENDA_STANDIN_RECORD    file to write the run record to (default: "solvenda-run.txt"
//                              beside the executable): "pid=", "cwd=" and one "arg=" line
//                              per argument
//   SOLVENDA_STANDIN_HOLD_MS   hold the instance object this long (-1: until terminated;
//                              0 or unset: do not take it)
//   SOLVENDA_STANDIN_LOCK      the instance object's name (default "Solvenda_0")
//   SOLVENDA_STANDIN_CRASH     when 1: leave "out/crashes/solvenda_<pid>.dmp" and ".log"
//                              below the working folder
//   SOLVENDA_STANDIN_EXIT      the exit status (default 0)
// The instance object is the launcher's own (Vel::Platform::InstanceObject). It prints
// "holding NAME" once it holds it.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "platform/InstanceObject.h"
#include "platform/LastError.h"

namespace fs = std::filesystem;

namespace {

fs::path ExecutableFolder() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path();
}

std::map<std::string, std::string> ReadConfig() {
    std::map<std::string, std::string> config;
    std::ifstream in(ExecutableFolder() / "solvenda-standin.cfg");
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) config[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return config;
}

std::string Setting(const std::map<std::string, std::string>& config, const std::string& key,
                    const std::string& fallback) {
    if (const char* v = std::getenv(key.c_str())) return v;
    const auto it = config.find(key);
    return it == config.end() ? fallback : it->second;
}

long ToLong(const std::string& text, long fallback) {
    try {
        std::size_t used = 0;
        const long v = std::stol(text, &used);
        return used == text.size() ? v : fallback;
    } catch (const std::exception&) {
        return fallback;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto config = ReadConfig();
    const std::string record =
        Setting(config, "SOLVENDA_STANDIN_RECORD", (ExecutableFolder() / "solvenda-run.txt").string());
    const long holdMs = ToLong(Setting(config, "SOLVENDA_STANDIN_HOLD_MS", "0"), 0);
    const std::string lockName = Setting(config, "SOLVENDA_STANDIN_LOCK", "Solvenda_0");
    const bool crash = Setting(config, "SOLVENDA_STANDIN_CRASH", "0") == "1";
    const int exitCode = static_cast<int>(ToLong(Setting(config, "SOLVENDA_STANDIN_EXIT", "0"), 0)) & 0xFF;

    {
        std::error_code ec;
        std::ofstream out(record, std::ios::trunc);
        out << "pid=" << ::getpid() << "\n";
        out << "cwd=" << fs::current_path(ec).string() << "\n";
        for (int i = 1; i < argc; ++i) out << "arg=" << argv[i] << "\n";
    }

    if (crash) {
        std::error_code ec;
        fs::create_directories("out/crashes", ec);
        const std::string stem = "out/crashes/solvenda_" + std::to_string(::getpid());
        std::ofstream(stem + ".dmp", std::ios::binary) << "MDMP stand-in dump";
        std::ofstream(stem + ".log") << "CrashInfo=stand-in crash\nVersion=0.0.0.0\n";
    }

    if (holdMs != 0) {
        Vel::Platform::InstanceObject instance;
        const auto created = instance.Create(lockName);
        if (created == Vel::Platform::InstanceObject::Result::Existed) {
            std::cerr << "Solvenda stand-in: instance object " << lockName << " is taken\n";
            return 3;
        }
        if (created != Vel::Platform::InstanceObject::Result::New) {
            std::cerr << "Solvenda stand-in: cannot create instance object " << lockName << " (error "
                      << Vel::Platform::GetLastError() << ")\n";
            return 3;
        }
        std::cout << "holding " << lockName << std::endl;
        if (holdMs < 0) {
            for (;;) ::pause();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    }
    return exitCode;
}
