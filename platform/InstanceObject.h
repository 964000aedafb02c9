#pragma once
// Named single-instance objects: a lock file "<name>.lock" in the runtime folder, held with
// flock for as long as the object is held.
//
// Contract:
// - Create: "New" when we took the lock; "Existed" when another open file holds it; "Failed"
//   when the folder or file cannot be opened (last error set).
// - An abandoned object (its holder died) is simply free again: the kernel drops the lock.
// - Wait polls for the lock until the time-out (negative: no limit) on the monotonic clock.
// - Exists asks whether someone holds the object without creating the file and without taking
//   the lock even briefly (it reads the kernel's lock table), so it never makes a starting
//   holder fail.
// - Descriptors are opened close-on-exec, so a started program never inherits the lock.
// - One object per instance; not shared between threads without outside locking.

#include <string>

namespace Vel::Platform {

// $XDG_RUNTIME_DIR when set and usable, else a per-user 0700 folder under the temp folder.
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
    static std::string LockPath(const std::string& name);

private:
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace Vel::Platform
