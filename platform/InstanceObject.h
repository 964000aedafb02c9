#pragma once
// Named single-instance objects: a lock file "<name>.lock" in the runtime folder, held with
// flock for as long as the object is held.
//
// Contract:
// - The runtime folder, in this order: $XDG_RUNTIME_DIR; "trailstarter-<uid>" under $TMPDIR
//   (else /tmp), made 0700 when missing; "trailstarter-<uid>" under $XDG_CACHE_HOME (else
//   ~/.cache), made 0700 with its missing parents. A folder is used only when it is a real
//   folder (not a link) owned by the effective user and closed to everyone else, and short
//   enough that a socket in it fits a Unix socket address (kMaxRuntimeDirectoryLength): so a
//   folder that another user made first, or one open to others, is never taken for a running
//   instance; the next one is tried.
// - Create: "New" when we took the lock; "Existed" when another open file holds it; "Failed"
//   when no runtime folder can be used or the file cannot be opened (last error set).
// - An abandoned object (its holder died) is simply free again: the kernel drops the lock.
// - Wait polls for the lock until the time-out (negative: no limit) on the monotonic clock.
// - Exists asks whether someone holds the object without creating the file and without taking
//   the lock even briefly (it reads the kernel's lock table), so it never makes a starting
//   holder fail.
// - Descriptors are opened close-on-exec, so a started program never inherits the lock.
// - One object per instance; not shared between threads without outside locking.

#include <cstddef>
#include <string>

namespace Vel::Platform {

// A runtime folder this long still leaves room in a socket address (107 bytes) for "/", a
// 16-digit name and ".sock".
inline constexpr std::size_t kMaxRuntimeDirectoryLength = 85;

struct RuntimeDirectoryChoice {
    std::string path;     // the folder to use; empty when none can be used
    std::string refused;  // the last folder that could not be used, if any
    int error = 0;        // why (an errno value)
};

// Chooses the runtime folder (see the contract), making it when needed.
RuntimeDirectoryChoice ChooseRuntimeDirectory();
// The chosen folder, or "" when none can be used.
std::string RuntimeDirectory();

class InstanceObject {
public:
    enum class Result { New, Existed, Failed };

    InstanceObject() = default;
    ~InstanceObject();
    InstanceObject(const InstanceObject&) = delete;
    InstanceObject& operator=(const InstanceObject&) = delete;

    Result Create(const std::string& name);
    // After Existed: waits for the holder to let go; true when we hold it then.
    bool Wait(int timeoutMs);
    bool IsHeld() const { return held_; }
    void Release();

    static bool Exists(const std::string& name);
    // "" when no runtime folder can be used.
    static std::string LockPath(const std::string& name);

private:
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace Vel::Platform
