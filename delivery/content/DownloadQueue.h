#pragma once
// The download queue of the planet content and its threads: a priority queue with one slot per
// queue type, a pool of download threads that rebuild a file from an archive copy or fetch it
// from the current content server, and one write thread that writes the results into the
// ".pak" archives in flush cycles, reports completions and runs the error policy (retry while some
// thread makes progress, next server once every thread is stuck, then the type's job decides).
//
// Contract:
// - Every item queued is counted in its slot's pending count until it leaves through the one
//   retire path: written, failed (completion false, or handed to the type's job), dropped
//   (its job aborted, the type drained) or lost to an exception. The slot's drained state is
//   set exactly when its pending count is 0, so WaitDrained always returns once the items are
//   gone. Pending counts and drained states change together under the slot's count lock.
// - Locks: a slot's lock guards only its queued items; the count lock the count, the drained
//   flag, the archive space of the pending items, the hold and the done accounting; the write
//   lock the write list, the bytes held for the writer and the write signal; the error lock the
//   active and idle counts and the error generation. None is held while another is taken
//   (except the count lock inside the slot's lock, as an item is queued, and a progress's own
//   lock under the count lock), nor while a fetch, an archive or a job callback runs, nor while
//   waiting (the condition waits release their own lock).
// - The drain (a type job's abort handler, or AbortQueue) drops the queued items and then
//   waits, without a lock, until the items in flight are gone; on the write thread itself it
//   does not wait (the writer is what it would wait for).
// - The writer asks the type job (ThreadJob::Fail, whose error handler is the user's retry
//   question) on its own thread; that question must give up when the job is aborted (the
//   worker runner's does). A "no" aborts the type's job without waiting for the job's thread.
// - Memory: the fetched bodies come from the body buffer pool (two per download thread kept
//   at most) and go back there once written; when a type drains, onDrained runs (by default
//   malloc_trim), without a lock. At most kWriteListLimit items and at most the byte budget of
//   stored bytes wait for the writer or are being written (a single item larger than the
//   budget still passes when nothing else is held; one that fills the budget exactly passes).
//   Queued items hold no file bytes.
// - A download thread that failed leaves the active count before it hands its item to the
//   writer and waits for the error pulse of the generation it saw before, so no pulse is lost.
//   A pulse counts the threads it releases as active at once, before they have woken.
// - A file's stored size counts to its job's total once, at the producer's Enqueue; queuing it
//   again after a failure does not add it again. The bytes of a failed fetch are taken back by
//   the fetch; those of a file fetched but not written are taken back when its write failure's
//   question is asked (below).
//   The stop event ends every wait of the threads (semaphore, full write list, error wait,
//   hold) and aborts their transfers; StopDownloadThreads aborts the type jobs (without waiting
//   for their threads, so that a pending retry question gives up), joins every thread within
//   the join limit and retires whatever is left.
// - A thread waiting for work is idle. Failures are queued again only while some thread can
//   still make progress: one busy with an item that has not failed, or an idle one with work
//   queued for it. Idle threads with nothing queued do not hold a failure back, so one file
//   that keeps failing reaches the next server, then the type job's question, after one try.
// - Flush cycles: the writer takes the write list again and again into one cycle, writing each
//   list into the archives as it comes and keeping them open, until the cycle's bytes reach the
//   cycle's byte budget, its time limit passes, the list stays empty for the idle limit, a failure
//   arrives, a type drains or the threads stop. The cycle ends by flushing every archive it
//   changed (directory written and synced); only then are its items' completions reported and
//   the items retired. A written item's bytes are let go at once (only its size is kept).
// - Held archives: between cycles the writer keeps its archives open while more items wait.
//   It lets them go when the write list is empty after a cycle, before the last item of a type
//   that it holds leaves (so a type the writer drains finds nothing held; one whose last items
//   are dropped elsewhere while the writer works on the other type's may find the archives
//   held for that work), before a failure's question, when its thread ends, and when
//   ZipManager::ReleaseHeldArchives asks (answered between two cycles, so within one cycle's
//   limits; the rescan, repair, moves and compaction ask first).
//   The archive lock "heldLock_" is held for a whole cycle's writing and flushing, and again
//   while its items retire (the last item of a type lets the archives go before it leaves),
//   never while completions, the error policy, onDrained or a job callback run; no other queue
//   lock is taken under it except the write lock and the slots' count locks, briefly.
// - Archive failures in a cycle never end the writer: a full volume becomes a
//   ContentDiskFullException naming the folder and the room that everything of the type still
//   to be written takes (failed, queued, being fetched, waiting for the writer: each file's
//   entry, its directory record and the crash marker's copy of that record), with nothing taken
//   off for what is free now; a damaged archive becomes its Zip::CorruptException; either is
//   handed to the type-1 job (type-0 items complete with false). Archives are opened writable
//   without recovery: a damaged one is not rebuilt quietly from its local headers (which keeps
//   entries whose bytes no one checked) but goes to the job, whose worker repairs it with every
//   entry's CRC-32 checked. A directory that cannot be flushed at the end of a cycle fails that
//   archive's items.
// - While a write failure's question waits, type 1 is held: no fetch of it starts (a thread
//   that takes such an item waits with it), the fetches running stop at their next abort poll
//   and are made again after the answer, and the type job's done count is taken back to what
//   the archives hold (the writer waits, within a bound, for the stopped fetches to take back
//   their own bytes). After a retry the files still waiting for the writer count as done again;
//   the failed ones count once they are fetched anew.
// - Start/Stop are for the owner (the content download's initialisation and shutdown); every
//   other member may be called from any thread.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/net/DownloadManager.h"
#include "delivery/descriptors/FileDescriptors.h"
#include "delivery/jobs/ThreadJob.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/core/Exception.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/threads/Semaphore.h"

class VelThread;

namespace Vel::ContentDownload {

// Queue types: the content download uses kTypeContent.
enum Type : std::uint32_t { kTypeUrgent = 0, kTypeContent = 1 };
inline constexpr std::uint32_t kTypeCount = 2;

inline constexpr int kMinDownloadThreads = 1;
inline constexpr int kMaxDownloadThreads = 32;
inline constexpr std::size_t kWriteListLimit = 100;
// Stored bytes waiting for the writer at most; and what one flush cycle writes at most.
inline constexpr std::uint64_t kDefaultWriteByteBudget = 24ull * 1024 * 1024;
inline constexpr std::uint64_t kDefaultCycleByteBudget = 64ull * 1024 * 1024;
inline constexpr unsigned kMaxConnectionsPerServer = 12;
inline constexpr std::chrono::milliseconds kDefaultCycleTimeLimit{1000};
inline constexpr std::chrono::milliseconds kDefaultCycleIdleLimit{30};

// One entry of the descriptor map; keeps the map it belongs to alive.
using DescriptorRef = std::shared_ptr<const FileDescriptorMap::value_type>;
// The entry of name in map, or null.
DescriptorRef FindDescriptorRef(const std::shared_ptr<const FileDescriptorMap>& map, const std::string& name);

struct DownloadItem {
    // A copy exists in archivePath but differs: try rebuilding it from there first.
    bool replace = false;
    // The archive holding the copy and taking the file; empty: chosen for a new file.
    std::string archivePath;
    DescriptorRef descriptor;
    // Asked once when queued; empty counts as 0. Higher comes first.
    std::function<float()> priority;
    // true when written; false when the item finally failed (types other than 1).
    std::function<void(bool)> completion;
    std::uint32_t type = kTypeContent;
    std::shared_ptr<ThreadJob> job;
    std::shared_ptr<VelMemoryStream> data;
    std::shared_ptr<NetworkException> error;
};

// Frees the kept download bodies and gives the allocator's free memory back to the system
// where the C library can (glibc).
void ReleaseFreeMemory();
// At most this many malloc arenas (glibc makes up to eight per core, one per thread that
// meets contention, and each keeps the freed bodies of its threads).
inline constexpr int kMaxAllocatorArenas = 4;
// Bounds the allocator's arenas; call at process start, before any thread. False where the C
// library has no such setting.
bool LimitAllocatorArenas(int arenas = kMaxAllocatorArenas);

struct DownloadQueueOptions {
    DownloadManager* manager = nullptr;  // null: the process-wide manager
    // The dynamic content folder new files go to; empty: GetDynamicContentFolder() when needed.
    std::string contentFolder;
    // 0: the setting Connection\DownloadThreadCount; clamped to 1..32 either way.
    int threadCount = 0;
    std::uint64_t writeByteBudget = kDefaultWriteByteBudget;
    std::uint64_t cycleByteBudget = kDefaultCycleByteBudget;
    // Between two looks at a full write list when nothing wakes the thread sooner.
    std::chrono::milliseconds fullListPoll{100};
    // A flush cycle ends once it has run this long, or once the write list has stayed empty
    // for the idle limit (on the monotonic clock).
    std::chrono::milliseconds cycleTimeLimit{kDefaultCycleTimeLimit};
    std::chrono::milliseconds cycleIdleLimit{kDefaultCycleIdleLimit};
    // Called, on the thread that retired the last item and without a lock, each time a type's
    // pending count reaches 0. The default hands the allocator's free memory back to the
    // system (glibc's malloc_trim); empty: nothing.
    std::function<void()> onDrained = ReleaseFreeMemory;
};

class DownloadQueue : private ArchiveHolder {
public:
    explicit DownloadQueue(DownloadQueueOptions options = {});
    // Stops the threads.
    ~DownloadQueue();
    DownloadQueue(const DownloadQueue&) = delete;
    DownloadQueue& operator=(const DownloadQueue&) = delete;

    // Starts the download threads and the write thread; a second call does nothing.
    void StartDownloadThreads();
    // Ends and joins every thread (each within the join limit); the queued items are dropped
    // and every slot is drained. The threads may be started again afterwards.
    void StopDownloadThreads();

    // The type's job: its progress is reset and its abort drains the type. An empty job is a
    // fatal error.
    void SetTypeJob(std::uint32_t type, std::shared_ptr<ThreadJob> job);
    // The producer's queuing of a file: its stored size is added to its job's total.
    void Enqueue(const DownloadItem& item);
    // Aborts the type's job (which drains the type), or drains it directly when there is none;
    // returns once the type's items in flight are gone (at once on the write thread).
    void AbortQueue(std::uint32_t type);
    void WaitDrained(std::uint32_t type);
    bool WaitDrainedFor(std::uint32_t type, std::chrono::milliseconds limit);

    // For diagnostics and tests.
    std::size_t GetHeldArchiveCount();
    int GetPending(std::uint32_t type) const;
    std::size_t GetQueuedCount(std::uint32_t type) const;
    int GetThreadCount() const;
    int GetActiveCount() const;
    // Threads waiting for work (counted in the active count too).
    int GetIdleCount() const;
    int GetErrorWaitingCount() const;
    std::uint64_t GetHeldWriteBytes() const;
    // Items handed to the writer and not yet taken by it.
    std::size_t GetWriteListCount() const;
    // Download threads holding a fetched item until the write list has room for it.
    int GetRoomWaitingCount() const;

    // The thread count the setting asks for, clamped.
    static int ConfiguredThreadCount();

private:
    struct Slot {
        mutable std::mutex lock;  // the queued items
        std::multimap<float, DownloadItem> items;
        std::shared_ptr<ThreadJob> typeJob;

        mutable std::mutex countLock;  // pending and drained change together; the done accounting
        std::condition_variable drainedChanged;
        int pending = 0;
        bool drained = true;
        std::uint64_t pendingSpace = 0;  // the archive space of the pending items

        // The done accounting of the type job (doneJob; its progress doneProgress): bytes it
        // counts as done for files fetched and not yet in the archives, and those taken back
        // while the type is held.
        const ThreadJob* doneJob = nullptr;
        std::shared_ptr<DownloadProgress> doneProgress;
        std::uint64_t unwritten = 0;
        std::uint64_t takenBack = 0;
        int fetching = 0;                // fetches and rebuilds of the type running
        std::atomic<bool> held{false};   // a write failure's question waits: nothing is fetched
        std::condition_variable holdChanged;  // the hold ended, a fetch ended, an abort, a stop
    };
    struct WriteFailure {
        DownloadItem item;
        std::exception_ptr error;
        // Counted as done when fetched; taken back when the item is queued again.
        std::uint64_t fetchedBytes = 0;
    };
    // One cycle's items on their way through the writer.
    struct Cycle {
        std::vector<DownloadItem> taken;  // every item, retired at the end
        std::vector<DownloadItem> written;
        std::vector<std::string> writtenTo;  // the archive of each written item
        std::vector<DownloadItem> networkFailed;
        std::vector<WriteFailure> writeFailed;
        std::map<std::string, std::vector<std::string>> groups;  // group -> its archives, listed once
    };

    Slot& SlotOf(std::uint32_t type);
    const Slot& SlotOf(std::uint32_t type) const;
    void AddPending(const DownloadItem& item);
    // The one retire path: counts the item out, then runs onDrained when that drained its type.
    void Retire(const DownloadItem& item);
    // Counts the item out; true when that drained its type (onDrained is then the caller's).
    bool RetireCounted(const DownloadItem& item);
    // Counts the item out when others of its type are still pending; false (nothing done) when
    // it is the last one, whose retire would drain the type.
    bool RetireUnlessLast(const DownloadItem& item);
    // StopDownloadThreads under the owner's lock; true when retiring the items left drained a type.
    bool StopLocked();
    bool IsStopping() const noexcept { return stopping_.load(); }

    void DownloadThreadMain(int index);
    bool TakeItem(DownloadItem& item);
    void Process(DownloadItem& item);
    bool RebuildLocally(DownloadItem& item);
    // Fetches the item; a fetch that the type's hold stopped sets `held` and leaves no error.
    void Fetch(DownloadItem& item, bool& held);
    // Waits while the item's type is held; false (nothing counted) once the item is to be
    // dropped. True: the fetch is counted as running until EndFetch.
    bool BeginFetch(const DownloadItem& item);
    // The fetch has ended; a file fetched counts to the bytes not yet in the archives (taken
    // back at once while the type is held).
    void EndFetch(const DownloadItem& item);
    // A write failure's question is about to be asked: no fetch of the type starts or goes on,
    // and the job's done count is taken back to what is in the archives.
    void HoldForQuestion(std::uint32_t type);
    // The answer is in: fetching goes on. On a retry the bytes of the files still held for the
    // writer count as done again, less those of `failed` (queued again without their bytes).
    void EndHold(std::uint32_t type, bool retry, const std::vector<DownloadItem>& failed);
    // The written items' bytes are in the archives now.
    void CountWritten(const std::vector<DownloadItem>& written);
    // Everything of the type still to be written, as archive space, less what `cycle` holds
    // (its written items are in the archives; the caller counts its failed ones).
    std::uint64_t SpaceStillToWrite(std::uint32_t type, const Cycle& cycle) const;
    void HandToWriter(DownloadItem item);
    void WaitForErrorPulse(std::uint64_t generation);
    void PulseErrorEvent();

    void Drain(std::uint32_t type);
    void AbortType(std::uint32_t type, bool fromWriter);

    void WriteThreadMain();
    void RunCycle();
    // Takes the write list, waiting up to the idle limit for an item; empty when none came.
    std::vector<DownloadItem> TakeWriteList(std::chrono::steady_clock::time_point cycleEnd);
    // Writes the cycle's items from index `from` on into the held archives.
    void WriteItems(Cycle& cycle, std::size_t from);
    void FlushHeldArchives(Cycle& cycle);
    void ReleaseArchives() override;
    // Counts its owner among those waiting for the current cycle while it lives.
    class CycleWaiter {
    public:
        explicit CycleWaiter(DownloadQueue& queue);
        ~CycleWaiter();
        CycleWaiter(const CycleWaiter&) = delete;
        CycleWaiter& operator=(const CycleWaiter&) = delete;

    private:
        DownloadQueue& queue_;
    };
    void ReleaseArchivesLocked();
    void NetworkErrorPolicy(std::vector<DownloadItem>& failed);
    void WriteErrorPolicy(const Cycle& cycle);
    // Hands the error to the type-1 job: true when the job's handler answers "retry".
    bool AskTypeJob(const std::exception_ptr& error);
    // Queues failed items again without counting them to their job's total once more.
    void Requeue(const std::vector<DownloadItem>& items);
    void EnqueueItem(const DownloadItem& item, bool countTotal);
    // True while a failure may still be got past by another try on the current server.
    bool SomeThreadCanProgress() const;
    std::string ContentFolder() const;
    DownloadManager& Manager() const;

    DownloadQueueOptions options_;
    std::array<Slot, kTypeCount> slots_;
    VelSemaphore work_{"Download queue work", 0};
    std::atomic<bool> stopping_{false};

    mutable std::mutex writeLock_;
    std::condition_variable writeChanged_;  // the write signal, room in the list, stop
    std::vector<DownloadItem> writeList_;
    std::uint64_t heldWriteBytes_ = 0;  // the list, the one being written, failures kept
    bool writeSignal_ = false;
    int roomWaiting_ = 0;  // threads waiting for room in the write list
    std::atomic<int> cycleWaiters_{0};  // drains and releases waiting for the cycle: it ends at once

    // The writer's open archives, by path; held for a whole cycle's writing and flushing.
    std::mutex heldLock_;
    std::map<std::string, std::shared_ptr<Zip>> held_;

    mutable std::mutex errorLock_;
    std::condition_variable errorPulsed_;
    std::uint64_t errorGeneration_ = 0;
    int active_ = 0;  // threads not waiting after a failure
    int idle_ = 0;    // threads waiting for work
    int errorWaiting_ = 0;  // threads failed and not yet released by a pulse

    mutable std::mutex threadsLock_;  // the owner's: start and stop
    std::vector<std::unique_ptr<VelThread>> downloadThreads_;
    std::unique_ptr<VelThread> writeThread_;
    std::atomic<const VelThread*> writeThreadId_{nullptr};
};

// The process-wide queue the content download uses.
DownloadQueue& GetDownloadQueue();
void StartDownloadThreads();
void StopDownloadThreads();
void SetTypeJob(std::uint32_t type, std::shared_ptr<ThreadJob> job);
void Enqueue(const DownloadItem& item);
void AbortQueue(std::uint32_t type);
void WaitDrained(std::uint32_t type);

}  // namespace Vel::ContentDownload
