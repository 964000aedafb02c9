#include "delivery/update/UpdateManager.h"

#include <unistd.h>

#include <memory>
#include <utility>

#include "delivery/update/AppRequestScheduler.h"
#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/PeriodicWrapper.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/core/FatalError.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "foundation/threads/ThreadPool.h"
#include "platform/InstanceObject.h"
#include "platform/Process.h"

namespace Vel::UpdateManager {
namespace {

struct ModuleState {
    VelMutex lock{"UpdateManager"};
    int jobState = kNoJob;
    bool abortRequested = false;
    bool maintenance = false;
    bool requestPending = false;
    bool clientRunning = false;
    bool applying = false;
    bool shuttingDown = false;
    UpdateFailure lastFailure;
    VersionNumber lastVersion;
    VersionRequester requester;
    std::shared_ptr<VelThreadPool> updatePool;
};

ModuleState& State() {
    static ModuleState state;
    return state;
}

// Stops a pool taken out of the module state and lets go of it. Outside the update-manager
// lock, which its jobs take; stopped (its thread joined) first, so that whichever holder of a
// GetUpdateThreadPool reference lets go last is never the pool's own thread.
void StopAndRelease(std::shared_ptr<VelThreadPool> pool) {
    if (pool) pool->Stop();
}

// Caller holds the lock. A client we started, or one whose instance object someone holds
// (started by the player or by another launcher).
bool ClientRuns(const ModuleState& s) {
    return s.clientRunning || Platform::InstanceObject::Exists(ClientInstanceObjectName());
}

}  // namespace

void Init(RouterConnector::IRequestScheduler* scheduler) {
    auto pool = std::make_shared<VelThreadPool>("", 1, VelThread::kKindWorker);
    {
        auto lock = Lock();
        std::swap(pool, State().updatePool);
    }
    StopAndRelease(std::move(pool));  // a previous pool, as in Shutdown
    RouterConnector::IRequestScheduler& target =
        scheduler != nullptr ? *scheduler : RouterConnector::AppRequestScheduler();
    auto periodic = std::make_shared<PeriodicWrapper>([] { return PeriodicVersionCheck(true); },
                                                      kVersionCheckInterval, target);
    periodic->Schedule();
}

void Shutdown() {
    std::shared_ptr<VelThreadPool> pool;
    {
        auto lock = Lock();
        State().shuttingDown = true;
        State().abortRequested = true;
        if (State().updatePool) State().updatePool->ClearJobs();
        pool = std::move(State().updatePool);
    }
    StopAndRelease(std::move(pool));  // ends and joins its thread, outside the lock its jobs take
    auto lock = Lock();
    State().shuttingDown = false;
}

std::shared_ptr<VelThreadPool> GetUpdateThreadPool() {
    auto lock = Lock();
    return State().updatePool;
}

std::unique_lock<VelMutex> Lock() { return std::unique_lock(State().lock); }

bool RequestVersion(bool notify) {
    ModuleState& s = State();
    if (s.requestPending || ClientRuns(s)) return true;
    s.requestPending = true;
    auto callback = [notify](const RouterConnector::VersionInfo& info) { OnVersionInfo(info, notify); };
    if (s.requester) {
        s.requester(callback);
    } else {
        RouterConnector::RequestVersion(callback);
    }
    return true;
}

bool PeriodicVersionCheck(bool notify) {
    auto lock = Lock();
    return RequestVersion(notify);
}

void CheckForUpdate() {
    auto lock = Lock();
    RequestVersion(false);
}

void OnClientExited() {
    auto lock = Lock();
    State().clientRunning = false;
    RequestVersion(true);
}

void SetClientRunning() {
    auto lock = Lock();
    State().clientRunning = true;
}

bool IsClientRunning() {
    auto lock = Lock();
    return ClientRuns(State());
}

std::string ClientInstanceObjectName() { return InstanceObjectName(true, kClientObjectName); }

bool IsMaintenanceMode() {
    auto lock = Lock();
    return State().maintenance;
}

bool IsUpdateRunning() {
    auto lock = Lock();
    return State().jobState == kUpdateJob;
}

bool CanStartClient() {
    auto lock = Lock();
    const ModuleState& s = State();
    return s.jobState == kNoJob && !s.lastVersion.IsNull() && !s.maintenance && !ClientRuns(s);
}

VersionNumber GetLastVersion() {
    auto lock = Lock();
    return State().lastVersion;
}

bool Abort() {
    auto lock = Lock();
    if (State().applying) return false;
    State().abortRequested = true;
    if (State().updatePool) State().updatePool->ClearJobs();
    return true;
}

void SetApplying(bool applying) {
    auto lock = Lock();
    State().applying = applying;
}

bool IsApplying() {
    auto lock = Lock();
    return State().applying;
}

void SetLastFailure(UpdateFailure failure) {
    auto lock = Lock();
    State().lastFailure = std::move(failure);
}

UpdateFailure TakeLastFailure() {
    auto lock = Lock();
    return std::exchange(State().lastFailure, UpdateFailure());
}

bool IsShuttingDown() {
    auto lock = Lock();
    return State().shuttingDown;
}

bool IsAbortRequested() {
    auto lock = Lock();
    return State().abortRequested;
}

void MarkJobStarted(int jobState) {
    auto lock = Lock();
    State().jobState = jobState;
    State().abortRequested = false;
}

bool TryStartJob(int jobState) {
    auto lock = Lock();
    if (State().jobState != kNoJob) return false;
    State().jobState = jobState;
    State().abortRequested = false;
    return true;
}

void HandOverUpdateJob(bool aborted) {
    auto lock = Lock();
    State().jobState = kUpdateJob;
    State().abortRequested = aborted;
}

void MarkJobFinished() {
    auto lock = Lock();
    State().jobState = kNoJob;
}

void OnVersionInfo(const RouterConnector::VersionInfo& info, bool notify) {
    auto lock = Lock();
    ModuleState& s = State();
    bool maintenance = info.maintenance != 0;
    GetParameterStore().Get("trailstarter.maintenanceMode", ParameterType::Bool, maintenance);
    s.requestPending = false;
    s.lastVersion = info.version;
    s.maintenance = maintenance;

    VersionNumber local;
    const bool localKnown = ReadClientVersion(local);
    LoadClientVersionString();
    if (s.jobState != kNoJob || ClientRuns(s)) return;
    const bool current = localKnown && local == s.lastVersion;
    PostMainWindowMessage(current || !notify ? MainWindowMessage::VersionCurrent : MainWindowMessage::StartUpdate);
}

std::string ResultText(int code) {
    switch (code) {
        case 0: return "Done";
        case 1: return "Done: Restarting...";
        case 2: return "Aborting...";
        case 3: case 4: case 5: case 6: case 7: return "";
        default: FatalError("update result out of range");
    }
}

bool IsFailureResult(int code) {
    if (code < 0 || code > 7) FatalError("update result out of range");
    return code >= 3;
}

std::vector<std::string> RestartArguments() {
    std::vector<std::string> arguments{"--quiet", "--wait-for-parent", std::to_string(::getpid())};
    // A demo or test installation is set up by its command line: the new instance must talk to
    // the same servers. Only the key=value parameters go on, never a switch.
    const auto& assignments = GetParameterStore().GetImportedAssignments();
    arguments.insert(arguments.end(), assignments.begin(), assignments.end());
    return arguments;
}

bool RestartSelf() {
    try {
        const std::string& path = Platform::ExecutablePath();
        if (path.empty()) return false;
        Platform::ProcessStart start;
        start.program = path;
        start.arguments = RestartArguments();
        return Platform::StartProcess(start) > 0;
    } catch (...) {
        return false;
    }
}

bool WaitForParentProcess(pid_t pid, int milliseconds) {
    try {
        return Platform::WaitForProcessExit(pid, milliseconds);
    } catch (...) {
        return false;
    }
}

void SetVersionRequesterForTesting(VersionRequester requester) {
    auto lock = Lock();
    State().requester = std::move(requester);
}

void ResetForTesting() {
    auto lock = Lock();
    ModuleState& s = State();
    s.jobState = kNoJob;
    s.abortRequested = false;
    s.maintenance = false;
    s.requestPending = false;
    s.clientRunning = false;
    s.applying = false;
    s.lastFailure = UpdateFailure();
    s.lastVersion = VersionNumber();
}

}  // namespace Vel::UpdateManager
