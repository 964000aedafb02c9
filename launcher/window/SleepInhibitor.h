#pragma once
// Keeping the computer awake while the main window shows progress.
//
// Contract:
// - ISleepInhibitor::SetKeepAwake(true) wants an inhibitor, false releases it. Repeated calls
//   with the same value do nothing.
// - LogindSleepInhibitor asks for a "sleep:idle" block inhibitor once per showing of progress
//   (each change from false to true), never again at the refreshes in between: without a
//   system bus, or when logind refuses, the block is simply not held until the next showing.
//   The request goes through an IInhibitBus (by default logind over the system D-Bus,
//   asynchronously) and never blocks the calling thread. It holds the file descriptor the
//   answer hands over; closing it releases the block. An answer that comes after progress was
//   hidden again, or for an earlier showing, is closed at once.
// - GUI thread only: the requests and their answers run on the GUI thread's event loop. No
//   lock. The destructor releases a held inhibitor and drops answers still to come.

#include <functional>
#include <memory>

namespace Vel {

class ISleepInhibitor {
public:
    virtual ~ISleepInhibitor() = default;
    virtual void SetKeepAwake(bool awake) = 0;
};

// The bus side: one request for a block inhibitor.
class IInhibitBus {
public:
    using Answer = std::function<void(int fd)>;
    virtual ~IInhibitBus() = default;
    // Starts a request and returns without waiting for it. `answer` is called once, later from
    // the calling thread's event loop or at once when the bus is not there, with a descriptor
    // the receiver then owns, or -1 on failure; never after this object is destroyed.
    virtual void RequestInhibit(Answer answer) = 0;
};

// logind's Inhibit over the system D-Bus, as an asynchronous call with a 2 s time-out.
std::unique_ptr<IInhibitBus> MakeLogindInhibitBus();

class LogindSleepInhibitor final : public ISleepInhibitor {
public:
    // Null: MakeLogindInhibitBus().
    explicit LogindSleepInhibitor(std::unique_ptr<IInhibitBus> bus = nullptr);
    ~LogindSleepInhibitor() override;
    LogindSleepInhibitor(const LogindSleepInhibitor&) = delete;
    LogindSleepInhibitor& operator=(const LogindSleepInhibitor&) = delete;

    void SetKeepAwake(bool awake) override;
    bool IsHeld() const { return fd_ >= 0; }

private:
    void OnAnswer(unsigned showing, int fd) noexcept;

    std::unique_ptr<IInhibitBus> bus_;
    int fd_ = -1;
    bool wanted_ = false;
    unsigned showing_ = 0;  // counts the showings; an answer for an earlier one is stale
};

}  // namespace Vel
