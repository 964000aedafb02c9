#include "foundation/runtime/ProcessRuntime.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/variables_map.hpp>
#include <cstdio>
#include <exception>
#include <mutex>

#include "foundation/core/AppEnvironment.h"
#include "foundation/core/CrashHandler.h"
#include "foundation/core/FatalError.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/data/RandomGenerator.h"
#include "foundation/config/SiteName.h"
#include "foundation/threads/Thread.h"

namespace Vel {
namespace po = boost::program_options;

namespace {

bool g_runtimeStarted = false;
std::unique_ptr<Platform::InstanceObject> g_singleInstance;
std::unique_ptr<VelThread> g_mainThread;

std::vector<std::string> ParseOptions(po::options_description& table, const std::vector<std::string>& arguments) {
    try {
        auto parsed = po::command_line_parser(arguments).options(table).allow_unregistered().run();
        po::variables_map values;
        po::store(parsed, values);
        po::notify(values);
        return po::collect_unrecognized(parsed.options, po::include_positional);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

void FatalRuntimeHandler() { FatalError(); }

void RuntimeInit(unsigned flags, po::options_description& optionTable, const std::vector<std::string>& arguments) {
    if (g_runtimeStarted) FatalError("1");
    g_runtimeStarted = true;

    InitRandomTables();
    InstallCrashSignalHandlers();
    InstallRoot(flags);
    InitAppEnvironment();
    RefreshCrashHandlerState();  // the crash files' names and the version are known now

    po::options_description all("options", 80, 40);
    all.add(optionTable);
    ImportParameters(ParseOptions(all, arguments));

    InitSiteName();

    g_mainThread.reset(VelThread::AdoptCurrentThread("", VelThread::kKindMain));

    // An uncaught exception, a pure virtual call (which terminates) and an abort are fatal
    // errors: a dump and a log with the "CrashInfo=" line, then kFatalExitCode.
    std::set_terminate([] { FatalRuntimeHandler(); });
    SetCrashAbortHandler(&FatalRuntimeHandler);

    const std::string base = GetExeBaseName();
    std::remove((base + ".log").c_str());
    std::remove((base + ".dmp").c_str());
}

void RuntimeShutdown() {
    if (!g_runtimeStarted) FatalError("0");
}

bool IsRuntimeStarted() { return g_runtimeStarted; }

void ResetRuntimeForTesting() {
    g_runtimeStarted = false;
    g_singleInstance.reset();
    g_mainThread.reset();
}

std::string InstanceObjectName(bool withSite, const std::string& name) {
    std::string result = name.empty() ? GetExeBaseName() : name;
    std::int32_t hostIndex = 0;
    GetParameterStore().Get("host.index", ParameterType::Int, hostIndex);
    result += "_" + std::to_string(hostIndex);
    if (withSite) {
        const std::string site = GetSiteName();
        if (!site.empty()) result += "_" + site;
    }
    return result;
}

bool AcquireInstanceMutex(bool wait, const std::string& name, int timeoutMs, bool keepHandle,
                          std::unique_ptr<Platform::InstanceObject>& handle, bool withSite,
                          Platform::InstanceObject::Result* outcome) {
    handle = std::make_unique<Platform::InstanceObject>();
    bool acquired = false;
    const Platform::InstanceObject::Result result = handle->Create(InstanceObjectName(withSite, name));
    if (outcome) *outcome = result;
    switch (result) {
        case Platform::InstanceObject::Result::New: acquired = true; break;
        case Platform::InstanceObject::Result::Existed: acquired = wait && handle->Wait(timeoutMs); break;
        case Platform::InstanceObject::Result::Failed: break;
    }
    if (!acquired || !keepHandle) handle.reset();
    return acquired;
}

bool AcquireSingleInstance(bool wait, const std::string& name, int timeoutMs, bool keepHandle, bool withSite,
                           Platform::InstanceObject::Result* outcome) {
    std::unique_ptr<Platform::InstanceObject> handle;
    if (!AcquireInstanceMutex(wait, name, timeoutMs, keepHandle, handle, withSite, outcome)) return false;
    if (handle) g_singleInstance = std::move(handle);
    return true;
}

bool IsWow64() {
    static std::once_flag once;
    static bool is64 = false;
    std::call_once(once, [] {
        utsname info{};
        if (::uname(&info) == 0) {
            const std::string machine = info.machine;
            is64 = machine.find("64") != std::string::npos || machine == "s390x";
        }
    });
    return is64;
}

}  // namespace Vel
