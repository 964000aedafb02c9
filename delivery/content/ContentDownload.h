#pragma once
// The content download driver: keeps the planet content in the ".pak" archives of the dynamic
// content folder current. A request (the required content, one planet of the player's
// background list, or every planet) becomes a set of files to fetch; one "Content Download
// Thread" first repairs the archives locally (moves, then deletions, both found by the rescan),
// then hands every missing file to the download queue and waits until the queue has drained.
// Also here: the rescan, the compaction and repair job bodies, and the planet size queries of
// the file collector.
//
// Contract:
// - One ContentDriver per process serves the launcher (GetContentDriver, and the free functions
//   below forward to it); tests make their own with a private queue and folders.
// - The content lock (a VelMutex) guards the needed set, the planet index, the move and delete
//   maps, the done set, the corrupt names and the descriptor map they refer to. The rescan holds
//   it for its whole run; BuildFileSet, OnFileDownloaded and SumPlanetFileSizes hold it while
//   they collect or change. The content thread copies the move and delete maps under it, works
//   on the archives without it, and takes it again to remove what it finished, only when no
//   rescan replaced the maps meanwhile. No lock is held while a job callback runs or while
//   waiting for the queue.
// - Init (GUI thread) may run many times: the collector thread, the download threads and the
//   writer start once; the descriptor map is reloaded (swapped whole) only while no content job
//   runs; the normalising save of the background list happens only when the planet list was
//   read whole.
// - StartPlanetDataDownload, AbortContentDownload, Init and Shutdown run on the GUI thread;
//   BuildFileSet, RescanContent, QueryPlanetDownloadSize and SumPlanetFileSizes on any thread;
//   CleanupPaks and RepairPak on their workers' threads; the per-file completion on the writer.
// - A started job has its callbacks (the caller's binder, the planet's done mark, the end of the
//   worker status) attached before its thread runs. Abort hits the module's own job. One
//   content job at a time: a second start while one runs throws Vel::Exception (empty text).
// - A file leaves the needed set only when it was written (download or move). A move copies the
//   stored bytes of an entry with the same CRC-32, stored size and format code, checked against
//   the descriptor's stored CRC-32; a failed move leaves the file to the download. Deletions
//   never remove the source of a move that did not happen, nor an entry a move just wrote.
// - With an empty descriptor map (no table could be read) nothing counts as undescribed: the
//   rescan deletes nothing and the compaction removes no entry (it still closes gaps).
// - Names from "corrupt_files.lst" are never taken as intact nor as move sources; a name is
//   taken out of the list once its entries were removed or replaced.
// - The done set (planets a background job handled in this process) is cleared when a rescan
//   finds a file needed that was not needed before.
// - A collection rescans when the content folder is no longer the one the last rescan looked
//   at (a content move), so no archive path of the old folder is handed out.
// - A rescan that fails leaves the content unscanned, so the next collection rescans.
// - Each run first makes sure the content folder can be made and written
//   (EnsureContentFolderWritable): otherwise it fails with ContentFolderAccessException before
//   any archive is touched or any file queued.
// - A failure of the content thread goes to its job (ThreadJob::Fail); when the handler answers
//   Retry the thread runs the job again itself (after the queue has drained what the failed run
//   queued), so the one-job-at-a-time rule still sees one job.
// - After Shutdown no job starts (the start gives the empty pointer).
// - Shutdown aborts the running job without waiting for it in the abort, stops the download
//   threads and the collector (each joined within the join limit), then joins the content
//   thread within the join limit. A rescan on the collector stops early once stopping began.

#include <atomic>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "delivery/content/DownloadQueue.h"
#include "delivery/content/FileCollector.h"
#include "delivery/descriptors/FileDescriptors.h"
#include "delivery/jobs/ThreadJob.h"
#include "delivery/content/UpdatedFile.h"
#include "foundation/threads/Mutex.h"

class VelThread;

namespace Vel::ContentDownload {

// The planet id under which the descriptor tables list what every installation needs.
inline constexpr std::uint16_t kRequiredPlanetId = 9999;
// Archives whose free gaps add up to this many bytes are compacted.
inline constexpr std::uint64_t kCompactionThreshold = 10'000'000;

// An entry of an archive: its archive path (empty for "any archive with room") and its name.
struct ArchiveEntryRef {
    std::string archive;
    std::string name;
    auto operator<=>(const ArchiveEntryRef&) const = default;
    bool operator==(const ArchiveEntryRef&) const = default;
};
// Target entry -> source entry.
using MoveMap = std::map<ArchiveEntryRef, ArchiveEntryRef>;
// Entries to remove, by archive and name (a name may have to go from several archives).
using DeleteSet = std::set<ArchiveEntryRef>;

struct ContentDriverOptions {
    std::string programDataFolder;  // empty: GetProgramDataFolder()
    std::string contentFolder;      // empty: MakeDynamicContentFolderPath() at each use
    std::string corruptListPath;    // empty: GetCorruptFileListPath()
    DownloadQueue* queue = nullptr;  // null: the process-wide queue
};

class ContentDriver {
public:
    explicit ContentDriver(ContentDriverOptions options = {});
    // Shuts down.
    ~ContentDriver();
    ContentDriver(const ContentDriver&) = delete;
    ContentDriver& operator=(const ContentDriver&) = delete;

    // Loads the descriptor tables (unless a content job runs) and the planet list, starts the
    // collector and the download threads once, and normalises the stored background list.
    void Init();
    void Shutdown();
    // The queue's threads end; the collector stops (its queued requests go unanswered).
    void StopContentServices();

    // Mode 0: the required content; mode 1: the background content. Null when nothing is to be
    // done. bind is called with the job before its thread runs. Any other mode is fatal.
    std::shared_ptr<ThreadJob> StartPlanetDataDownload(int mode, const ThreadJobBinder& bind = {});
    void AbortContentDownload();
    bool IsContentDownloadRunning() const;

    // Every needed file that the planet index lists for the ids; rescans first when needed.
    UpdatedFileSet BuildFileSet(const std::set<std::uint16_t>& planetIds);
    // Starts the content thread for files (null when files and the local repairs are all
    // empty); prepare is called with the job before the thread runs.
    std::shared_ptr<ThreadJob> StartContentDownload(const UpdatedFileSet& files, const ThreadJobBinder& prepare = {});
    void OnFileDownloaded(bool success, const UpdatedFile& file, const std::function<void(bool)>& then);

    void RescanContent();
    void MoveEntriesBetweenPaks(const std::shared_ptr<ThreadJob>& job);
    void DeleteObsoleteEntries();
    void DeleteRepairFiles();
    void CleanupPaks(const std::shared_ptr<ThreadJob>& job);
    void RepairPak(const std::shared_ptr<ThreadJob>& job, const std::string& archivePath);

    std::uint64_t SumPlanetFileSizes(const std::set<std::uint16_t>& planetIds);
    void PostFileCollectorRequest(DownloadParameters parameters, FileCollector::FilesCallback callback);
    void QueryPlanetDownloadSize(std::uint16_t planetId, FileCollector::SizeCallback callback);

    void MarkPlanetDone(std::uint16_t planetId);

    // What the last rescan left to do, for tests and diagnostics.
    struct Snapshot {
        std::map<std::string, UpdatedFile> needed;  // by name
        MoveMap moves;
        DeleteSet deletes;
        std::set<std::uint16_t> done;
    };
    Snapshot GetSnapshot() const;
    bool IsScanned() const { return scanned_.load(); }
    // The running or last content thread waits up to limit to end; true when none runs.
    bool WaitForContentThread(std::chrono::milliseconds limit) const;

private:
    void RescanLocked(const std::function<bool()>& stop);
    bool DescriptorsChanged();
    std::uint16_t NextNeededPlanet();
    std::shared_ptr<ThreadJob> StartNamed(const std::set<std::uint16_t>& ids, const std::string& name,
                                          std::uint16_t planetId, const ThreadJobBinder& bind);
    // Runs the job; a failure goes to the job, and when its handler answers Retry the job
    // runs again on the same thread.
    void ContentDownloadThreadMain(const UpdatedFileSet& files, const std::shared_ptr<ThreadJob>& job,
                                   const std::shared_ptr<const FileDescriptorMap>& map);
    // One run: the local repairs, then the files still needed go to the queue until it drains.
    void RunContentJob(const UpdatedFileSet& files, const std::shared_ptr<ThreadJob>& job,
                       const std::shared_ptr<const FileDescriptorMap>& map);
    // The moves that did not happen keep their sources; written entries are not removed.
    DeleteSet RunMoves(const std::shared_ptr<ThreadJob>& job, DeleteSet& written);
    void RunDeletions(const DeleteSet& keep);
    void ForgetCorrupt(const std::set<std::string>& names);
    bool Stopping() const { return stopping_.load(); }

    std::string ContentFolder() const;
    std::string ProgramDataFolder() const;
    std::string CorruptListPath() const;
    DownloadQueue& Queue() const;

    const ContentDriverOptions options_;

    mutable VelMutex lock_{"Content"};
    std::shared_ptr<const FileDescriptorMap> map_;       // the map the needed set refers to
    std::shared_ptr<const FileDescriptorMap> published_;  // the published map last looked at
    std::vector<std::shared_ptr<const FileDescriptorMap>> retired_;  // still referred to by files handed out
    UpdatedFileSet needed_;
    std::map<std::uint16_t, std::vector<const FileDescriptorMap::value_type*>> planetIndex_;
    MoveMap moves_;
    DeleteSet deletes_;
    std::set<std::string> corrupt_;
    std::set<std::uint16_t> done_;
    std::uint64_t generation_ = 0;  // counts rescans
    std::string scannedFolder_;     // the content folder the last rescan looked at
    std::atomic<bool> scanned_{false};

    std::atomic<bool> stopping_{false};
    bool started_ = false;  // GUI thread only
    mutable std::mutex threadLock_;
    std::shared_ptr<VelThread> contentThread_;
    std::weak_ptr<ThreadJob> contentJob_;

    FileCollector collector_;
};

// The process-wide driver and the module's operations on it.
ContentDriver& GetContentDriver();

void InitContentDownload();
void LoadPlanetList();
void ShutdownContentDownload();
void StopContentServices();
std::shared_ptr<ThreadJob> StartPlanetDataDownload(int mode, const ThreadJobBinder& bind = {});
void AbortContentDownload();
bool IsContentDownloadRunning();
UpdatedFileSet BuildFileSet(const std::set<std::uint16_t>& planetIds);
std::shared_ptr<ThreadJob> StartContentDownload(const UpdatedFileSet& files);
void OnFileDownloaded(bool success, const UpdatedFile& file, const std::function<void(bool)>& then);
void RescanContent();
void CleanupPaks(const std::shared_ptr<ThreadJob>& job);
void RepairPak(const std::shared_ptr<ThreadJob>& job, const std::string& archivePath);

// The planet-data page's size query: answers (ok, the planet's stored bytes, the stored bytes
// still missing) on the "FileCollector" thread; both 0 when not ok. Callable from any thread;
// requests still queued at shutdown are not answered.
void QueryPlanetDownloadSize(std::uint16_t planetId, std::function<void(bool, std::uint64_t, std::uint64_t)> callback);
void OnPlanetFilesCollected(const DownloadParameters& parameters, bool ok, const UpdatedFileSet& files,
                            const std::function<void(bool, std::uint64_t, std::uint64_t)>& callback);
std::uint64_t SumPlanetFileSizes(const std::set<std::uint16_t>& planetIds);
void PostFileCollectorRequest(DownloadParameters parameters, FileCollector::FilesCallback callback);

// text + "_" + the number in decimal.
std::string AppendNumberSuffix(const std::string& text, std::uint32_t number);

}  // namespace Vel::ContentDownload
