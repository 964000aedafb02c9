#pragma once
// Vel::VelDownloadJob: downloads one update package from a list of mirrors into a file,
// hashing it with SHA-1 as it arrives, checks its size and hash, and retries on the other
// mirrors with pauses; when a whole cycle of attempts has failed it asks its callback whether
// to go on.
//
// Contract:
// - Run is the body, run on one thread (the update pool's). A job that runs ends with exactly
//   one ICallback::OnDone: failed false after a verified file, failed true after an abort
//   (before the start, during a transfer or a pause, or OnRetry answering false). Every
//   failure of an attempt (network, status, stream, file system, size, hash) is caught by the
//   retry loop and never escapes Run.
// - A job destroyed without having run (discarded from a queue) calls OnDiscarded instead,
//   from the destroying thread; it never calls OnDone.
// - Attempt k (0-based within a cycle) uses mirror k mod n; a cycle has max(n, 3) + 1 attempts,
//   then OnRetry is asked; true starts a new cycle at the first mirror. With no mirror at all
//   the cycle fails at once. Every failed attempt is followed by a 3-second pause on the
//   injected clock, cut short by an abort.
// - The body is checked as it arrives: an abort ends the transfer (also while it stalls, from
//   the HTTP client's progress check), and a body that grows past the expected size fails the
//   attempt at once. The bytes of a failed attempt are taken back from the progress
//   (TakeBackProgress), so the reported progress never runs ahead of the file.
// - The callback is shared with the job; its operations are called on the job's thread (and
//   OnDiscarded on the discarding thread). No locks of its own.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "delivery/update/FileList.h"
#include "foundation/time/Clock.h"
#include "foundation/data/Sha1.h"
#include "foundation/threads/Thread.h"
#include "foundation/runtime/VelURI.h"

class Win32File;
struct HttpExchange;

namespace Vel {

// One update mirror: its base URL and the credentials given to the HTTP connection (empty
// when the mirror needs none).
struct DownloadMirror {
    VelURI url;
    std::string userName;
    std::string password;
};

// What a download job fetches.
struct DownloadItem {
    std::string path;  // relative, both below the mirror's base URL and below the target folder
    std::uint64_t size = 0;
    Sha1Digest sha1;
    std::string displayName;
};

// The package of a manifest entry: its cached zip path, size and hash, and display name.
DownloadItem MakeDownloadItem(const FileListEntry& entry);

class VelDownloadJob final : public VelRunnable {
public:
    class ICallback {
    public:
        virtual ~ICallback() = default;
        virtual void OnDone(const DownloadItem& item, bool failed) = 0;
        // A cycle of attempts failed; true starts a new cycle.
        virtual bool OnRetry(const DownloadItem& item, const std::string& message) = 0;
        virtual void SetStatus(const std::string& text) = 0;
        virtual void AddProgress(std::uint64_t bytes) = 0;
        // Takes back bytes reported by AddProgress for an attempt that failed.
        virtual void TakeBackProgress(std::uint64_t bytes) = 0;
        virtual void SetTransferring(bool transferring) = 0;
        virtual bool IsAborted() = 0;
        // The job was destroyed without running.
        virtual void OnDiscarded(const DownloadItem& item) = 0;
    };

    static constexpr auto kRetryPause = std::chrono::milliseconds(3000);

    VelDownloadJob(std::vector<DownloadMirror> mirrors, DownloadItem item, std::string targetDir,
                   std::shared_ptr<ICallback> callback, bool keepPath, IClock& clock = DefaultClock());
    ~VelDownloadJob() override;

    void Run() override;

    // The full path of the file an attempt writes.
    std::string TargetPath() const;

private:
    void DownloadWithRetries();
    void DownloadOnce();
    void Pause();

    const DownloadItem item_;
    const std::string targetDir_;
    const bool keepPath_;
    const std::vector<DownloadMirror> mirrors_;
    const std::shared_ptr<ICallback> callback_;
    IClock& clock_;
    const DownloadMirror* currentMirror_ = nullptr;
    bool ran_ = false;
};

// String 1122 + " (" + why + ")": the HTTP status of an answered request (HttpFailureText),
// else "error code " + the thread's last system error; nothing added when neither tells (no
// code 0 is ever shown).
std::string NetworkErrorText(const HttpExchange& exchange);

}  // namespace Vel
