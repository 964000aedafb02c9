// The entry point of every test executable: headless Qt, then GoogleTest.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (::getenv("DISPLAY") == nullptr && ::getenv("WAYLAND_DISPLAY") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (::geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
