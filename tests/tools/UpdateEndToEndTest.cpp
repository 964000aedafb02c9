// The whole road of an update with the launcher's own executable, headless: it starts in an
// outdated installation, updates it from the stand-in server through the updater, and, as its
// own file was in the update, restarts itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"
#include "tools/standin-server/StandinServer.h"

namespace {

namespace fs = std::filesystem;

std::string BuildDir() {
    const char* build = std::getenv("TRAILSTARTER_BUILD_DIR");
    return build != nullptr ? build : ".";
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void MakeExecutable(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

TEST(UpdateEndToEnd, TheLauncherUpdatesItsInstallationAndRestartsItself) {
    Vel::Test::TempDir dir("e2e");
    const fs::path install = dir / "install";
    const fs::path restartRecord = dir / "restart.txt";

    // The site: an outdated file, a new file in a folder whose name has a space, and the next
    // launcher, which only records how it was started.
    dir.Write("site-client/data/a.bin", std::string(40000, 'n'));
    dir.Write("site-client/new folder/b.bin", "brand new");
    dir.Write("site-client/version.txt", "1.0.0.1");
    dir.Write("site-client/Trailstarter", "#!/bin/sh\necho \"$@\" > '" + restartRecord.string() + "'\n");
    MakeExecutable(dir / "site-client/Trailstarter");
    fs::create_directories(dir / "site-client/bin32");
    fs::copy_file(BuildDir() + "/tools/updater/SolvendaUpdater", dir / "site-client/bin32/SolvendaUpdater");
    {
        Vel::Test::ChildProcess make(Vel::Test::ToolPath("make-site"), {"--client", (dir / "site-client").string(),
                                                                        "--out", (dir / "site").string()});
        ASSERT_EQ(make.Wait(), 0);
    }

    // The installation, one version behind.
    fs::create_directories(install / "bin32");
    fs::create_directories(dir / "tmp");
    fs::copy_file(BuildDir() + "/launcher/Trailstarter", install / "Trailstarter");
    fs::copy_file(BuildDir() + "/tools/updater/SolvendaUpdater", install / "bin32/SolvendaUpdater");
    dir.Write("install/data/a.bin", std::string(40000, 'o'));
    dir.Write("install/version.txt", "1.0.0.0");

    Standin::ServerConfig config;
    config.root = (dir / "site").string();
    Standin::HttpServer server(config);
    server.Start();

    // A player who chose English before: no language dialog ("--quiet" skips the terms).
    const auto& language = Vel::Settings::Language;
    Vel::WriteSettingInt(language.section, language.name, 1, language.scope);

    Vel::Test::ScopedEnv env;
    env.Set("TMPDIR", (dir / "tmp").c_str());
    env.Set("QT_QPA_PLATFORM", "offscreen");
    // The browser engine's own library frees some objects through a base of another size;
    // in a sanitizer build of the launcher that report is about the engine, not about us.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":new_delete_type_mismatch=0";
    env.Set("ASAN_OPTIONS", asanOptions.c_str());
    Vel::Test::ChildProcess launcher((install / "Trailstarter").string(),
                                     {"--quiet", "web.update.url=" + server.BaseUrl()}, install.string());
    const pid_t pid = launcher.Pid();
    EXPECT_EQ(launcher.Wait(std::chrono::seconds(120)), 0);

    ASSERT_TRUE(TestSupport::WaitFor([&] { return !ReadAll(restartRecord).empty(); }));
    EXPECT_EQ(ReadAll(restartRecord),
              "--quiet --wait-for-parent " + std::to_string(pid) + " web.update.url=" + server.BaseUrl() + "\n");
    for (const char* path : {"data/a.bin", "new folder/b.bin", "version.txt", "Trailstarter", "bin32/SolvendaUpdater"})
        EXPECT_EQ(ReadAll(install / path), ReadAll(dir / "site-client" / path)) << path;
    for (const auto& entry : fs::directory_iterator(dir / "tmp"))  // the staging folder is gone
        EXPECT_EQ(entry.path().filename().string().find("SF_Update"), std::string::npos) << entry.path();
}

}  // namespace
