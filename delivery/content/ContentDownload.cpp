#include "delivery/content/ContentDownload.h"

#include <exception>
#include <utility>

#include "delivery/content/ContentFolder.h"
#include "delivery/content/PlanetList.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/files/Paths.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/core/StringUtils.h"
#include "foundation/threads/Thread.h"
#include "foundation/config/UserFolders.h"

namespace Vel::ContentDownload {

ContentDriver::ContentDriver(ContentDriverOptions options)
    : options_(std::move(options)),
      collector_([this](const std::set<std::uint16_t>& ids) { return BuildFileSet(ids); },
                 [this](const std::set<std::uint16_t>& ids) { return SumPlanetFileSizes(ids); }) {
    // The process-wide queue is made first, so that it is destroyed after this driver.
    if (!options_.queue) GetDownloadQueue();
}

ContentDriver::~ContentDriver() { Shutdown(); }

std::string ContentDriver::ContentFolder() const {
    return options_.contentFolder.empty() ? MakeDynamicContentFolderPath() : WithTrailingSlash(options_.contentFolder);
}

std::string ContentDriver::ProgramDataFolder() const {
    return options_.programDataFolder.empty() ? GetProgramDataFolder() : WithTrailingSlash(options_.programDataFolder);
}

std::string ContentDriver::CorruptListPath() const {
    return options_.corruptListPath.empty() ? GetCorruptFileListPath() : options_.corruptListPath;
}

DownloadQueue& ContentDriver::Queue() const { return options_.queue ? *options_.queue : GetDownloadQueue(); }

// ---- Start-up and shutdown ----------------------------------------------------------------

void ContentDriver::Init() {
    if (Stopping()) return;
    const std::string folder = ProgramDataFolder();
    // A running job's files refer to the map it started with; a new map waits for a later init.
    if (!IsContentDownloadRunning()) LoadFileDescriptors(folder);
    const PlanetListRead planets = ReadPlanetList(folder + kPlanetListFileName);
    if (!started_) {
        started_ = true;
        collector_.Start();
        Queue().StartDownloadThreads();
    }
    StartBackgroundDownloadList(planets);
}

void ContentDriver::StopContentServices() {
    Queue().StopDownloadThreads();
    collector_.RequestStop();
    collector_.Join();
}

void ContentDriver::Shutdown() {
    if (stopping_.exchange(true)) return;
    std::shared_ptr<VelThread> thread;
    std::shared_ptr<ThreadJob> job;
    {
        std::lock_guard lock(threadLock_);
        thread = contentThread_;
        job = contentJob_.lock();
    }
    // The flag first (the thread stops queueing, its queued items are dropped); the join comes
    // after the queue's threads have ended, so nothing it waits for is left.
    if (job && thread && thread->IsRunning()) job->RequestAbort();
    StopContentServices();
    if (thread) thread->Join();
}

// ---- Starting jobs ------------------------------------------------------------------------

bool ContentDriver::IsContentDownloadRunning() const {
    std::lock_guard lock(threadLock_);
    return contentThread_ && contentThread_->IsRunning();
}

bool ContentDriver::WaitForContentThread(std::chrono::milliseconds limit) const {
    std::shared_ptr<VelThread> thread;
    {
        std::lock_guard lock(threadLock_);
        thread = contentThread_;
    }
    return !thread || thread->WaitForEnd(limit);
}

void ContentDriver::AbortContentDownload() {
    std::shared_ptr<ThreadJob> job;
    {
        std::lock_guard lock(threadLock_);
        job = contentJob_.lock();
    }
    if (job) job->Abort();
}

void ContentDriver::MarkPlanetDone(std::uint16_t planetId) {
    if (planetId == 0) return;
    VelMutex::ScopedLock lock(lock_);
    done_.insert(planetId);
}

std::uint16_t ContentDriver::NextNeededPlanet() {
    const std::vector<std::uint16_t> list = LoadBackgroundDownloadList();
    VelMutex::ScopedLock lock(lock_);
    for (const std::uint16_t id : list)
        if (!done_.contains(id)) return id;
    return 0;
}

std::shared_ptr<ThreadJob> ContentDriver::StartNamed(const std::set<std::uint16_t>& ids, const std::string& name,
                                                     std::uint16_t planetId, const ThreadJobBinder& bind) {
    const UpdatedFileSet files = BuildFileSet(ids);
    return StartContentDownload(files, [&](const std::shared_ptr<ThreadJob>& job) {
        if (planetId != 0) job->AddCompletionCallback([this, planetId] { MarkPlanetDone(planetId); });
        job->AddCompletionCallback([] { EndWorkerStatus(); });
        if (bind) bind(job);
        SetWorkerPhase(1);
        SetWorkerProgress(job->GetProgress());
        SetWorkerStatusText("Downloading " + name);
    });
}

std::shared_ptr<ThreadJob> ContentDriver::StartPlanetDataDownload(int mode, const ThreadJobBinder& bind) {
    if (mode != 0 && mode != 1) FatalError("StartPlanetDataDownload: unknown mode");
    // After the shutdown the queue's threads are gone: nothing would ever fetch the files.
    if (Stopping()) return nullptr;
    if (IsContentDownloadRunning()) AbortContentDownload();
    if (mode == 0) return StartNamed({kRequiredPlanetId}, "required planet data", 0, bind);

    if (ReadSettingBool(Settings::BGDownloadInitialized.section, Settings::BGDownloadInitialized.name,
                        Settings::BGDownloadInitialized.defaultValue, Settings::BGDownloadInitialized.scope)) {
        std::set<std::uint16_t> ids;
        for (std::uint16_t id = NextNeededPlanet(); id != 0; id = NextNeededPlanet()) {
            ids.insert(id);
            if (auto job = StartNamed(ids, GetPlanetDisplayName(id), id, bind)) return job;
            MarkPlanetDone(id);
        }
        return nullptr;
    }
    const std::vector<std::uint16_t> all = GetPlanetIds(false);
    return StartNamed(std::set<std::uint16_t>(all.begin(), all.end()), "planet data", 0, bind);
}

std::shared_ptr<ThreadJob> ContentDriver::StartContentDownload(const UpdatedFileSet& files,
                                                               const ThreadJobBinder& prepare) {
    if (Stopping()) return nullptr;
    std::shared_ptr<const FileDescriptorMap> map;
    {
        VelMutex::ScopedLock lock(lock_);
        if (files.empty() && moves_.empty() && deletes_.empty()) return nullptr;
        map = map_;
    }
    auto job = std::make_shared<ThreadJob>();
    // The thread holds the job from its first step to its last; until then only this holder
    // does, so the job and its thread never keep each other alive.
    auto holder = std::make_shared<std::shared_ptr<ThreadJob>>(job);
    auto thread = std::make_shared<VelThread>(
        [this, files, map, holder] {
            const std::shared_ptr<ThreadJob> own = std::move(*holder);
            ContentDownloadThreadMain(files, own, map);
        },
        "Content Download Thread", VelThread::kKindWorker);
    {
        std::lock_guard lock(threadLock_);
        // Shutdown sets the flag before it looks at the thread under this lock.
        if (Stopping()) return nullptr;
        if (contentThread_ && contentThread_->IsRunning()) throw Exception();
        contentThread_ = thread;
        contentJob_ = job;
    }
    job->SetThread(thread);
    if (prepare) prepare(job);
    thread->Start();
    return job;
}

void ContentDriver::ContentDownloadThreadMain(const UpdatedFileSet& files, const std::shared_ptr<ThreadJob>& job,
                                              const std::shared_ptr<const FileDescriptorMap>& map) {
    if (!job) FatalError("Content Download Thread without a job");
    for (;;) {
        try {
            RunContentJob(files, job, map);
            return;
        } catch (...) {
            try {
                // Handled means the player chose Retry: the job runs again on this thread.
                if (!job->Fail()) return;
            } catch (...) {
                return;  // nobody took the failure: the job stays unfinished, as after an abort
            }
        }
        if (job->IsAborted()) return;
        // Whatever the failed run queued is gone before the next run counts the files afresh.
        Queue().WaitDrained(kTypeContent);
    }
}

void ContentDriver::RunContentJob(const UpdatedFileSet& files, const std::shared_ptr<ThreadJob>& job,
                                  const std::shared_ptr<const FileDescriptorMap>& map) {
    // Also at a rerun: the progress starts again from the files still needed.
    Queue().SetTypeJob(kTypeContent, job);
    // A folder we cannot write would only fail at the first archive, after its whole download.
    EnsureContentFolderWritable(ContentFolder());
    DeleteSet written;
    const DeleteSet keep = RunMoves(job, written);
    if (job->IsAborted()) return;
    DeleteSet protectedEntries = keep;
    protectedEntries.insert(written.begin(), written.end());
    RunDeletions(protectedEntries);
    for (const UpdatedFile& file : files) {
        if (job->IsAborted()) return;
        {
            // A file moved into place meanwhile is not fetched.
            VelMutex::ScopedLock lock(lock_);
            if (!needed_.contains(file)) continue;
        }
        DownloadItem item;
        item.replace = file.replace;
        item.archivePath = file.archivePath;
        item.descriptor = DescriptorRef(map, file.descriptor);
        item.type = kTypeContent;
        item.job = job;
        item.completion = [this, file, map](bool ok) { OnFileDownloaded(ok, file, {}); };
        Queue().Enqueue(item);
    }
    Queue().WaitDrained(kTypeContent);
    if (!job->IsAborted()) job->Complete();
}

void ContentDriver::OnFileDownloaded(bool success, const UpdatedFile& file, const std::function<void(bool)>& then) {
    if (success) {
        bool wasCorrupt = false;
        {
            VelMutex::ScopedLock lock(lock_);
            needed_.erase(file);
            wasCorrupt = corrupt_.erase(file.Name()) > 0;
        }
        if (wasCorrupt) ForgetCorrupt({file.Name()});
    }
    if (then) then(success);
}

void ContentDriver::ForgetCorrupt(const std::set<std::string>& names) {
    if (names.empty()) return;
    ForgetCorruptFiles(CorruptListPath(), names);
}

// ---- Collections --------------------------------------------------------------------------

bool ContentDriver::DescriptorsChanged() {
    const auto current = GetFileDescriptors();
    if (current == published_) return false;
    published_ = current;
    return !map_ || *current != *map_;
}

UpdatedFileSet ContentDriver::BuildFileSet(const std::set<std::uint16_t>& planetIds) {
    VelMutex::ScopedLock lock(lock_);
    // After a content move every archive path found before names the old folder.
    if (DescriptorsChanged() || !scanned_.load() || scannedFolder_ != ContentFolder())
        RescanLocked([this] { return Stopping(); });
    UpdatedFileSet out;
    for (const std::uint16_t id : planetIds) {
        const auto it = planetIndex_.find(id);
        if (it == planetIndex_.end()) continue;
        for (const auto* descriptor : it->second) {
            const auto found = needed_.find(UpdatedFile{false, {}, descriptor});
            if (found != needed_.end()) out.insert(*found);
        }
    }
    return out;
}

std::uint64_t ContentDriver::SumPlanetFileSizes(const std::set<std::uint16_t>& planetIds) {
    VelMutex::ScopedLock lock(lock_);
    std::set<const FileDescriptorMap::value_type*> counted;
    std::uint64_t total = 0;
    for (const std::uint16_t id : planetIds) {
        const auto it = planetIndex_.find(id);
        if (it == planetIndex_.end()) continue;
        for (const auto* descriptor : it->second)
            if (counted.insert(descriptor).second) total += descriptor->second.storedSize;
    }
    return total;
}

void ContentDriver::PostFileCollectorRequest(DownloadParameters parameters, FileCollector::FilesCallback callback) {
    collector_.Post(std::move(parameters), std::move(callback));
}

void ContentDriver::QueryPlanetDownloadSize(std::uint16_t planetId, FileCollector::SizeCallback callback) {
    collector_.QueryPlanetDownloadSize(planetId, std::move(callback));
}

ContentDriver::Snapshot ContentDriver::GetSnapshot() const {
    VelMutex::ScopedLock lock(lock_);
    Snapshot out;
    for (const UpdatedFile& file : needed_) out.needed.emplace(file.Name(), file);
    out.moves = moves_;
    out.deletes = deletes_;
    out.done = done_;
    return out;
}

// ---- The process-wide driver --------------------------------------------------------------

ContentDriver& GetContentDriver() {
    static ContentDriver driver;
    return driver;
}

void InitContentDownload() { LoadPlanetList(); }
void LoadPlanetList() { GetContentDriver().Init(); }
void ShutdownContentDownload() { GetContentDriver().Shutdown(); }
void StopContentServices() { GetContentDriver().StopContentServices(); }
std::shared_ptr<ThreadJob> StartPlanetDataDownload(int mode, const ThreadJobBinder& bind) {
    return GetContentDriver().StartPlanetDataDownload(mode, bind);
}
void AbortContentDownload() { GetContentDriver().AbortContentDownload(); }
bool IsContentDownloadRunning() { return GetContentDriver().IsContentDownloadRunning(); }
UpdatedFileSet BuildFileSet(const std::set<std::uint16_t>& planetIds) { return GetContentDriver().BuildFileSet(planetIds); }
std::shared_ptr<ThreadJob> StartContentDownload(const UpdatedFileSet& files) {
    return GetContentDriver().StartContentDownload(files);
}
void OnFileDownloaded(bool success, const UpdatedFile& file, const std::function<void(bool)>& then) {
    GetContentDriver().OnFileDownloaded(success, file, then);
}
void RescanContent() { GetContentDriver().RescanContent(); }
void CleanupPaks(const std::shared_ptr<ThreadJob>& job) { GetContentDriver().CleanupPaks(job); }
void RepairPak(const std::shared_ptr<ThreadJob>& job, const std::string& archivePath) {
    GetContentDriver().RepairPak(job, archivePath);
}

void OnPlanetFilesCollected(const DownloadParameters& parameters, bool ok, const UpdatedFileSet& files,
                            const std::function<void(bool, std::uint64_t, std::uint64_t)>& callback) {
    const std::uint64_t total = ok ? SumPlanetFileSizes(parameters.planetIds) : 0;
    const std::uint64_t needed = ok ? SumFileSizes(files) : 0;
    if (callback) callback(ok, total, needed);
}

void QueryPlanetDownloadSize(std::uint16_t planetId,
                             std::function<void(bool, std::uint64_t, std::uint64_t)> callback) {
    DownloadParameters parameters{{planetId}};
    PostFileCollectorRequest(parameters,
                             [parameters, callback = std::move(callback)](bool ok, const UpdatedFileSet& files) {
                                 OnPlanetFilesCollected(parameters, ok, files, callback);
                             });
}

std::uint64_t SumPlanetFileSizes(const std::set<std::uint16_t>& planetIds) {
    return GetContentDriver().SumPlanetFileSizes(planetIds);
}

void PostFileCollectorRequest(DownloadParameters parameters, FileCollector::FilesCallback callback) {
    GetContentDriver().PostFileCollectorRequest(std::move(parameters), std::move(callback));
}

std::string AppendNumberSuffix(const std::string& text, std::uint32_t number) {
    return text + "_" + std::to_string(number);
}

}  // namespace Vel::ContentDownload
