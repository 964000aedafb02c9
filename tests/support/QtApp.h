#pragma once
// The one QApplication of a Qt test executable, made at the first call. It is never destroyed:
// Qt's own statics (the input devices) must not outlive it at exit. Only the main thread, which
// runs the tests, may call it. For tests only.

#include <QApplication>

namespace Vel::Test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "trailstarter-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

}  // namespace Vel::Test
