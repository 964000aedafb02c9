#pragma once
// VelMutex: a recursive lock guarded by an integrity word; VelMutex::ScopedLock holds it for a
// scope.
//
// Contract:
// - Recursive: a thread may lock a mutex it already holds (and unlocks it as often).
// - Lock and Unlock check the integrity word first: use of a destroyed or never-constructed
//   mutex is a fatal error, not undefined behaviour.
// - The name and flags of the named constructor are accepted for callers' documentation and
//   not kept.
// - lock/unlock/try_lock make it usable with the standard lock guards.

#include <cstdint>
#include <mutex>
#include <string_view>

class VelMutex {
public:
    static constexpr std::uint32_t kAlive = 0x1FE319BA;

    VelMutex() noexcept = default;
    explicit VelMutex(std::string_view /*name*/, bool /*flag*/ = false, bool /*flag*/ = false) noexcept {}
    VelMutex(const VelMutex&) = delete;
    VelMutex& operator=(const VelMutex&) = delete;
    ~VelMutex();

    void Lock();
    void Unlock();

    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock();

    class ScopedLock {
    public:
        explicit ScopedLock(VelMutex& mutex) : mutex_(&mutex) { mutex_->Lock(); }
        explicit ScopedLock(VelMutex* mutex) : mutex_(mutex) { mutex_->Lock(); }
        ScopedLock(const ScopedLock&) = delete;
        ScopedLock& operator=(const ScopedLock&) = delete;
        ~ScopedLock() { mutex_->Unlock(); }

    private:
        VelMutex* mutex_;
    };

private:
    void Check() const;

    std::recursive_mutex mutex_;
    volatile std::uint32_t valid_ = kAlive;
};
