#include "delivery/update/UpdateRun.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

#include "delivery/update/DownloadJob.h"
#include "delivery/net/DownloadManager.h"
#include "delivery/jobs/DownloadProgress.h"
#include "delivery/net/HttpClient.h"
#include "delivery/workers/MainWindowMessages.h"
#include "delivery/net/ServiceEndpoints.h"
#include "delivery/update/UpdateDownloadCallback.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/threads/Dispatcher.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/files/Paths.h"
#include "foundation/core/StringUtils.h"
#include "foundation/threads/ThreadPool.h"
#include "foundation/runtime/VelURI.h"
#include "platform/LastError.h"
#include "platform/NetworkErrors.h"

namespace Vel::UpdateManager {
namespace {

[[noreturn]] void Throw(UpdateResult code) { throw UpdateException(code); }

class CancelPrompt final : public IUpdateErrorPrompt {
public:
    bool AskRetry(unsigned, const std::string&, bool) override { return false; }
};

class SystemProbe final : public IVolumeProbe {
public:
    VolumeInfo Query(const std::string& path) override {
        const std::string native = ToNativePath(path);
        struct stat st{};
        struct statvfs vfs{};
        if (::stat(native.c_str(), &st) != 0 || ::statvfs(native.c_str(), &vfs) != 0) throw FileException(path);
        VolumeInfo info;
        info.device = static_cast<std::uint64_t>(st.st_dev);
        info.mountPoint = GetVolumeRoot(path);
        info.available = static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
        return info;
    }
};

// The flock'ed lock file that tells other launchers a staging folder is in use.
class StagingLock {
public:
    explicit StagingLock(int fd) : fd_(fd) {}
    ~StagingLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    StagingLock(const StagingLock&) = delete;
    StagingLock& operator=(const StagingLock&) = delete;

private:
    int fd_;
};

// One update run from RunUpdate to FinishUpdate.
struct Run {
    std::shared_ptr<ThreadJob> job;
    UpdateRunEnvironment env;
    FileList list;
    UpdateFolders folders;
    std::unique_ptr<StagingLock> lock;
    bool restart = false;
    std::uint64_t fileWeight = 0;
    std::uint64_t applyWeight = 0;
};

struct Waiting {
    std::shared_ptr<ThreadJob> job;
    bool aborted = false;
};

struct RunState {
    UpdateRunEnvironment env;
    std::optional<Waiting> waiting;
    std::shared_ptr<DownloadCallback> callback;
};

// Under the update-manager lock.
RunState& State() {
    static RunState state;
    return state;
}

CancelPrompt g_cancelPrompt;
SystemProbe g_systemProbe;

UpdateRunEnvironment CurrentEnvironment() {
    auto lock = Lock();
    UpdateRunEnvironment env = State().env;
    if (env.prompt == nullptr) env.prompt = &g_cancelPrompt;
    if (env.clock == nullptr) env.clock = &DefaultClock();
    if (env.volumes == nullptr) env.volumes = &g_systemProbe;
    return env;
}

// Runs once; when discarded without running, its discard body is posted again (or, once the
// update pool is going, run at once) so that a run always reaches its finish.
class UpdatePoolJob final : public VelRunnable {
public:
    UpdatePoolJob(std::function<void()> body, std::function<void()> onDiscard)
        : body_(std::move(body)), onDiscard_(std::move(onDiscard)) {}
    ~UpdatePoolJob() override;
    void Run() override {
        ran_ = true;
        body_();
    }

private:
    std::function<void()> body_;
    std::function<void()> onDiscard_;
    bool ran_ = false;
};

void PostOrRun(std::function<void()> body, std::function<void()> onDiscard) {
    const auto pool = IsShuttingDown() ? nullptr : GetUpdateThreadPool();
    if (pool == nullptr) {
        (onDiscard ? onDiscard : body)();
        return;
    }
    pool->Post(std::make_unique<UpdatePoolJob>(std::move(body), std::move(onDiscard)));
}

UpdatePoolJob::~UpdatePoolJob() {
    if (ran_ || !onDiscard_) return;
    try {
        auto again = onDiscard_;
        PostOrRun(again, again);
    } catch (...) {
        // Nothing may leave a destructor; the run stays unfinished.
    }
}

// The download callback's finish after discarded jobs goes through the same re-posting.
class FinishDispatcher final : public IDispatcher {
public:
    void Post(std::unique_ptr<VelRunnable> runnable, JobInfoHolder) override { Post(std::move(runnable)); }
    void Post(JobFunction function, JobInfoHolder) override { Post(std::move(function)); }
    void Post(JobFunction function) override { PostOrRun(function, function); }
    void Post(std::unique_ptr<VelRunnable> runnable) override {
        std::shared_ptr<VelRunnable> shared(std::move(runnable));
        Post([shared] { shared->Run(); });
    }
    void PostAndWait(JobFunction function, JobInfoHolder) override { PostAndWait(std::move(function)); }
    void PostAndWait(JobFunction function) override {
        if (const auto pool = GetUpdateThreadPool()) pool->PostAndWait(std::move(function));
    }
    void PostAfter(JobFunction function, VelDuration delay, JobInfoHolder) override {
        PostAfter(std::move(function), delay);
    }
    void PostAfter(JobFunction function, VelDuration delay) override {
        if (const auto pool = GetUpdateThreadPool()) pool->PostAfter(std::move(function), delay);
    }
    int GetPendingCount() const override {
        const auto pool = GetUpdateThreadPool();
        return pool != nullptr ? pool->GetPendingCount() : 0;
    }
    std::string GetName() const override { return ""; }
    bool OwnsThread(const VelThread* thread) const override {
        const auto pool = GetUpdateThreadPool();
        return pool != nullptr && pool->OwnsThread(thread);
    }
};

// Stateless; shared with every download callback, which holds its finish dispatcher.
const std::shared_ptr<IDispatcher>& GetFinishDispatcher() {
    static const std::shared_ptr<IDispatcher> dispatcher = std::make_shared<FinishDispatcher>();
    return dispatcher;
}

void FillProgress() {
    if (const auto progress = GetWorkerProgress()) {
        const std::uint64_t total = progress->GetTotal();
        const std::uint64_t done = progress->GetDone();
        if (total > done) progress->AddDone(total - done);
    }
}

void FinishUpdate(const std::shared_ptr<Run>& run, UpdateResult code, UpdateFailure failure = {});

// The result text stays on screen for a moment, unless the program is going: a shutdown that
// begins during the pause ends it, so that closing the window never waits for it.
void FinishPause(IClock& clock) {
    const MonoTime end = clock.Now() + kFinishPause;
    for (MonoTime now = clock.Now(); now < end && !IsShuttingDown(); now = clock.Now())
        clock.SleepFor(std::min<MonoDuration>(kFinishPauseSlice, end - now));
}

void PostRun(std::shared_ptr<ThreadJob> job) {
    PostOrRun([job] { RunUpdate(job); },
              [job] {
                  auto run = std::make_shared<Run>();
                  run->job = job;
                  run->env = CurrentEnvironment();
                  FinishUpdate(run, UpdateResult::Aborted);
              });
}

void FinishUpdate(const std::shared_ptr<Run>& run, UpdateResult code, UpdateFailure failure) {
    SetLastFailure(std::move(failure));
    std::optional<Waiting> next;
    {
        auto lock = Lock();
        next.swap(State().waiting);
        if (next) {
            HandOverUpdateJob(next->aborted);
        } else {
            MarkJobFinished();
        }
    }
    const int value = static_cast<int>(code);
    if (!IsFailureResult(value)) {
        // The weights' integer division leaves a few units short of a full bar.
        if (code != UpdateResult::Aborted) FillProgress();
        SetWorkerStatusText(ResultText(value));
        FinishPause(*run->env.clock);
        if (run->job) run->job->Complete();
    }
    PostMainWindowMessage(MainWindowMessage::UpdateFinished, static_cast<std::uintptr_t>(value));
    if (!run->folders.root.empty()) TryRemovePath(run->folders.root, true);
    run->lock.reset();
    if (next) PostRun(next->job);
}

std::string RandomStagingName(std::mt19937_64& random) {
    static const char kHex[] = "0123456789abcdef";
    std::string name = kStagingPattern;
    for (char& c : name)
        if (c == '%') c = kHex[random() & 0xF];
    return name;
}

bool IsStagingName(const std::string& name) {
    const std::string pattern = kStagingPattern;
    if (name.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (pattern[i] == '%') {
            if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
        } else if (pattern[i] != name[i]) {
            return false;
        }
    }
    return true;
}

void PrepareTempFolders(Run& run) {
    std::string temp = GetTempDir();
    if (temp.empty()) Throw(UpdateResult::InternalError);
    EnsureTrailingSlash(temp);
    // The temporary folder may not exist yet: it is made with its parents, in the ordinary
    // modes; only the run's own folder below it is private.
    std::error_code ec;
    std::filesystem::create_directories(ToNativePath(temp), ec);
    if (ec) Throw(UpdateResult::InternalError);
    RemoveStaleStagingFolders(temp);

    std::random_device seed;
    std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    std::string root;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 100) Throw(UpdateResult::InternalError);
        root = temp + RandomStagingName(random);
        if (::mkdir(ToNativePath(root).c_str(), 0700) == 0) break;
        if (errno != EEXIST) Throw(UpdateResult::InternalError);
    }
    root += "/";
    run.folders.root = root;
    const std::string lockPath = ToNativePath(root + kStagingLockName);
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) Throw(UpdateResult::InternalError);
    run.lock = std::make_unique<StagingLock>(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) Throw(UpdateResult::InternalError);

    run.folders.download = root + "download/";
    run.folders.update = root + "update/";
    for (const std::string* folder : {&run.folders.download, &run.folders.update})
        if (::mkdir(ToNativePath(*folder).c_str(), 0700) != 0) Throw(UpdateResult::InternalError);
    run.folders.client = GetCurrentDir(true, false);
    if (run.folders.client.empty()) Throw(UpdateResult::InternalError);
}

// Examines every entry against the installed files; the progress takes the manifest's
// weights.
void GetUpdateList(Run& run) {
    VelURI url(GetConfigString("web.update.list", GetUpdateBaseUrl()));
    url.AppendPath("client_files.xml");
    std::string text;
    HttpExchange exchange;
    bool fetched = false;
    try {
        fetched = HttpGetToString(url, text, exchange);
    } catch (const Exception&) {
        fetched = false;
    }
    if (!fetched) {
        // An answer, or a certificate shown in the handshake, means the server was reached.
        const bool answered = exchange.status != 0 || IsCertificateError(exchange.error);
        std::string cause = HttpFailureText(exchange);
        if (cause.empty()) cause = Platform::NetworkErrorMessage(exchange.error);
        throw UpdateException(UpdateResult::UpdateListFailed, {std::move(cause), answered});
    }
    run.list = ReadFileList(text);

    const std::uint64_t total = GetTotalZipSize(run.list);
    run.applyWeight = (3 * total) / 20;
    const auto progress = GetWorkerProgress();
    if (progress) {
        progress->AddTotal(3 * total + run.applyWeight);
        progress->AddDone(10000);
    }
    SetWorkerStatusText("Checking for updates...");

    const std::string client = GetCurrentDir(true, false);
    auto& files = run.list.files;
    for (auto it = files.begin(); it != files.end();) {
        if (IsAbortRequested()) break;
        const std::string path = JoinPath(client, it->path);
        std::uint64_t size = 0;
        struct stat st{};
        bool upToDate = false;
        if (::lstat(ToNativePath(path).c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) Throw(UpdateResult::InternalError);
            it->isNew = true;
        } else {
            it->isNew = false;
            size = static_cast<std::uint64_t>(st.st_size);
            if (S_ISREG(st.st_mode) && size == it->size) upToDate = Sha1OfFile(path) == it->sha1;
        }
        if (progress) progress->AddDone(it->size_zip);
        it = upToDate ? files.erase(it) : it + 1;
    }
    if (!files.empty()) {
        const std::uint64_t remaining = GetTotalZipSize(run.list);
        run.fileWeight = (total - remaining) / files.size();
        if (progress) progress->SetTransferTotal(remaining);
    }
}

// A client started while the packages came in (the player's own, not ours: Launch waits for
// the update) must not have its files replaced under it. The unpacked update waits for it to
// end, polling; false when the run is aborted or the program shuts down meanwhile.
bool WaitUntilClientEnds(IClock& clock) {
    for (;;) {
        if (IsAbortRequested() || IsShuttingDown()) return false;
        if (!IsClientRunning()) return true;
        clock.SleepFor(kClientWaitStep);
    }
}

void OnDownloadsFinished(const std::shared_ptr<Run>& run, bool failed) {
    UpdateResult result = UpdateResult::Aborted;
    UpdateFailure failure;
    try {
        if (!failed) {
            ExtractDownloads(run->list, run->folders, run->fileWeight, *run->env.clock);
            bool applied = false;
            if (WaitUntilClientEnds(*run->env.clock))
                applied = RunUpdater(run->folders, run->applyWeight, *run->env.prompt);
            if (applied && !IsAbortRequested()) result = run->restart ? UpdateResult::DoneRestart : UpdateResult::Done;
        }
    } catch (const UpdateException& e) {
        result = e.GetCode();
        failure = e.GetFailure();
    } catch (const Exception&) {
        result = UpdateResult::InternalError;
    } catch (const std::exception&) {
        result = UpdateResult::InternalError;
    }
    FinishUpdate(run, result, std::move(failure));
}

void StartDownloads(const std::shared_ptr<Run>& run) {
    std::vector<DownloadServer> servers;
    GetDownloadManager().GetDownloadServers(servers);
    std::vector<DownloadMirror> mirrors;
    for (const DownloadServer& server : servers) {
        try {
            mirrors.push_back({VelURI(server.url), server.userName, server.password});
        } catch (const Exception&) {
            // A server whose URL does not parse is no mirror.
        }
    }
    auto callback = std::make_shared<DownloadCallback>(
        run->list.files.size(), run->fileWeight, [run](bool failed) { OnDownloadsFinished(run, failed); },
        *run->env.prompt, GetFinishDispatcher());
    {
        auto lock = Lock();
        State().callback = callback;
    }
    SetWorkerPhase(1);
    const auto pool = GetUpdateThreadPool();
    for (const FileListEntry& entry : run->list.files) {
        auto job = std::make_unique<VelDownloadJob>(mirrors, MakeDownloadItem(entry), run->folders.download, callback,
                                                    true, *run->env.clock);
        if (pool != nullptr) pool->Post(std::move(job));
        // Without a pool the job is discarded here, which counts it off.
    }
}

}  // namespace

IVolumeProbe& SystemVolumeProbe() { return g_systemProbe; }

UpdateRunEnvironment GetUpdateRunEnvironment() { return CurrentEnvironment(); }

void PostUpdatePoolJob(std::function<void()> body, std::function<void()> onDiscard) {
    PostOrRun(std::move(body), std::move(onDiscard));
}

void SetUpdateRunEnvironment(const UpdateRunEnvironment& environment) {
    auto lock = Lock();
    State().env = environment;
}

void StartUpdate(std::shared_ptr<ThreadJob> job) {
    {
        auto lock = Lock();
        if (!TryStartJob(kUpdateJob)) {
            // A run is still ending: this one waits for it (a later start replaces it).
            State().waiting = Waiting{std::move(job), false};
            return;
        }
    }
    PostRun(std::move(job));
}

bool AbortUpdate() {
    auto lock = Lock();
    if (!Abort()) return false;
    if (State().waiting) State().waiting->aborted = true;
    return true;
}

void RunUpdate(std::shared_ptr<ThreadJob> job) {
    auto run = std::make_shared<Run>();
    run->job = std::move(job);
    run->env = CurrentEnvironment();
    NewWorkerProgress(10000);
    SetWorkerPhase(0);
    try {
        GetUpdateList(*run);
        if (IsAbortRequested()) {
            FillProgress();
            FinishUpdate(run, UpdateResult::Aborted);
            return;
        }
        run->restart = IsSelfInList(run->list);
        if (run->list.files.empty()) {
            FillProgress();
            FinishUpdate(run, run->restart ? UpdateResult::DoneRestart : UpdateResult::Done);
            return;
        }
        PrepareTempFolders(*run);
        if (CheckDiskSpace(run->list, run->folders)) {
            FinishUpdate(run, UpdateResult::Aborted);
            return;
        }
        StartDownloads(run);
    } catch (const UpdateException& e) {
        FinishUpdate(run, e.GetCode(), e.GetFailure());
    } catch (const Exception&) {
        FinishUpdate(run, UpdateResult::InternalError);
    } catch (const std::exception&) {
        FinishUpdate(run, UpdateResult::InternalError);
    }
}

bool IsSelfInList(const FileList& list) {
    for (const FileListEntry& entry : list.files)
        if (GetFileName(entry.path) == kSelfFileName) return true;
    return false;
}

Sha1Digest Sha1OfFile(const std::string& path) {
    const int fd = ::open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Throw(UpdateResult::InternalError);
    VelCryptSHA1 hash;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            Throw(UpdateResult::InternalError);
        }
        hash.Update(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    return hash.Final();
}

std::uint64_t GetClientGrowth(const FileList& list, const UpdateFolders& folders) {
    std::uint64_t growth = 0;
    for (const FileListEntry& entry : list.files) {
        if (entry.isNew) continue;
        std::uint64_t size = 0;
        if (!TryFileSize(JoinPath(folders.client, entry.path), size)) continue;
        if (entry.size > size) growth += entry.size - size;
    }
    return growth;
}

void RemoveStaleStagingFolders(const std::string& tempDir) {
    const std::string folder = ToNativePath(tempDir);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (IsStagingName(name)) names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
        const int fd = ::open((path + "/" + kStagingLockName).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            // Made by a run that has not taken its lock yet, or left without one long ago.
            if (errno == ENOENT && std::time(nullptr) - st.st_mtime > 60) TryRemovePath(path, true);
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) TryRemovePath(path, true);
        ::close(fd);
    }
}

std::string DiskSpaceMessage(std::uint64_t stagingNeed, const std::string& stagingVolume, std::uint64_t clientNeed,
                             const std::string& clientVolume, bool twoVolumes) {
    std::string message = "To update, you need an additional " + FormatByteSize(stagingNeed) + " on " + stagingVolume;
    if (twoVolumes) message += " and " + FormatByteSize(clientNeed) + " on " + clientVolume;
    return message + ".";
}

bool CheckDiskSpace(const FileList& list, const UpdateFolders& folders) {
    const UpdateRunEnvironment env = CurrentEnvironment();
    try {
        std::uint64_t unpacked = 0;
        for (const FileListEntry& entry : list.files) unpacked += entry.size;
        const std::uint64_t stagingNeed = GetTotalZipSize(list) + unpacked + kSpaceMargin;
        VolumeInfo staging = env.volumes->Query(folders.root);
        VolumeInfo client = env.volumes->Query(folders.client);
        const bool two = staging.device != client.device;
        const std::uint64_t clientNeed = two ? GetSelectedSize(list) + GetClientGrowth(list, folders) + kSpaceMargin : 0;
        for (;;) {
            if (staging.available >= stagingNeed && (!two || client.available >= clientNeed)) return false;
            const std::string message =
                DiskSpaceMessage(stagingNeed, staging.mountPoint, clientNeed, client.mountPoint, two);
            if (!env.prompt->AskRetry(kStringNoDiskSpace, message, true)) return true;
            staging = env.volumes->Query(folders.root);
            client = env.volumes->Query(folders.client);
        }
    } catch (const FileException&) {
        return true;  // the space cannot be measured: the run ends as aborted
    }
}

}  // namespace Vel::UpdateManager
