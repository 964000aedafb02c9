#include "foundation/threads/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "foundation/core/CrashHandler.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "platform/LastError.h"

struct VelThread::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool published = false;
    bool started = false;
    bool ended = false;
    // One caller reaps the thread (pthread_join or detach) and sets `joined` when done; the
    // others wait for that.
    bool reaping = false;
    bool joined = false;
    std::uint32_t threadId = 0;
    pthread_t handle{};
    std::function<void()> body;
    VelRunnable* runnable = nullptr;
    std::string name;
    VelThread* owner = nullptr;
};

namespace {

thread_local VelThread* t_current = nullptr;
std::atomic<VelThread*> g_mainThread{nullptr};
std::atomic<std::int64_t> g_joinLimitMs{VelThread::kJoinLimit.count()};

struct Registry {
    std::mutex mutex;
    std::multimap<std::uint32_t, VelThread*> threads;
};

// Created on first use and never destroyed: threads may end after static destruction began.
Registry& GetRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

std::string SystemThreadName(const std::string& name) {
    if (name.size() <= 15) return name;
    std::size_t cut = 15;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
    return name.substr(0, cut);
}

void* ThreadProcedure(void* arg) {
    auto* held = static_cast<std::shared_ptr<VelThread::State>*>(arg);
    std::shared_ptr<VelThread::State> state = std::move(*held);
    delete held;
    {
        std::unique_lock lock(state->mutex);
        state->threadId = CurrentThreadId();
        state->published = true;
        state->changed.notify_all();
        state->changed.wait(lock, [&] { return state->started; });
        t_current = state->owner;
    }
    Vel::EnsureCrashAltStack();
    try {
        ::pthread_setname_np(::pthread_self(), SystemThreadName(state->name).c_str());
        if (state->runnable != nullptr)
            state->runnable->Run();
        else if (state->body)
            state->body();
    } catch (const std::exception& e) {
        Vel::FatalError(e.what());
    } catch (...) {
        Vel::FatalError("unknown exception");
    }
    {
        std::lock_guard lock(state->mutex);
        state->ended = true;
        state->changed.notify_all();
    }
    return nullptr;
}

}  // namespace

VelThread::VelThread(std::function<void()> body, std::string name, int kind) : name_(std::move(name)), kind_(kind) {
    state_ = std::make_shared<State>();
    state_->body = std::move(body);
    Create();
}

VelThread::VelThread(VelRunnable* runnable, std::string name, int kind) : name_(std::move(name)), kind_(kind) {
    state_ = std::make_shared<State>();
    state_->runnable = runnable;
    Create();
}

VelThread::VelThread(AdoptTag, std::string name, int kind) : name_(std::move(name)), kind_(kind), adopted_(true) {
    state_ = std::make_shared<State>();
    state_->handle = ::pthread_self();
    state_->threadId = CurrentThreadId();
    state_->name = name_;
    state_->started = true;
    state_->owner = this;
    threadId_ = state_->threadId;
    if (kind_ == kKindMain) g_mainThread.store(this);
    std::lock_guard lock(GetRegistry().mutex);
    GetRegistry().threads.emplace(threadId_, this);
}

void VelThread::Create() {
    state_->name = name_;
    state_->owner = this;
    auto* arg = new std::shared_ptr<State>(state_);
    pthread_t handle;
    int rc = ::pthread_create(&handle, nullptr, &ThreadProcedure, arg);
    if (rc != 0) {
        delete arg;
        Vel::Platform::SetLastError(static_cast<unsigned>(rc));
        throw Vel::SystemException("Couldn't create the thread \"" + name_ + "\".");
    }
    {
        std::unique_lock lock(state_->mutex);
        state_->handle = handle;
        state_->changed.wait(lock, [&] { return state_->published; });
        threadId_ = state_->threadId;
    }
    if (kind_ == kKindMain) g_mainThread.store(this);
    std::lock_guard lock(GetRegistry().mutex);
    GetRegistry().threads.emplace(threadId_, this);
}

VelThread::~VelThread() {
    if (!adopted_) {
        if (kind_ == kKindMain)
            Detach();
        else
            Join();  // on the thread itself this detaches
    }
    {
        std::lock_guard lock(GetRegistry().mutex);
        GetRegistry().threads.erase(threadId_);
    }
    VelThread* self = this;
    g_mainThread.compare_exchange_strong(self, nullptr);
    if (t_current == this) t_current = nullptr;
    std::lock_guard lock(state_->mutex);
    state_->owner = nullptr;
}

void VelThread::Detach() {
    std::lock_guard lock(state_->mutex);
    if (state_->reaping) return;
    state_->reaping = true;
    ::pthread_detach(state_->handle);
    state_->joined = true;
    state_->changed.notify_all();
}

void VelThread::Start() {
    if (adopted_) return;
    std::lock_guard lock(state_->mutex);
    state_->started = true;
    state_->changed.notify_all();
}

bool VelThread::WaitForEnd(std::chrono::milliseconds limit) {
    if (adopted_) return false;
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->ended; });
}

void VelThread::Join() {
    if (adopted_) return;
    if (t_current == this) {
        // A thread cannot wait for its own end: let it finish on its own (unless another thread
        // reaps it already).
        Detach();
        return;
    }
    State& state = *state_;
    const std::chrono::milliseconds limit(g_joinLimitMs.load());
    std::unique_lock lock(state.mutex);
    if (!state.changed.wait_for(lock, limit, [&] { return state.ended; })) {
        lock.unlock();
        Vel::FatalError();
    }
    if (state.reaping) {
        // Another caller reaps it; its pthread_join of an ended thread returns promptly.
        if (!state.changed.wait_for(lock, limit, [&] { return state.joined; })) {
            lock.unlock();
            Vel::FatalError();
        }
        return;
    }
    state.reaping = true;
    lock.unlock();
    ::pthread_join(state.handle, nullptr);
    lock.lock();
    state.joined = true;
    state.changed.notify_all();
}

bool VelThread::IsRunning() const {
    if (adopted_) return true;
    std::lock_guard lock(state_->mutex);
    return !state_->ended;
}

VelThread* VelThread::GetCurrent() noexcept { return t_current; }
VelThread* VelThread::GetMainThread() noexcept { return g_mainThread.load(); }

void VelThread::Sleep(std::uint32_t milliseconds) {
    if (milliseconds == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

VelThread* VelThread::AdoptCurrentThread(std::string name, int kind) {
    if (t_current != nullptr) {
        std::string report = t_current->GetName() + " " + name;
        Vel::FatalError(report);
    }
    VelThread* thread = new VelThread(AdoptTag{}, std::move(name), kind);
    // An adopted thread without a name keeps the one it has: on the main thread that name is
    // the process's, which tools such as ps and pgrep show.
    if (!thread->GetName().empty())
        ::pthread_setname_np(::pthread_self(), SystemThreadName(thread->GetName()).c_str());
    t_current = thread;
    return thread;
}

void VelThread::SetJoinLimitForTesting(std::chrono::milliseconds limit) { g_joinLimitMs.store(limit.count()); }

void SetThreadName(std::uint32_t threadId, const std::string& name) {
    const std::string shortName = SystemThreadName(name);
    if (threadId == CurrentThreadId()) {
        ::pthread_setname_np(::pthread_self(), shortName.c_str());
        return;
    }
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.threads.find(threadId);
    if (it == registry.threads.end()) return;
    // Holding the thread's lock while it has not ended keeps it from being joined meanwhile.
    VelThread::State& state = *it->second->state_;
    std::lock_guard stateLock(state.mutex);
    if (!state.ended) ::pthread_setname_np(state.handle, shortName.c_str());
}
