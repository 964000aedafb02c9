#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "ClientUpdate.h"
#include "ContentMove.h"
#include "UpdaterFiles.h"
#include "platform/FileDurability.h"
#include "platform/SettingsHive.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using Vel::Test::ReadFile;

namespace {

std::string UpdaterPath() {
    const char* build = std::getenv("TRAILSTARTER_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/tools/updater/SolvendaUpdater";
}

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a.dll", "data/b.dll", "data/deep/c.dll"}) {
            dir_.Write(std::string("client/") + name, std::string("old ") + name);
            dir_.Write(std::string("staging/") + name, std::string("new ") + name);
        }
    }
    int Update(std::ostream& report) {
        return Updater::UpdateClient((dir_ / "staging").string(), (dir_ / "client").string(), report);
    }
    bool ClientIsOld() const {
        for (const char* name : {"a.dll", "data/b.dll", "data/deep/c.dll"})
            if (ReadFile(dir_ / "client" / name) != std::string("old ") + name) return false;
        return true;
    }

    Vel::Test::TempDir dir_;
};

// A staged link, or a client path through a link, refuses the whole update before anything is
// written, inside or outside the client folder.
TEST_F(UpdaterTest, LinksRefuseTheUpdateAndNothingIsWritten) {
    dir_.Write("outside/b.dll", "outside");
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    const std::vector<Case> cases = {
        {"staged link", [&] { fs::create_symlink(dir_ / "outside/b.dll", dir_ / "staging/data/link.dll"); }},
        {"client folder link", [&] {
             fs::rename(dir_ / "client/data", dir_ / "client/data.real");
             fs::create_directory_symlink(dir_ / "outside", dir_ / "client/data");
         }},
        {"client file link", [&] {
             fs::remove(dir_ / "client/a.dll");
             fs::create_symlink(dir_ / "outside/b.dll", dir_ / "client/a.dll");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir_.Write("outside/b.dll", "outside");
        c.plant();
        std::ostringstream report;
        EXPECT_EQ(Update(report), Updater::kRefused) << report.str();
        EXPECT_EQ(ReadFile(dir_ / "outside/b.dll"), "outside");
        EXPECT_EQ(ReadFile(dir_ / "client/data/deep/c.dll").rfind("new", 0), std::string::npos);
        for (const auto& e : fs::recursive_directory_iterator(dir_ / "client"))
            EXPECT_EQ(e.path().filename().string().find(".updating"), std::string::npos) << e.path();
        // undo the plant for the next case
        fs::remove_all(dir_ / "staging/data/link.dll");
        if (fs::is_symlink(dir_ / "client/data")) {
            fs::remove(dir_ / "client/data");
            fs::rename(dir_ / "client/data.real", dir_ / "client/data");
        }
        if (fs::is_symlink(dir_ / "client/a.dll")) {
            fs::remove(dir_ / "client/a.dll");
            dir_.Write("client/a.dll", "old a.dll");
        }
    }
    EXPECT_TRUE(ClientIsOld());
}

// Killed between two renames, every client file is whole, old or new; the next run completes
// the update over the stale temporaries.
TEST_F(UpdaterTest, KilledMidwayEveryFileIsOldOrNew) {
    ::setenv("TRAILSTARTER_UPDATER_TEST_FAULT", "pause-after:1", 1);
    Vel::Test::ChildProcess updater(UpdaterPath(), {"--update-client", (dir_ / "staging").string(),
                                                    (dir_ / "client").string()});
    ::unsetenv("TRAILSTARTER_UPDATER_TEST_FAULT");
    ASSERT_EQ(updater.ReadLine(), "paused");
    ::kill(updater.Pid(), SIGKILL);
    updater.Wait();

    int fresh = 0;
    for (const char* name : {"a.dll", "data/b.dll", "data/deep/c.dll"}) {
        const std::string text = ReadFile(dir_ / "client" / name);
        EXPECT_TRUE(text == std::string("old ") + name || text == std::string("new ") + name) << text;
        fresh += text.rfind("new", 0) == 0;
    }
    EXPECT_EQ(fresh, 1);

    std::ostringstream report;
    EXPECT_EQ(Update(report), Updater::kDone) << report.str();
    for (const char* name : {"a.dll", "data/b.dll", "data/deep/c.dll"})
        EXPECT_EQ(ReadFile(dir_ / "client" / name), std::string("new ") + name);
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "client"))
        EXPECT_EQ(e.path().filename().string().find(".updating"), std::string::npos) << e.path();
}

// Whatever the folder walk's order, the launcher's executable is put in place after every
// other file and the root's version number last, so an updater stopped after any rename leaves
// the old version number. A "version.txt" below the root is an ordinary file.
TEST_F(UpdaterTest, VersionNumberIsCommittedLastAndTheLauncherJustBeforeIt) {
    std::vector<std::string> names = {"version.txt", "Trailstarter", "bin32/version.txt", "bin32/SolvendaUpdater"};
    for (int i = 0; i < 24; ++i) names.push_back((i % 2 ? "data/f" : "g") + std::to_string(i) + ".dat");
    for (const std::string& name : names) {
        dir_.Write("client/" + name, "old " + name);
        dir_.Write("staging/" + name, "new " + name);
    }
    const std::size_t total = names.size() + 3;  // with the fixture's three files
    const auto isNew = [&](const std::string& name) { return ReadFile(dir_ / "client" / name) == "new " + name; };
    std::vector<std::size_t> versionAt, launcherAt;
    const Updater::AppliedHook hook = [&](std::size_t applied) {
        if (isNew("version.txt") && versionAt.empty()) versionAt.push_back(applied);
        if (isNew("Trailstarter") && launcherAt.empty()) launcherAt.push_back(applied);
    };
    std::ostringstream report;
    ASSERT_EQ(Updater::UpdateClient((dir_ / "staging").string(), (dir_ / "client").string(), report, hook),
              Updater::kDone)
        << report.str();
    EXPECT_EQ(versionAt, std::vector<std::size_t>{total});
    EXPECT_EQ(launcherAt, std::vector<std::size_t>{total - 1});
    for (const std::string& name : names) EXPECT_TRUE(isNew(name)) << name;
}

TEST_F(UpdaterTest, ExitCodesNeverClashWithTheElevationCommand) {
    struct Case {
        const char* fault;
        std::vector<std::string> args;
        int expected;
    };
    const std::vector<Case> cases = {
        {"exit:3", {"--update-client", "x", "y"}, 3},
        {"exit:126", {"--update-client", "x", "y"}, Updater::kBadCommandLine},
        {"exit:127", {"--update-client", "x", "y"}, Updater::kBadCommandLine},
        {"", {"--update-client", "only-one"}, Updater::kBadCommandLine},
        {"", {"--update-client", "/nonexistent/staging", "/nonexistent/client"}, Updater::kNotApplied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ::setenv("TRAILSTARTER_UPDATER_TEST_FAULT", c.fault, 1);
        Vel::Test::ChildProcess updater(UpdaterPath(), c.args);
        ::unsetenv("TRAILSTARTER_UPDATER_TEST_FAULT");
        EXPECT_EQ(updater.Wait(), c.expected);
    }
}

// The content folder moves below its new parent and the machine hive given on the command line
// records that parent.
TEST_F(UpdaterTest, MoveContentMovesTheFolderAndRecordsItsParent) {
    dir_.Write("old/public_users_data/dynamic_content/a.pak", "pak");
    const std::string hive = (dir_ / "machine.reg").string();
    const std::string key = "SOFTWARE\\Corvane\\Solvenda Frontier";
    Vel::Test::ChildProcess updater(UpdaterPath(), {"--machine-hive", hive, "--move-content", key,
                                                    "PublicUsersDataParentFolder",
                                                    (dir_ / "old/public_users_data").string(),
                                                    (dir_ / "games/public_users_data").string()});
    ASSERT_EQ(updater.Wait(), Updater::kDone);
    EXPECT_EQ(ReadFile(dir_ / "games/public_users_data/dynamic_content/a.pak"), "pak");
    EXPECT_FALSE(fs::exists(dir_ / "old/public_users_data"));
    const auto value = Vel::Platform::SettingsHive(hive, false).GetValue(key, "PublicUsersDataParentFolder");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, (dir_ / "games").string() + '\0');

    // A target inside the source, or one that exists, is refused and changes nothing.
    std::ostringstream report;
    dir_.Write("src/x", "x");
    EXPECT_EQ(Updater::MoveContent(key, "V", (dir_ / "src").string(), (dir_ / "src/inner").string(), hive, report),
              Updater::kMoveFailed);
    EXPECT_EQ(Updater::MoveContent(key, "V", (dir_ / "src").string(), (dir_ / "games").string(), hive, report),
              Updater::kMoveFailed);
    EXPECT_EQ(ReadFile(dir_ / "src/x"), "x");
    EXPECT_FALSE(Vel::Platform::SettingsHive(hive, false).GetValue(key, "V").has_value());
}

// Refuses to rename the content folder as a move to another volume does, so that it is copied.
class OtherVolume : public Vel::Platform::FileDurability {
public:
    int Rename(const char* from, const char* to) override {
        if (fs::path(from).filename() == "public_users_data") {
            errno = EXDEV;
            return -1;
        }
        return FileDurability::Rename(from, to);
    }
};

// The updater elevated for a move to another volume runs as root: the copied tree still belongs
// to the player who owned the folder, every folder and file with its own mode, and the machine
// hive it rewrites stays the player's, with its mode and a lock the player can open.
TEST_F(UpdaterTest, AnElevatedCopyLeavesTheContentAndTheHiveTheirOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "owning files as another user needs root";
    constexpr uid_t kUid = 12345;
    constexpr gid_t kGid = 12346;
    const std::vector<std::pair<std::string, mode_t>> tree = {
        {"", 0750},
        {"dynamic_content", 0775},
        {"dynamic_content/terra_alpha_01.pak", 0664},
        {"dynamic_content/maps", 0700},
        {"dynamic_content/maps/deep.pak", 0600},
        {"readme.txt", 0444},
    };
    const fs::path from = dir_ / "old/public_users_data";
    dir_.Write("old/public_users_data/dynamic_content/terra_alpha_01.pak", "terra");
    dir_.Write("old/public_users_data/dynamic_content/maps/deep.pak", "deep");
    dir_.Write("old/public_users_data/readme.txt", "readme");
    for (const auto& [name, mode] : tree) {
        ASSERT_EQ(::chown((from / name).c_str(), kUid, kGid), 0) << name;
        ASSERT_EQ(::chmod((from / name).c_str(), mode), 0) << name;
    }
    const std::string hive = dir_.Write("machine.reg", "").string();
    const std::string key = "SOFTWARE\\Corvane\\Solvenda Frontier";
    ASSERT_EQ(::chown(hive.c_str(), kUid, kGid), 0);
    ASSERT_EQ(::chmod(hive.c_str(), 0600), 0);

    OtherVolume otherVolume;
    std::ostringstream report;
    {
        Vel::Platform::ScopedFileDurability copying(otherVolume);
        ASSERT_EQ(Updater::MoveContent(key, "PublicUsersDataParentFolder", from.string(),
                                       (dir_ / "games/public_users_data").string(), hive, report),
                  Updater::kDone)
            << report.str();
    }
    EXPECT_NE(report.str().find("copied"), std::string::npos) << report.str();
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(ReadFile(dir_ / "games/public_users_data/dynamic_content/maps/deep.pak"), "deep");
    std::size_t seen = 0;
    for (const auto& [name, mode] : tree) {
        SCOPED_TRACE(name);
        struct stat st {};
        ASSERT_EQ(::lstat((dir_ / "games/public_users_data" / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kUid);
        EXPECT_EQ(st.st_gid, kGid);
        EXPECT_EQ(st.st_mode & 07777, mode);
        ++seen;
    }
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(dir_ / "games/public_users_data")) --seen;
    EXPECT_EQ(seen, 1u);  // nothing but the tree (and its root) was made

    for (const std::string& file : {hive, hive + ".lock"}) {
        SCOPED_TRACE(file);
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kUid);
        EXPECT_EQ(st.st_gid, kGid);
        if (file == hive) {
            EXPECT_EQ(st.st_mode & 07777, 0600u);
        }
    }
    const auto value = Vel::Platform::SettingsHive(hive, false).GetValue(key, "PublicUsersDataParentFolder");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, fs::weakly_canonical(dir_ / "games").string() + '\0');
}

// The folder walk takes "." and ".." nowhere in a path, with or without making folders, even
// where they would lead back inside: nothing is opened and nothing is made, in or outside.
TEST_F(UpdaterTest, TheFolderWalkRefusesDotElementsAnywhere) {
    const Updater::Fd client(::open((dir_ / "client").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(client);
    const std::vector<std::vector<std::string>> paths = {
        {".."}, {"..", "made"}, {"data", "..", "made"}, {"data", "deep", "..", "..", "made"}, {"data", "..."}, {"."},
        {"data", ".", "made"},
    };
    for (const auto& elements : paths) {
        std::string shown;
        for (const std::string& e : elements) shown += "/" + e;
        SCOPED_TRACE(shown);
        for (const bool create : {false, true}) {
            errno = 0;
            const Updater::Fd folder = Updater::OpenFolderBelow(client.Get(), elements, create);
            if (elements.back() == "...") {
                // Three dots are a name like any other.
                EXPECT_EQ(static_cast<bool>(folder), create);
                continue;
            }
            EXPECT_FALSE(folder);
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_FALSE(fs::exists(dir_ / "made"));
        EXPECT_FALSE(fs::exists(dir_ / "client/made"));
        EXPECT_FALSE(fs::exists(dir_ / "client/data/made"));
    }
    EXPECT_TRUE(Updater::OpenFolderBelow(client.Get(), {"data", "deep"}, false));
}

}  // namespace
