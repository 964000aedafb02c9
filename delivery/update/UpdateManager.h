#pragma once
// Vel::UpdateManager: decides when the installed client is out of date, keeps the answers the
// main window needs before it lets the player launch, asks the router for the current version
// every minute (and after a worker or the game client has finished), and restarts the program
// after a self-update.
//
// Contract:
// - All module state lives under one lock, the update-manager lock; every function takes it
//   itself except RequestVersion, whose caller holds it (Lock()).
// - At most one version request is in flight; none is made while the game client runs.
// - The game client runs while the client we launched has not exited (SetClientRunning ..
//   OnClientExited) and also while anyone holds the client's instance object
//   (ClientInstanceObjectName), so a client the player started without us counts too: no
//   version request, no version message, no launch, and no update applied under it.
// - OnVersionInfo runs on the request scheduler (the application pool), never on "Net2". It
//   stores the reply (a failed request stores 0.0.0.0), applies the parameter
//   "trailstarter.maintenanceMode" over the reply's maintenance byte, reads "version.txt", and
//   unless a job runs or the client runs posts WM_APP+13 (version current) or, when the
//   versions differ or the local one cannot be read and the check was made with notify,
//   WM_APP+14 (start an update). It posts while holding the lock.
// - Threads: the application pool (periodic check, replies), the UI thread (queries,
//   CheckForUpdate, SetClientRunning, Abort), the client monitor (OnClientExited), the update
//   pool's jobs (job state, abort flag), start-up and shutdown on the main thread.
// - RestartSelf and WaitForParentProcess report failure as false and never throw.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/update/RouterConnector.h"
#include "foundation/core/Exception.h"
#include "foundation/threads/Mutex.h"
#include "foundation/core/VersionNumber.h"

class VelThreadPool;

namespace Vel {

// The outcome of an update run (WPARAM of WM_APP+15).
enum class UpdateResult : int {
    Done = 0,
    DoneRestart = 1,
    Aborted = 2,
    UpdateListFailed = 3,
    DownloadError = 4,
    ExtractError = 5,
    ApplyError = 6,
    InternalError = 7,
};

namespace UpdateManager {

// Why a run failed, beyond its code, for the player: the certificate problem and its host,
// the HTTP status, that the elevation command is missing or refused... "" when nothing more
// is known. serverAnswered: the update server itself answered (the internet evidently works).
struct UpdateFailure {
    std::string cause;
    bool serverAnswered = false;
};

class UpdateException : public Exception {
public:
    explicit UpdateException(UpdateResult code) : Exception(), code_(code) {}
    UpdateException(UpdateResult code, UpdateFailure failure)
        : Exception(failure.cause), code_(code), failure_(std::move(failure)) {}
    UpdateException(const UpdateException&) = default;
    UpdateResult GetCode() const noexcept { return code_; }
    const UpdateFailure& GetFailure() const noexcept { return failure_; }

private:
    UpdateResult code_;
    UpdateFailure failure_;
};

// jobState values.
inline constexpr int kNoJob = 0;
inline constexpr int kUpdateJob = 1;
inline constexpr int kMoveContentJob = 2;

inline constexpr auto kVersionCheckInterval = std::chrono::minutes(1);

// Creates the update thread pool (one thread, kind 4) and starts the periodic version check
// (first run one interval from now) on the scheduler (null: the application thread pool).
// A pool made by an earlier Init is stopped as in Shutdown.
void Init(RouterConnector::IRequestScheduler* scheduler = nullptr);
// Sets the abort flag (also while the updater applies: it is left to finish on its own),
// discards the queued jobs, then stops the update pool (its thread ends and is joined,
// outside the update-manager lock) and lets go of it. Init and Shutdown: not from the pool's
// own thread.
void Shutdown();
// The pool the update run, its downloads and the move-content job run on; null outside
// Init..Shutdown. The reference keeps the pool alive across a concurrent Shutdown or Init:
// posting to a pool stopped meanwhile drops the job (a waiter gets Vel::AbortException).
std::shared_ptr<VelThreadPool> GetUpdateThreadPool();

// The update-manager lock, for RequestVersion's callers.
std::unique_lock<VelMutex> Lock();

// Caller holds the lock. Unless a request is pending or the client runs, asks the router.
// Always true.
bool RequestVersion(bool notify);
bool PeriodicVersionCheck(bool notify);
void CheckForUpdate();
void OnClientExited();
void SetClientRunning();

// The client's instance object: "Solvenda", the host index and the site
// ("Solvenda_0_<site>"; "Solvenda_0" on the production site).
inline constexpr const char* kClientObjectName = "Solvenda";
std::string ClientInstanceObjectName();

// True while the client we launched runs or anyone holds the client's instance object.
bool IsClientRunning();
bool IsMaintenanceMode();
bool IsUpdateRunning();
bool CanStartClient();
VersionNumber GetLastVersion();

// Sets the abort flag and discards the jobs still queued on the update pool; true. While the
// updater applies files (SetApplying) the abort is refused: nothing changes and false is
// returned (a half-applied client is worse than a late one).
bool Abort();
bool IsAbortRequested();
// The job state transitions of the update run and the move-content job: starting clears the
// abort flag.
void MarkJobStarted(int jobState);
void MarkJobFinished();
// Starts the job only when none runs (true); a job still ending keeps the state and its abort.
bool TryStartJob(int jobState);
// The ending update run hands the update state to the run that waited for it: the state stays
// "update running", and the abort flag becomes the waiting run's.
void HandOverUpdateJob(bool aborted);
// Set by the update run while the updater executable applies files.
void SetApplying(bool applying);
bool IsApplying();
// True from the start of Shutdown until the update pool has been joined: waits on the pool give
// up so that its thread ends in time.
bool IsShuttingDown();
// The cause of the failure the last finished update run ended with; kept by the run before it
// posts its result, taken (and cleared) by the window that shows it.
void SetLastFailure(UpdateFailure failure);
UpdateFailure TakeLastFailure();

void OnVersionInfo(const RouterConnector::VersionInfo& info, bool notify);

// "Done", "Done: Restarting...", "Aborting..." for 0-2, "" for 3-7; above 7 is fatal.
std::string ResultText(int code);
bool IsFailureResult(int code);

// The command line a restart passes: "--quiet --wait-for-parent <our pid>", then each key=value
// parameter this process took from its command line, one argument each, in their order.
std::vector<std::string> RestartArguments();
// Starts our own executable (the path captured at start) with RestartArguments().
bool RestartSelf();
bool WaitForParentProcess(pid_t pid, int milliseconds);

// Tests: replaces the router request (null: RouterConnector::RequestVersion) and clears the state.
using VersionRequester = std::function<void(RouterConnector::VersionCallback)>;
void SetVersionRequesterForTesting(VersionRequester requester);
void ResetForTesting();

}  // namespace UpdateManager
}  // namespace Vel
