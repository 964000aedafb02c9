#pragma once
// Runs the calling (GUI) thread's Qt event loop until done() holds, for at most `limit`; the
// generous limit only matters when the code under test is broken. For tests only.

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>

namespace Vel::Test {

template <class F>
bool PumpUntil(F done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

}  // namespace Vel::Test
