// ctest: threading
#include "launcher/dialogs/GuiDialogService.h"

#include "foundation/threads/WaitCancel.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/WaitFor.h"

#include <QCoreApplication>
#include <QObject>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace Vel {
namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "GuiDialogServiceTest";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

using Vel::Test::PumpUntil;

class GuiDialogServiceTest : public ::testing::Test {
protected:
    void SetUp() override { App(); }
    QObject anchor;
    std::shared_ptr<GuiDialogService> service = std::make_shared<GuiDialogService>(&anchor);
};

TEST_F(GuiDialogServiceTest, GuiThreadRunsAtOnceOtherThreadsThroughTheEventLoop) {
    EXPECT_EQ(service->Call([] { return 7; }, 2), 7);

    std::atomic<int> result{-1};
    std::thread::id ranOn;
    TestSupport::BoundedThread worker([&] {
        result = service->Call([&] {
            ranOn = std::this_thread::get_id();
            return 4;
        }, 2);
    });
    EXPECT_TRUE(PumpUntil([&] { return result.load() >= 0; }));
    ASSERT_TRUE(worker.Join());
    EXPECT_EQ(result.load(), 4);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(GuiDialogServiceTest, WaiterGivesUpWhenCancelledOrShutDownAndTheDialogNeverShows) {
    struct Case {
        const char* name;
        bool shutdown;  // else: the waiter's own cancel scope fires
    } cases[] = {{"job aborted", false}, {"launcher shutting down", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto svc = std::make_shared<GuiDialogService>(&anchor);
        std::atomic<bool> aborted{false};
        std::atomic<bool> shown{false};
        std::atomic<int> result{-1};
        TestSupport::BoundedThread worker([&] {
            CancelScope scope([&] { return aborted.load(); });
            result = svc->Call([&] {
                shown = true;
                return 4;
            }, 2);
        });
        // The GUI thread is busy elsewhere (say, joining this worker) and never pumps.
        if (c.shutdown) svc->Shutdown();
        else aborted = true;
        ASSERT_TRUE(worker.Join()) << "the waiter never gave up";
        EXPECT_EQ(result.load(), 2);
        QCoreApplication::processEvents();
        EXPECT_FALSE(shown.load());
    }
    // After shutdown, other threads get Cancel at once.
    service->Shutdown();
    std::atomic<int> late{-1};
    EXPECT_TRUE(TestSupport::BoundedThread([&] { late = service->Call([] { return 4; }, 2); }).Join());
    EXPECT_EQ(late.load(), 2);
}

}  // namespace
}  // namespace Vel
