#include "launcher/window/SleepInhibitor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace Vel {
namespace {

// Counts the requests and keeps their answers for the test to give.
class ScriptedBus final : public IInhibitBus {
public:
    explicit ScriptedBus(std::vector<Answer>* pending) : pending_(pending) {}
    void RequestInhibit(Answer answer) override { pending_->push_back(std::move(answer)); }

private:
    std::vector<Answer>* pending_;
};

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A descriptor standing in for logind's; the caller closes the other end.
int NewDescriptor(int& otherEnd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    otherEnd = ends[1];
    return ends[0];
}

// logind refusing: one request per showing of progress, not one per refresh.
TEST(LogindSleepInhibitor, AFailedRequestIsNotRepeatedWithinOneShowing) {
    std::vector<IInhibitBus::Answer> requests;
    LogindSleepInhibitor inhibitor(std::make_unique<ScriptedBus>(&requests));
    for (std::size_t showing = 1; showing <= 2; ++showing) {
        inhibitor.SetKeepAwake(true);
        ASSERT_EQ(requests.size(), showing);
        requests.back()(-1);  // refused
        for (int refresh = 0; refresh < 5; ++refresh) inhibitor.SetKeepAwake(true);
        EXPECT_EQ(requests.size(), showing);
        EXPECT_FALSE(inhibitor.IsHeld());
        for (int refresh = 0; refresh < 2; ++refresh) inhibitor.SetKeepAwake(false);
    }
    EXPECT_EQ(requests.size(), 2u);
}

TEST(LogindSleepInhibitor, HoldsTheGrantedDescriptorUntilProgressIsHidden) {
    std::vector<IInhibitBus::Answer> requests;
    LogindSleepInhibitor inhibitor(std::make_unique<ScriptedBus>(&requests));
    int otherEnd = -1;
    const int fd = NewDescriptor(otherEnd);
    ASSERT_GE(fd, 0);
    inhibitor.SetKeepAwake(true);
    inhibitor.SetKeepAwake(true);  // still waiting for the answer: no second request
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(inhibitor.IsHeld());
    requests[0](fd);
    EXPECT_TRUE(inhibitor.IsHeld());
    EXPECT_TRUE(IsOpen(fd));
    inhibitor.SetKeepAwake(false);
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_FALSE(IsOpen(fd));
    ::close(otherEnd);
}

// An answer for a showing that has ended (or an earlier one) is closed, never held.
TEST(LogindSleepInhibitor, ALateAnswerIsClosed) {
    std::vector<IInhibitBus::Answer> requests;
    LogindSleepInhibitor inhibitor(std::make_unique<ScriptedBus>(&requests));
    int otherA = -1, otherB = -1;
    const int a = NewDescriptor(otherA);
    const int b = NewDescriptor(otherB);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    inhibitor.SetKeepAwake(true);
    inhibitor.SetKeepAwake(false);
    requests[0](a);  // its showing is over
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_FALSE(IsOpen(a));

    inhibitor.SetKeepAwake(true);
    inhibitor.SetKeepAwake(false);
    inhibitor.SetKeepAwake(true);
    ASSERT_EQ(requests.size(), 3u);
    requests[1](b);  // answers the showing before the current one
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_FALSE(IsOpen(b));
    ::close(otherA);
    ::close(otherB);
}

}  // namespace
}  // namespace Vel
