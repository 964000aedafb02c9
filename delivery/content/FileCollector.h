#pragma once
// FileCollector: works out, off the user-interface thread, which content files a set of planets
// still needs, and from that how large a planet's content is and how much of it is missing.
//
// Requests are queued (appended at the back, taken from the front) to the one thread
// "FileCollector" and answered through their callbacks, in posting order.
//
// Contract:
// - The collector calls two functions it is given: the file-set builder (the content driver's
//   collection, which may rescan the archives first and may throw Vel::Exception) and the
//   planet size sum (the stored sizes of every file the planet index lists for the ids). Both
//   run on the "FileCollector" thread; a request whose builder throws is answered with
//   (false, empty set) and the thread goes on with the next one.
// - Callbacks run on the "FileCollector" thread; a caller hands the result to its own thread
//   before touching controls. An exception escaping a callback is caught and dropped.
// - Post may be called from any thread, before or after Start; the queue is touched only under
//   its lock. RequestStop (any thread) makes the thread end after the request it is working on;
//   requests still queued then are dropped unanswered. IsStopRequested lets a long builder (a
//   rescan) end early. Join (and the destructor) waits for the thread; the stop flag is atomic.
// - Start runs the thread once; a second Start, or a Start after stopping, does nothing.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "delivery/content/UpdatedFile.h"
#include "foundation/threads/Event.h"

class VelThread;

namespace Vel {

class FileCollector {
public:
    using FileSetBuilder = std::function<ContentDownload::UpdatedFileSet(const std::set<std::uint16_t>&)>;
    using PlanetSizeSum = std::function<std::uint64_t(const std::set<std::uint16_t>&)>;
    using FilesCallback = std::function<void(bool ok, const ContentDownload::UpdatedFileSet& files)>;
    using SizeCallback = std::function<void(bool ok, std::uint64_t total, std::uint64_t needed)>;

    FileCollector(FileSetBuilder build, PlanetSizeSum planetSize);
    ~FileCollector();
    FileCollector(const FileCollector&) = delete;
    FileCollector& operator=(const FileCollector&) = delete;

    void Start();
    void Post(ContentDownload::DownloadParameters parameters, FilesCallback callback);
    // Answers (ok, total stored bytes of the planet, stored bytes still needed); both 0 when not ok.
    void QueryPlanetDownloadSize(std::uint16_t planetId, SizeCallback callback);

    void RequestStop();
    bool IsStopRequested() const { return stopping_.load(); }
    void Join();

private:
    struct Request {
        ContentDownload::DownloadParameters parameters;
        FilesCallback callback;
    };

    bool Pop(Request& out);
    void ThreadMain();

    const FileSetBuilder build_;
    const PlanetSizeSum planetSize_;
    std::mutex queueLock_;
    std::deque<Request> queue_;
    VelEvent wake_{false};
    std::atomic<bool> stopping_{false};
    std::mutex threadLock_;
    std::unique_ptr<::VelThread> thread_;
};

}  // namespace Vel
