#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/core/AppEnvironment.h"
#include "foundation/config/SiteName.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/TempDir.h"

using namespace Vel;

TEST(AppEnvironment, ExecutableNameSplitsAtTheFirstUnderscore) {
    struct Case {
        const char* stem;
        const char* base;
        const char* suffix;
    } cases[] = {{"Trailstarter", "Trailstarter", ""},
                 {"Trailstarter_beta_2", "Trailstarter", "_beta_2"},
                 {"_x", "", "_x"}};
    for (const auto& c : cases) {
        std::string base, suffix;
        SplitExeName(c.stem, base, suffix);
        EXPECT_EQ(base, c.base) << c.stem;
        EXPECT_EQ(suffix, c.suffix) << c.stem;
    }
}

TEST(AppEnvironment, ClientVersionFromTheFirstLineOfVersionTxt) {
    Vel::Test::CurrentDirGuard cwd;
    Vel::Test::TempDir install("install");
    std::filesystem::current_path(install.Path());
    struct Case {
        const char* content;  // null: no file
        const char* versionString;
    } cases[] = {
        {"2.3.4.5\n", "2.3.4.5"},
        {"2.3.4.5\r\nsecond line\r\n", "2.3.4.5"},  // Windows line ends still read
        {"2.3.4.5", "2.3.4.5"},
        {"\n2.3.4.5\n", "15.5.0.130973"},
        {"0.0.0.0\n", "15.5.0.130973"},
        {"garbage", "15.5.0.130973"},
        {nullptr, "15.5.0.130973"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(install / "version.txt");
        if (c.content) install.Write("version.txt", c.content);
        LoadClientVersionString();
        EXPECT_EQ(GetVersionString(), c.versionString) << (c.content ? c.content : "(none)");
    }
}

TEST(SiteName, ReadFromSiteTxt) {
    Vel::Test::CurrentDirGuard cwd;
    Vel::Test::TempDir install("install");
    std::filesystem::current_path(install.Path());
    struct Case {
        const char* content;  // null: no file
        const char* site;
        bool production;
    } cases[] = {
        {"tst01", "tst01", false}, {"tst01\n", "", true}, {"pro01", "pro01", true},
        {"", "", true},            {nullptr, "", true},   {"a b", "", true},
        {"local-host2", "local-host2", false},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(install / "site.txt");
        if (c.content) install.Write("site.txt", c.content);
        InitSiteName();
        EXPECT_EQ(GetSiteName(), c.site) << (c.content ? c.content : "(none)");
        EXPECT_EQ(IsProductionSite(), c.production) << (c.content ? c.content : "(none)");
    }
}
