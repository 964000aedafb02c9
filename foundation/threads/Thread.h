#pragma once
// VelRunnable: the abstract unit of work. VelThread: the program's only way to start a thread.
//
// Contract:
// - A VelThread is a named pthread created behind a start gate (it runs nothing until Start);
//   its thread id (gettid) is known before the constructor returns. A thread that cannot be
//   created throws Vel::SystemException.
// - Every VelThread is registered by thread id in a process-wide registry (its own lock,
//   never held while anything else runs). The thread-local current thread is written only by
//   the thread itself (thread procedure or adoption).
// - Join waits up to 10 s for the thread to end; longer is a fatal error. Several threads may
//   join at once: each waits for the end under the same limit, one of them reaps the thread and
//   the others return once it has. Join or destruction on the thread itself does not wait for
//   itself: the thread is detached and ends on its own. The main thread (kind 0) and adopted
//   threads are never joined.
// - An exception escaping a thread's body is a fatal error (nothing crosses the thread's C
//   entry point).
// - Names are kept whole; the system thread name is cut to 15 bytes.
// - Start and the destructor are for the owner; Join, WaitForEnd, IsRunning, GetName,
//   GetThreadId and the static functions may be called from any thread (Join never at the same
//   time as the destructor). The thread's state is guarded by its own lock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class VelRunnable {
public:
    VelRunnable() = default;
    VelRunnable(const VelRunnable&) = delete;
    VelRunnable& operator=(const VelRunnable&) = delete;
    virtual ~VelRunnable() = default;
    virtual void Run() = 0;

    // A function object that owns the runnable and calls its Run.
    class Functor {
    public:
        explicit Functor(std::unique_ptr<VelRunnable> runnable) : runnable_(std::move(runnable)) {}
        void operator()() const {
            if (runnable_) runnable_->Run();
        }

    private:
        std::shared_ptr<VelRunnable> runnable_;
    };
};

// A runnable that calls a function object.
class VelRunnableImpl final : public VelRunnable {
public:
    explicit VelRunnableImpl(std::function<void()> function) : function_(std::move(function)) {}
    void Run() override {
        if (function_) function_();
    }

private:
    std::function<void()> function_;
};

class VelThread {
public:
    // The kind words creators pass; the thread itself only tells the main thread (0) apart.
    static constexpr int kKindMain = 0;
    static constexpr int kKindNetwork = 1;
    static constexpr int kKindWorker = 4;

    static constexpr std::chrono::milliseconds kJoinLimit{10000};

    VelThread(std::function<void()> body, std::string name, int kind);
    // The runnable is not owned and must outlive the thread's run.
    VelThread(VelRunnable* runnable, std::string name, int kind);
    VelThread(const VelThread&) = delete;
    VelThread& operator=(const VelThread&) = delete;
    virtual ~VelThread();

    // Opens the start gate. A second call does nothing.
    void Start();
    // Waits for the end (10 s limit, fatal beyond). Returns at once on the thread itself. Safe
    // from several threads at once.
    void Join();
    // Waits up to `limit` for the thread to end; true when it has ended.
    bool WaitForEnd(std::chrono::milliseconds limit);
    // True until the thread procedure has returned (also before Start).
    bool IsRunning() const;

    const std::string& GetName() const noexcept { return name_; }
    std::uint32_t GetThreadId() const noexcept { return threadId_; }
    int GetKind() const noexcept { return kind_; }

    // The calling thread's VelThread, or null on a thread neither started through VelThread
    // nor adopted.
    static VelThread* GetCurrent() noexcept;
    // The last thread registered with kind 0, or null.
    static VelThread* GetMainThread() noexcept;
    static void Sleep(std::uint32_t milliseconds);

    // Wraps the calling thread (the main thread at start-up, kind 0) in a VelThread, registers
    // it and makes it the current thread. The caller owns the result. A second adoption on the
    // same thread is fatal, reporting both names. Returns null on failure.
    static VelThread* AdoptCurrentThread(std::string name, int kind);

    // Join limit used instead of kJoinLimit; for tests that show the fatal join.
    static void SetJoinLimitForTesting(std::chrono::milliseconds limit);

    struct State;

private:
    friend void SetThreadName(std::uint32_t threadId, const std::string& name);
    struct AdoptTag {};
    VelThread(AdoptTag, std::string name, int kind);
    void Create();
    // Lets the thread end on its own, unless somebody reaps it already.
    void Detach();

    std::string name_;
    int kind_;
    std::uint32_t threadId_ = 0;
    bool adopted_ = false;
    std::shared_ptr<State> state_;
};

// Names a registered thread (or the calling one) for debuggers and tools; the system name is
// cut to 15 bytes at a character boundary.
void SetThreadName(std::uint32_t threadId, const std::string& name);
