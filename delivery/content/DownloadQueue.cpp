#include "delivery/content/DownloadQueue.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <span>

#include <malloc.h>

#include "delivery/net/BodyBufferPool.h"
#include "delivery/content/ContentDiskFullException.h"
#include "delivery/content/ContentFolder.h"
#include "delivery/net/HttpClient.h"
#include "delivery/archive/Zip.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/FatalError.h"
#include "foundation/data/PakNames.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/threads/Thread.h"
#include "foundation/config/UserFolders.h"
#include "foundation/data/ZipEndRecord.h"

namespace Vel::ContentDownload {

namespace {

// Calls an item's completion; nothing it throws reaches the thread's loop.
void Complete(const DownloadItem& item, bool written) noexcept {
    if (!item.completion) return;
    try {
        item.completion(written);
    } catch (...) {
    }
}

std::uint64_t StoredSizeOf(const DownloadItem& item) {
    return item.descriptor ? item.descriptor->second.storedSize : 0;
}

// The room writing the item's file takes: its entry and directory record in the archive, and
// the copy of that record in the crash marker that holds the directory until the next flush.
std::uint64_t SpaceOf(const DownloadItem& item) {
    if (!item.descriptor) return 0;
    const std::uint64_t nameLength = item.descriptor->first.size();
    return ArchiveEntrySpace(nameLength, item.descriptor->second.storedSize) + kZipCentralHeaderSize + nameLength;
}

// A fetch of a held type ends within the HTTP client's abort poll; beyond this the question
// is asked anyway (a fetch ending later takes its bytes back itself).
constexpr auto kHoldSettleLimit = std::chrono::seconds(10);

std::uint64_t HeldBytesOf(std::span<const DownloadItem> items) {
    std::uint64_t bytes = 0;
    for (const auto& item : items) bytes += item.data ? item.data->GetSize() : 0;
    return bytes;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// The archive failure being handled, as the type job is told of it: a full volume names the
// content folder.
std::exception_ptr CurrentWriteError() {
    try {
        throw;
    } catch (const Zip::DiskFullException& e) {
        return std::make_exception_ptr(ContentDiskFullException(FolderOf(e.GetFileName()), 0));
    } catch (...) {
        return std::current_exception();
    }
}

}  // namespace

DescriptorRef FindDescriptorRef(const std::shared_ptr<const FileDescriptorMap>& map, const std::string& name) {
    if (!map) return nullptr;
    const auto it = map->find(name);
    if (it == map->end()) return nullptr;
    return DescriptorRef(map, &*it);
}

void ReleaseFreeMemory() {
    // Nothing is being fetched: the kept bodies go too.
    GetBodyBufferPool().Clear();
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

bool LimitAllocatorArenas(int arenas) {
#ifdef __GLIBC__
    return ::mallopt(M_ARENA_MAX, arenas) == 1;
#else
    (void)arenas;
    return false;
#endif
}

DownloadQueue::DownloadQueue(DownloadQueueOptions options) : options_(std::move(options)) {}

DownloadQueue::~DownloadQueue() {
    StopDownloadThreads();
    for (Slot& slot : slots_) {
        std::shared_ptr<ThreadJob> job;
        {
            std::lock_guard lock(slot.lock);
            job.swap(slot.typeJob);
        }
        if (job) job->SetAbortHandler({});
    }
}

int DownloadQueue::ConfiguredThreadCount() {
    const int configured = ReadSettingInt(Settings::DownloadThreadCount.section, Settings::DownloadThreadCount.name,
                                          Settings::DownloadThreadCount.defaultValue,
                                          Settings::DownloadThreadCount.scope);
    return std::clamp(configured, kMinDownloadThreads, kMaxDownloadThreads);
}

DownloadManager& DownloadQueue::Manager() const {
    return options_.manager ? *options_.manager : GetDownloadManager();
}

std::string DownloadQueue::ContentFolder() const {
    return options_.contentFolder.empty() ? GetDynamicContentFolder() : options_.contentFolder;
}

DownloadQueue::Slot& DownloadQueue::SlotOf(std::uint32_t type) {
    if (type >= kTypeCount) throw Exception();
    return slots_[type];
}

const DownloadQueue::Slot& DownloadQueue::SlotOf(std::uint32_t type) const {
    if (type >= kTypeCount) throw Exception();
    return slots_[type];
}

// ---- Start and stop -------------------------------------------------------------------------

void DownloadQueue::StartDownloadThreads() {
    std::lock_guard owner(threadsLock_);
    if (writeThread_) return;
    stopping_.store(false);
    SetMaxConnectionsPerServer(kMaxConnectionsPerServer);
    const int count = std::clamp(options_.threadCount > 0 ? options_.threadCount : ConfiguredThreadCount(),
                                 kMinDownloadThreads, kMaxDownloadThreads);
    // Two bodies per thread: the one it fetches and the one waiting for the writer.
    GetBodyBufferPool().SetLimits(2 * static_cast<std::size_t>(count), BodyBufferPool::kDefaultMaxBytes);
    {
        // Each thread counts as active and idle from here, before it runs: a failure seen
        // before every thread has started must not look like every thread being stuck.
        std::lock_guard lock(errorLock_);
        active_ += count;
        idle_ += count;
    }
    for (int i = 0; i < count; ++i) {
        downloadThreads_.push_back(
            std::make_unique<VelThread>([this, i] { DownloadThreadMain(i); }, "DownloadThread", VelThread::kKindWorker));
    }
    writeThread_ = std::make_unique<VelThread>([this] { WriteThreadMain(); }, "Download write thread",
                                               VelThread::kKindWorker);
    writeThreadId_.store(writeThread_.get());
    ZipManager::AddHolder(this);
    for (auto& thread : downloadThreads_) thread->Start();
    writeThread_->Start();
}

void DownloadQueue::StopDownloadThreads() {
    bool drained = false;
    {
        std::lock_guard owner(threadsLock_);
        drained = StopLocked();
    }
    // Outside the owner's lock, once the bytes of the items left are gone.
    if (drained && options_.onDrained) options_.onDrained();
}

bool DownloadQueue::StopLocked() {
    if (!writeThread_) return false;
    stopping_.store(true);
    // A writer waiting for the type job's answer gives up once the job is aborted; the drain
    // that the abort runs does not wait while stopping.
    for (Slot& slot : slots_) {
        std::shared_ptr<ThreadJob> job;
        {
            std::lock_guard lock(slot.lock);
            job = slot.typeJob;
        }
        if (job && !job->IsAborted()) job->RequestAbort();
    }
    {
        std::lock_guard lock(writeLock_);
        writeSignal_ = true;
    }
    writeChanged_.notify_all();
    {
        std::lock_guard lock(errorLock_);
    }
    errorPulsed_.notify_all();
    for (Slot& slot : slots_) {
        std::lock_guard lock(slot.countLock);
        slot.drainedChanged.notify_all();
        slot.holdChanged.notify_all();
    }
    for (std::size_t i = 0; i < downloadThreads_.size(); ++i) work_.Release();

    writeThread_->Join();
    for (auto& thread : downloadThreads_) thread->Join();
    writeThreadId_.store(nullptr);
    writeThread_.reset();
    downloadThreads_.clear();
    // The writer let its archives go as it ended.
    ZipManager::RemoveHolder(this);

    // Whatever is left goes now, so that nobody waits for it.
    std::vector<DownloadItem> left;
    for (Slot& slot : slots_) {
        std::lock_guard lock(slot.lock);
        for (auto& [key, item] : slot.items) left.push_back(std::move(item));
        slot.items.clear();
    }
    {
        std::lock_guard lock(writeLock_);
        for (auto& item : writeList_) left.push_back(std::move(item));
        writeList_.clear();
        heldWriteBytes_ = 0;
        writeSignal_ = false;
    }
    bool drained = false;
    for (const auto& item : left) drained = RetireCounted(item) || drained;
    while (work_.TimedWait(0)) {
    }
    {
        std::lock_guard lock(errorLock_);
        active_ = 0;
        idle_ = 0;
        errorWaiting_ = 0;
    }
    stopping_.store(false);
    return drained;
}

// ---- Queue ----------------------------------------------------------------------------------

void DownloadQueue::SetTypeJob(std::uint32_t type, std::shared_ptr<ThreadJob> job) {
    if (!job) FatalError("SetTypeJob without a job");
    Slot& slot = SlotOf(type);
    {
        std::lock_guard lock(slot.lock);
        slot.typeJob = job;
    }
    job->GetProgress()->SetTotal(0);
    job->GetProgress()->SetDone(0);
    {
        std::lock_guard lock(slot.countLock);
        slot.doneJob = job.get();
        slot.doneProgress = job->GetProgress();
        slot.unwritten = 0;
        slot.takenBack = 0;
    }
    job->SetAbortHandler([this, type] { Drain(type); });
}

void DownloadQueue::AddPending(const DownloadItem& item) {
    Slot& slot = SlotOf(item.type);
    std::lock_guard lock(slot.countLock);
    ++slot.pending;
    slot.pendingSpace += SpaceOf(item);
    slot.drained = false;
}

bool DownloadQueue::RetireCounted(const DownloadItem& item) {
    Slot& slot = SlotOf(item.type);
    std::lock_guard lock(slot.countLock);
    if (--slot.pending < 0) FatalError(std::to_string(slot.pending));
    slot.pendingSpace -= std::min(slot.pendingSpace, SpaceOf(item));
    if (slot.pending != 0) return false;
    slot.drained = true;
    slot.drainedChanged.notify_all();
    return true;
}

void DownloadQueue::Retire(const DownloadItem& item) {
    // The bodies of a whole run went through the allocator: give its free memory back.
    if (RetireCounted(item) && options_.onDrained) options_.onDrained();
}

void DownloadQueue::Enqueue(const DownloadItem& item) { EnqueueItem(item, true); }

void DownloadQueue::EnqueueItem(const DownloadItem& item, bool countTotal) {
    if (item.job && item.job->IsAborted()) return;
    Slot& slot = SlotOf(item.type);
    float priority = item.priority ? item.priority() : 0.0f;
    if (!std::isfinite(priority)) priority = 0.0f;

    DownloadItem copy = item;
    copy.data.reset();
    copy.error.reset();
    {
        std::lock_guard lock(slot.lock);
        // Checked again here: a drain that ran since would never see this item.
        if (item.job && item.job->IsAborted()) return;
        AddPending(item);
        // Equal keys keep their queuing order: a multimap inserts after its equal range.
        slot.items.emplace(-priority, std::move(copy));
    }
    // The producer's first queuing counts the file; a requeue of it was counted then.
    if (countTotal && item.job) item.job->GetProgress()->AddTotal(StoredSizeOf(item));
    work_.Release();
}

void DownloadQueue::Drain(std::uint32_t type) {
    Slot& slot = SlotOf(type);
    std::multimap<float, DownloadItem> dropped;
    {
        std::lock_guard lock(slot.lock);
        dropped.swap(slot.items);
    }
    for (const auto& [key, item] : dropped) {
        (void)work_.TimedWait(0);
        Retire(item);
    }
    {
        // Items waiting for the type's hold to end leave once their job is aborted.
        std::lock_guard lock(slot.countLock);
        slot.holdChanged.notify_all();
    }
    // Threads waiting after a failure may hold nothing of this type any more.
    PulseErrorEvent();
    // The writer is what the wait would be for.
    if (VelThread::GetCurrent() == writeThreadId_.load()) return;
    const CycleWaiter waiting(*this);
    std::unique_lock lock(slot.countLock);
    slot.drainedChanged.wait(lock, [&] { return slot.drained || IsStopping(); });
}

void DownloadQueue::AbortType(std::uint32_t type, bool fromWriter) {
    std::shared_ptr<ThreadJob> job;
    {
        Slot& slot = SlotOf(type);
        std::lock_guard lock(slot.lock);
        job = slot.typeJob;
    }
    if (!job)
        Drain(type);
    else if (fromWriter)
        job->RequestAbort();  // the job's thread may be waiting for this writer
    else
        job->Abort();
}

void DownloadQueue::AbortQueue(std::uint32_t type) { AbortType(type, false); }

void DownloadQueue::WaitDrained(std::uint32_t type) {
    Slot& slot = SlotOf(type);
    std::unique_lock lock(slot.countLock);
    slot.drainedChanged.wait(lock, [&] { return slot.drained; });
}

bool DownloadQueue::WaitDrainedFor(std::uint32_t type, std::chrono::milliseconds limit) {
    Slot& slot = SlotOf(type);
    std::unique_lock lock(slot.countLock);
    return slot.drainedChanged.wait_for(lock, limit, [&] { return slot.drained; });
}

int DownloadQueue::GetPending(std::uint32_t type) const {
    const Slot& slot = SlotOf(type);
    std::lock_guard lock(slot.countLock);
    return slot.pending;
}

std::size_t DownloadQueue::GetQueuedCount(std::uint32_t type) const {
    const Slot& slot = SlotOf(type);
    std::lock_guard lock(slot.lock);
    return slot.items.size();
}

int DownloadQueue::GetThreadCount() const {
    std::lock_guard lock(threadsLock_);
    return static_cast<int>(downloadThreads_.size());
}

int DownloadQueue::GetActiveCount() const {
    std::lock_guard lock(errorLock_);
    return active_;
}

int DownloadQueue::GetIdleCount() const {
    std::lock_guard lock(errorLock_);
    return idle_;
}

int DownloadQueue::GetErrorWaitingCount() const {
    std::lock_guard lock(errorLock_);
    return errorWaiting_;
}

std::uint64_t DownloadQueue::GetHeldWriteBytes() const {
    std::lock_guard lock(writeLock_);
    return heldWriteBytes_;
}

std::size_t DownloadQueue::GetWriteListCount() const {
    std::lock_guard lock(writeLock_);
    return writeList_.size();
}

int DownloadQueue::GetRoomWaitingCount() const {
    std::lock_guard lock(writeLock_);
    return roomWaiting_;
}

// ---- Download threads -----------------------------------------------------------------------

void DownloadQueue::DownloadThreadMain(int /*index*/) {
    // StartDownloadThreads counted this thread as active and idle.
    for (;;) {
        work_.Wait();
        {
            // Busy from here: the count taken stands for an item this thread now takes.
            std::lock_guard lock(errorLock_);
            --idle_;
        }
        if (IsStopping()) break;
        DownloadItem item;
        bool holding = false;
        try {
            if (TakeItem(item)) {
                holding = true;
                Process(item);
                holding = false;
            }
        } catch (...) {
            // Lost to an unexpected failure: it still leaves through the retire path.
            if (holding) {
                if (item.type != kTypeContent) Complete(item, false);
                Retire(item);
            }
        }
        std::lock_guard lock(errorLock_);
        ++idle_;
    }
    std::lock_guard lock(errorLock_);
    --active_;
}

bool DownloadQueue::TakeItem(DownloadItem& item) {
    for (std::uint32_t type = 0; type < kTypeCount; ++type) {
        Slot& slot = slots_[type];
        {
            std::lock_guard lock(slot.lock);
            if ((slot.typeJob && slot.typeJob->IsAborted()) || slot.items.empty()) continue;
            auto first = slot.items.begin();
            item = std::move(first->second);
            slot.items.erase(first);
        }
        if (item.job && item.job->IsAborted()) {
            Retire(item);
            return false;  // the count this thread took was that item's
        }
        return true;
    }
    return false;
}

void DownloadQueue::Process(DownloadItem& item) {
    if (item.job && item.job->IsAborted()) {
        Retire(item);
        return;
    }
    if (!item.descriptor) throw Exception();
    // While a write failure's question waits, the type is held: its fetches wait, and one
    // stopped by the hold is made again once the answer is in.
    for (bool held = true; held;) {
        if (!BeginFetch(item)) {
            Retire(item);
            return;
        }
        struct Ending {
            DownloadQueue& queue;
            const DownloadItem& item;
            ~Ending() { queue.EndFetch(item); }
        } ending{*this, item};
        held = false;
        if (!item.replace || item.archivePath.empty() || !RebuildLocally(item)) Fetch(item, held);
    }
    if (IsStopping() || (item.job && item.job->IsAborted())) {
        Retire(item);
        return;
    }
    if (!item.error) {
        HandToWriter(std::move(item));
        return;
    }
    // Leave the active count before the writer can see the failure, and remember which pulse
    // is the next one, so that neither the count nor the pulse can be missed.
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(errorLock_);
        generation = errorGeneration_;
        --active_;
        ++errorWaiting_;
    }
    HandToWriter(std::move(item));
    WaitForErrorPulse(generation);
}

bool DownloadQueue::RebuildLocally(DownloadItem& item) {
    const auto& [name, info] = *item.descriptor;
    try {
        std::shared_ptr<VelMemoryStream> converted;
        {
            const auto zip = ZipManager::GetZip(item.archivePath, 0);
            ZipEntry entry;
            if (!zip->GetEntryInfo(name, entry)) return false;
            const auto stored = zip->ReadEntry(entry);
            converted = ZipManager::ConvertContentFormat(stored->GetData(), stored->GetSize(), entry.method,
                                                         MakeContentFormatCode(info.compression, info.encryption),
                                                         info.crc);
        }
        if (!converted || converted->GetSize() != info.storedSize ||
            Crc32(converted->GetData(), converted->GetSize()) != info.storedCrc)
            return false;
        item.data = converted;
        if (item.job) item.job->GetProgress()->AddDone(info.storedSize);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

void DownloadQueue::Fetch(DownloadItem& item, bool& held) {
    const auto& [name, info] = *item.descriptor;
    const Slot& slot = SlotOf(item.type);
    held = false;
    try {
        item.data = Manager().DownloadFile(name + "_" + std::to_string(info.storedCrc), info.storedSize,
                                           info.storedCrc, item.job, [this, &slot, &held] {
                                               if (IsStopping()) return true;
                                               if (slot.held.load()) held = true;
                                               return held;
                                           });
        item.error.reset();
        held = false;  // fetched whole before the hold was seen: it counts as fetched
    } catch (const NetworkException& e) {
        item.data.reset();
        // Stopped by the hold, the fetch is no failure: it is made again after the answer.
        if (!held && !(item.job && item.job->IsAborted())) item.error = std::make_shared<NetworkException>(e);
    }
}

bool DownloadQueue::BeginFetch(const DownloadItem& item) {
    Slot& slot = SlotOf(item.type);
    const auto dropped = [&] { return IsStopping() || (item.job && item.job->IsAborted()); };
    std::unique_lock lock(slot.countLock);
    slot.holdChanged.wait(lock, [&] { return !slot.held.load() || dropped(); });
    if (dropped()) return false;
    ++slot.fetching;
    return true;
}

void DownloadQueue::EndFetch(const DownloadItem& item) {
    Slot& slot = SlotOf(item.type);
    const std::uint64_t fetched = item.data && !item.error ? item.data->GetSize() : 0;
    {
        std::lock_guard lock(slot.countLock);
        --slot.fetching;
        if (fetched > 0 && item.job && item.job.get() == slot.doneJob) {
            if (slot.held.load()) {
                // Counted as it arrived; not in the archives while the question waits.
                slot.doneProgress->SubtractDone(fetched);
                slot.takenBack += fetched;
            } else {
                slot.unwritten += fetched;
            }
        }
    }
    slot.holdChanged.notify_all();
}

void DownloadQueue::HoldForQuestion(std::uint32_t type) {
    Slot& slot = SlotOf(type);
    std::unique_lock lock(slot.countLock);
    slot.held.store(true);
    // The fetches running see the hold at their next abort poll and take back what they counted.
    slot.holdChanged.wait_for(lock, kHoldSettleLimit, [&] { return slot.fetching == 0 || IsStopping(); });
    if (slot.doneProgress && slot.unwritten > 0) slot.doneProgress->SubtractDone(slot.unwritten);
    slot.takenBack += slot.unwritten;
    slot.unwritten = 0;
}

void DownloadQueue::EndHold(std::uint32_t type, bool retry, const std::vector<DownloadItem>& failed) {
    Slot& slot = SlotOf(type);
    {
        std::lock_guard lock(slot.countLock);
        if (retry) {
            // The failed files are fetched anew; the others still wait for the writer.
            std::uint64_t refetched = 0;
            for (const auto& item : failed)
                if (item.job && item.job.get() == slot.doneJob) refetched += StoredSizeOf(item);
            const std::uint64_t back = slot.takenBack - std::min(slot.takenBack, refetched);
            // Counted when they arrived: given back, they are no new bytes for the rate.
            if (slot.doneProgress && back > 0) slot.doneProgress->RestoreDone(back);
            slot.unwritten += back;
        }
        slot.takenBack = 0;
        slot.held.store(false);
    }
    slot.holdChanged.notify_all();
}

void DownloadQueue::CountWritten(const std::vector<DownloadItem>& written) {
    for (const auto& item : written) {
        Slot& slot = SlotOf(item.type);
        std::lock_guard lock(slot.countLock);
        if (item.job && item.job.get() == slot.doneJob) slot.unwritten -= std::min(slot.unwritten, StoredSizeOf(item));
    }
}

std::uint64_t DownloadQueue::SpaceStillToWrite(std::uint32_t type, const Cycle& cycle) const {
    // Every item of the type counts as pending from its queuing until it retires, whether
    // queued, being fetched, waiting for the writer or in this cycle (retired after the policy).
    std::uint64_t cycleSpace = 0;
    for (const auto& item : cycle.taken)
        if (item.type == type) cycleSpace += SpaceOf(item);
    const Slot& slot = SlotOf(type);
    std::lock_guard lock(slot.countLock);
    return slot.pendingSpace - std::min(slot.pendingSpace, cycleSpace);
}

void DownloadQueue::HandToWriter(DownloadItem item) {
    const std::uint64_t size = item.data ? item.data->GetSize() : 0;
    std::unique_lock lock(writeLock_);
    bool waited = false;
    for (;;) {
        if (IsStopping()) {
            if (waited) --roomWaiting_;
            lock.unlock();
            Retire(item);
            return;
        }
        const bool aborted = item.job && item.job->IsAborted();
        const bool room = writeList_.size() < kWriteListLimit &&
                          (heldWriteBytes_ == 0 || heldWriteBytes_ + size <= options_.writeByteBudget);
        if (aborted || room) break;
        if (!waited) ++roomWaiting_;
        waited = true;
        writeChanged_.wait_for(lock, options_.fullListPoll);
    }
    if (waited) --roomWaiting_;
    heldWriteBytes_ += size;
    writeList_.push_back(std::move(item));
    writeSignal_ = true;
    lock.unlock();
    writeChanged_.notify_all();
}

void DownloadQueue::WaitForErrorPulse(std::uint64_t generation) {
    std::unique_lock lock(errorLock_);
    errorPulsed_.wait(lock, [&] { return errorGeneration_ != generation || IsStopping(); });
    if (errorGeneration_ != generation) return;  // the pulse counted this thread active again
    --errorWaiting_;
    ++active_;
}

void DownloadQueue::PulseErrorEvent() {
    {
        // The released threads are active from the pulse on, not only once each has woken:
        // a failure judged meanwhile must not take them for stuck ones.
        std::lock_guard lock(errorLock_);
        ++errorGeneration_;
        active_ += errorWaiting_;
        errorWaiting_ = 0;
    }
    errorPulsed_.notify_all();
}

// ---- Write thread ---------------------------------------------------------------------------

void DownloadQueue::WriteThreadMain() {
    for (;;) {
        {
            std::unique_lock lock(writeLock_);
            writeChanged_.wait(lock, [&] { return writeSignal_ || IsStopping(); });
            writeSignal_ = false;
        }
        if (IsStopping()) break;
        try {
            RunCycle();
        } catch (...) {
            // RunCycle accounts for every item itself; nothing may end this thread.
        }
    }
    std::lock_guard hold(heldLock_);
    ReleaseArchivesLocked();
}

std::vector<DownloadItem> DownloadQueue::TakeWriteList(std::chrono::steady_clock::time_point cycleEnd) {
    std::vector<DownloadItem> list;
    {
        std::unique_lock lock(writeLock_);
        const auto idleEnd = std::min(cycleEnd, std::chrono::steady_clock::now() + options_.cycleIdleLimit);
        writeChanged_.wait_until(lock, idleEnd,
                                 [&] { return !writeList_.empty() || cycleWaiters_ > 0 || IsStopping(); });
        list.swap(writeList_);
        writeSignal_ = false;
    }
    if (!list.empty()) writeChanged_.notify_all();
    return list;
}

void DownloadQueue::RunCycle() {
    Cycle cycle;
    std::unique_lock hold(heldLock_);
    const auto cycleEnd = std::chrono::steady_clock::now() + options_.cycleTimeLimit;
    std::uint64_t cycleBytes = 0;
    try {
        for (bool first = true;; first = false) {
            // The first list is there already: the write signal came with it.
            std::vector<DownloadItem> list = TakeWriteList(first ? std::chrono::steady_clock::now() : cycleEnd);
            if (list.empty()) break;
            const std::uint64_t listBytes = HeldBytesOf(list);
            // Taken into the cycle first: whatever happens below, each item is retired once.
            const std::size_t from = cycle.taken.size();
            cycle.taken.reserve(from + list.size());
            for (auto& item : list) cycle.taken.push_back(std::move(item));
            WriteItems(cycle, from);
            {
                // What was written is in the archives now (and what was dropped is gone): its
                // bytes are no longer held. Failed items keep theirs until the policy is done.
                const std::uint64_t kept = HeldBytesOf(std::span(cycle.taken).subspan(from));
                std::lock_guard lock(writeLock_);
                heldWriteBytes_ -= std::min(heldWriteBytes_, listBytes - std::min(listBytes, kept));
            }
            writeChanged_.notify_all();
            cycleBytes += listBytes;
            if (!cycle.networkFailed.empty() || !cycle.writeFailed.empty()) break;  // decided now
            if (cycleBytes >= options_.cycleByteBudget || std::chrono::steady_clock::now() >= cycleEnd) break;
            if (IsStopping() || cycleWaiters_ > 0) break;
        }
        // The directory is what makes the entries count: a flush that fails fails its items.
        FlushHeldArchives(cycle);
    } catch (...) {
    }
    CountWritten(cycle.written);
    // Nothing waits for the writer: nobody may find the archives held meanwhile. (A type's
    // drain lets them go below, as its last item retires.)
    bool listEmpty = false;
    {
        std::lock_guard lock(writeLock_);
        listEmpty = writeList_.empty();
    }
    if (listEmpty || IsStopping() || cycleWaiters_ > 0) ReleaseArchivesLocked();
    hold.unlock();

    try {
        NetworkErrorPolicy(cycle.networkFailed);
        WriteErrorPolicy(cycle);
        for (const auto& item : cycle.written) Complete(item, true);
    } catch (...) {
    }
    {
        // Failed items kept their bytes until the policy had them. They go before the items
        // retire: a drain's waiter and onDrained must find nothing held for the writer.
        const std::uint64_t kept = HeldBytesOf(cycle.taken);
        for (auto& item : cycle.taken) item.data.reset();
        cycle.writeFailed.clear();
        cycle.networkFailed.clear();
        std::lock_guard lock(writeLock_);
        heldWriteBytes_ -= std::min(heldWriteBytes_, kept);
    }
    writeChanged_.notify_all();
    // Every item of the cycle leaves here, after any copy of it was queued again. Under the
    // archive lock: items that leave elsewhere meanwhile (a drain, an aborted fetch) may make
    // any of these the last of its type, and that retire must find the archives let go.
    int drains = 0;
    {
        std::lock_guard hold(heldLock_);
        for (const auto& item : cycle.taken) {
            if (RetireUnlessLast(item)) continue;
            ReleaseArchivesLocked();
            if (RetireCounted(item)) ++drains;
        }
    }
    // Outside the locks, once per drain.
    for (int k = 0; k < drains; ++k)
        if (options_.onDrained) options_.onDrained();
}

bool DownloadQueue::RetireUnlessLast(const DownloadItem& item) {
    Slot& slot = SlotOf(item.type);
    std::lock_guard lock(slot.countLock);
    if (slot.pending <= 1) return false;
    --slot.pending;
    slot.pendingSpace -= std::min(slot.pendingSpace, SpaceOf(item));
    return true;
}

void DownloadQueue::WriteItems(Cycle& cycle, std::size_t from) {
    for (std::size_t i = from; i < cycle.taken.size(); ++i) {
        DownloadItem& item = cycle.taken[i];
        if (item.job && item.job->IsAborted()) {
            item.data.reset();  // dropped: retired with the cycle
            continue;
        }
        if (item.error) {
            cycle.networkFailed.push_back(item);
            continue;
        }
        const std::uint64_t fetched = item.data ? item.data->GetSize() : 0;
        try {
            if (!item.descriptor || !item.data) throw Exception();
            const auto& [name, info] = *item.descriptor;
            std::string target = item.archivePath;
            if (target.empty()) {
                const std::string folder = ContentFolder();
                const auto counter = [&](const std::string& path) -> std::uint32_t {
                    const auto open = held_.find(path);
                    if (open != held_.end()) return static_cast<std::uint32_t>(open->second->GetEntryCount());
                    std::uint32_t count = 0;
                    return ReadZipEntryCount(path, count) ? count : 0;
                };
                // The group's archives are listed once a cycle; one made here joins the list.
                const std::string group = PakGroupOf(name);
                auto listed = cycle.groups.find(group);
                if (listed == cycle.groups.end()) listed = cycle.groups.emplace(group, ListPakPaths(folder, group)).first;
                auto& paths = listed->second;
                try {
                    target = FindPakWithRoomAmong(paths, folder, name, info.storedSize, counter);
                } catch (const Exception&) {
                    // One went away meanwhile: look again.
                    paths = ListPakPaths(folder, group);
                    target = FindPakWithRoomAmong(paths, folder, name, info.storedSize, counter);
                }
                if (const auto at = std::lower_bound(paths.begin(), paths.end(), target); at == paths.end() || *at != target)
                    paths.insert(at, target);
                std::error_code ignored;
                std::filesystem::create_directories(FolderOf(target), ignored);
            }
            item.archivePath = target;
            auto open = held_.find(target);
            if (open == held_.end()) open = held_.emplace(target, ZipManager::GetZip(target, kZipWritable)).first;
            open->second->AddEntry(name, info, item.data->GetData(), item.data->GetSize());
            // In the archive now: the bytes can go back at once.
            item.data.reset();
            cycle.written.push_back(item);
            cycle.writtenTo.push_back(target);
        } catch (...) {
            cycle.writeFailed.push_back({item, CurrentWriteError(), fetched});
        }
    }
}

void DownloadQueue::FlushHeldArchives(Cycle& cycle) {
    for (auto it = held_.begin(); it != held_.end();) {
        const std::string path = it->first;
        try {
            it->second->FlushChanges();
            ++it;
            continue;
        } catch (...) {
            std::vector<DownloadItem> kept;
            std::vector<std::string> keptTo;
            for (std::size_t i = 0; i < cycle.written.size(); ++i) {
                if (cycle.writtenTo[i] == path) {
                    cycle.writeFailed.push_back({cycle.written[i], CurrentWriteError(), StoredSizeOf(cycle.written[i])});
                } else {
                    kept.push_back(std::move(cycle.written[i]));
                    keptTo.push_back(std::move(cycle.writtenTo[i]));
                }
            }
            cycle.written.swap(kept);
            cycle.writtenTo.swap(keptTo);
        }
        // An archive that could not be flushed is not kept: the next write opens it afresh.
        it = held_.erase(it);
    }
}

void DownloadQueue::ReleaseArchivesLocked() {
    // Flushed at the end of their cycle already; letting them go closes them.
    std::map<std::string, std::shared_ptr<Zip>> released;
    released.swap(held_);
    released.clear();
}

void DownloadQueue::ReleaseArchives() {
    // A cycle in progress ends as soon as it can.
    const CycleWaiter waiting(*this);
    std::lock_guard hold(heldLock_);
    ReleaseArchivesLocked();
}

DownloadQueue::CycleWaiter::CycleWaiter(DownloadQueue& queue) : queue_(queue) {
    {
        std::lock_guard lock(queue_.writeLock_);
        ++queue_.cycleWaiters_;
    }
    queue_.writeChanged_.notify_all();
}

DownloadQueue::CycleWaiter::~CycleWaiter() {
    std::lock_guard lock(queue_.writeLock_);
    --queue_.cycleWaiters_;
}

std::size_t DownloadQueue::GetHeldArchiveCount() {
    std::lock_guard hold(heldLock_);
    return held_.size();
}

void DownloadQueue::Requeue(const std::vector<DownloadItem>& items) {
    for (const auto& item : items) EnqueueItem(item, false);
}

bool DownloadQueue::SomeThreadCanProgress() const {
    // Queued items first: an item taken between the two looks leaves its thread busy.
    bool queued = false;
    for (const Slot& slot : slots_) {
        std::lock_guard lock(slot.lock);
        if (!slot.items.empty() && !(slot.typeJob && slot.typeJob->IsAborted())) queued = true;
    }
    std::lock_guard lock(errorLock_);
    // Busy threads hold an item that has not failed; idle ones progress only with work queued.
    const int busy = active_ - idle_;
    return busy > 0 || (queued && idle_ > 0);
}

bool DownloadQueue::AskTypeJob(const std::exception_ptr& error) {
    std::shared_ptr<ThreadJob> job;
    {
        Slot& slot = slots_[kTypeContent];
        std::lock_guard lock(slot.lock);
        job = slot.typeJob;
    }
    if (!job || job->IsAborted() || IsStopping()) return false;
    // The player may take a while to answer, or repair meanwhile: nothing stays held.
    ReleaseArchives();
    try {
        std::rethrow_exception(error);
    } catch (...) {
        try {
            return job->Fail();
        } catch (...) {
            return false;  // a job nobody listens to rethrows: that is a "no"
        }
    }
}

void DownloadQueue::NetworkErrorPolicy(std::vector<DownloadItem>& failed) {
    if (failed.empty()) return;
    if (SomeThreadCanProgress()) {
        // Some thread still makes progress: try again; the stuck ones stay waiting. Threads
        // with nothing to do make none: with them alone left the failure goes on at once.
        Requeue(failed);
        return;
    }
    if (Manager().NextServer()) {
        Requeue(failed);
        PulseErrorEvent();
        return;
    }
    Manager().ResetServers();
    std::vector<DownloadItem> collected;
    for (const auto& item : failed) {
        if (item.type == kTypeContent)
            collected.push_back(item);
        else
            Complete(item, false);
    }
    if (!collected.empty()) {
        if (AskTypeJob(std::make_exception_ptr(*collected.front().error)))
            Requeue(collected);
        else
            AbortType(kTypeContent, true);
    }
    PulseErrorEvent();
}

void DownloadQueue::WriteErrorPolicy(const Cycle& cycle) {
    if (cycle.writeFailed.empty()) return;
    std::vector<DownloadItem> collected;
    std::exception_ptr first;
    std::string fullFolder;
    for (const auto& f : cycle.writeFailed) {
        try {
            std::rethrow_exception(f.error);
        } catch (const ContentDiskFullException& e) {
            if (fullFolder.empty()) fullFolder = e.GetFolder();
        } catch (...) {
        }
        if (f.item.type == kTypeContent) {
            collected.push_back(f.item);
            if (!first) first = f.error;
        } else {
            Complete(f.item, false);
        }
    }
    if (collected.empty()) return;
    // While the player decides, nothing more is fetched and the bar shows what the archives hold.
    HoldForQuestion(kTypeContent);
    if (!fullFolder.empty()) {
        // The player is told the room for everything of the job not yet written: the failed
        // files, and those queued, being fetched or waiting for the writer. Freeing that much
        // lets the retry write them all; nothing is taken off for what is free now.
        std::uint64_t needed = SpaceStillToWrite(kTypeContent, cycle);
        for (const auto& item : collected) needed += SpaceOf(item);
        first = std::make_exception_ptr(ContentDiskFullException(fullFolder, needed));
    }
    if (AskTypeJob(first)) {
        EndHold(kTypeContent, true, collected);
        // Bytes another job counted for its failed files count again when they are fetched anew.
        const ThreadJob* typeJob = nullptr;
        {
            const Slot& slot = slots_[kTypeContent];
            std::lock_guard lock(slot.countLock);
            typeJob = slot.doneJob;
        }
        for (const auto& f : cycle.writeFailed)
            if (f.item.type == kTypeContent && f.item.job && f.item.job.get() != typeJob && f.fetchedBytes > 0)
                f.item.job->GetProgress()->SubtractDone(f.fetchedBytes);
        Requeue(collected);
    } else {
        // Aborted first: the fetches waiting for the hold then leave instead of starting.
        AbortType(kTypeContent, true);
        EndHold(kTypeContent, false, collected);
    }
}

// ---- The process-wide queue -----------------------------------------------------------------

DownloadQueue& GetDownloadQueue() {
    static DownloadQueue queue;
    return queue;
}

void StartDownloadThreads() { GetDownloadQueue().StartDownloadThreads(); }
void StopDownloadThreads() { GetDownloadQueue().StopDownloadThreads(); }
void SetTypeJob(std::uint32_t type, std::shared_ptr<ThreadJob> job) { GetDownloadQueue().SetTypeJob(type, std::move(job)); }
void Enqueue(const DownloadItem& item) { GetDownloadQueue().Enqueue(item); }
void AbortQueue(std::uint32_t type) { GetDownloadQueue().AbortQueue(type); }
void WaitDrained(std::uint32_t type) { GetDownloadQueue().WaitDrained(type); }

}  // namespace Vel::ContentDownload
