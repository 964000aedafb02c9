#pragma once
// Keeping the computer awake while the main window shows progress.
//
// Contract:
// - ISleepInhibitor::SetKeepAwake(true) takes an inhibitor when none is held; false releases it.
//   Repeated calls with the same value do nothing.
// - LogindSleepInhibitor asks logind over the system D-Bus for a "sleep:idle" block inhibitor
//   and holds the file descriptor it hands back; closing it releases the block. Without a system
//   bus, or when logind refuses, it does nothing (and tries again at the next request).
// - GUI thread only (it uses the GUI thread's D-Bus connection); the call is bounded by a short
//   D-Bus time-out. The destructor releases a held inhibitor.

namespace Vel {

class ISleepInhibitor {
public:
    virtual ~ISleepInhibitor() = default;
    virtual void SetKeepAwake(bool awake) = 0;
};

class LogindSleepInhibitor final : public ISleepInhibitor {
public:
    LogindSleepInhibitor() = default;
    ~LogindSleepInhibitor() override;
    LogindSleepInhibitor(const LogindSleepInhibitor&) = delete;
    LogindSleepInhibitor& operator=(const LogindSleepInhibitor&) = delete;

    void SetKeepAwake(bool awake) override;
    bool IsHeld() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace Vel
