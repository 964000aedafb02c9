// Settings in the per-hive text files: scopes, typed reads, the string bound, writes that keep
// what other writers stored, and the locked atomic rewrite.

#include "foundation/core/Exception.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SiteName.h"
#include "foundation/config/VelRegistryHandler.h"
#include "platform/LastError.h"
#include "platform/SettingsHive.h"
#include "tests/support/HiveEnvironment.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

using Vel::SettingScope;
using Vel::Test::ReadFile;

const std::string kRoot = "SOFTWARE\\Corvane\\Solvenda Frontier";

class RegistrySettingsTest : public ::testing::Test {
protected:
    void TearDown() override { Vel::SetSiteNameForTesting(""); }
    Vel::Test::HiveEnvironment env;
};

TEST_F(RegistrySettingsTest, SettingsPathFollowsSiteName) {
    EXPECT_EQ(Vel::GetSettingsRegistryPath("Connection"), kRoot + "\\Connection");
    EXPECT_EQ(Vel::GetSettingsRegistryPath(""), kRoot);
    Vel::SetSiteNameForTesting("pro01");
    EXPECT_EQ(Vel::GetSettingsRegistryPath("Language"), "SOFTWARE\\Corvane\\pro01\\Language");
}

TEST_F(RegistrySettingsTest, ScopeTwoFallsBackToMachineAndScopeZeroDoesNot) {
    Vel::WriteSettingInt("Connection", "Bandwidth", 250, SettingScope::LocalMachine);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::UserThenMachine), 250);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::CurrentUser), 1000);

    Vel::WriteSettingInt("Connection", "Bandwidth", 40, SettingScope::UserThenMachine);  // goes to the user
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::CurrentUser), 40);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::LocalMachine), 250);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::UserThenMachine), 40);

    EXPECT_TRUE(Vel::RegistrySettingsKeyExists("Connection", "anything", SettingScope::CurrentUser));
    EXPECT_FALSE(Vel::RegistrySettingsKeyExists("Display", "SafeMode", SettingScope::CurrentUser));
}

TEST_F(RegistrySettingsTest, SectionlessSettingLivesOnTheProductKeyOfTheMachine) {
    Vel::VelRegistryHandler(true, kRoot).SetString("PublicUsersDataParentFolder", "/srv/solvenda/");
    EXPECT_EQ(Vel::Settings::PublicUsersDataParentFolder.Read(), "/srv/solvenda/");
    EXPECT_EQ(Vel::Settings::DownloadPassword.ReadOr("fallback"), "fallback");
}

TEST_F(RegistrySettingsTest, BoolReadsSignedValueAboveZero) {
    struct Case {
        std::uint32_t stored;
        bool expected;
    } cases[] = {{0, false}, {1, true}, {2, true}, {0xFFFFFFFFu, false}, {0x7FFFFFFFu, true}};
    Vel::VelRegistryHandler handler(false, kRoot + "\\Display");
    for (const auto& c : cases) {
        ASSERT_TRUE(handler.SetDWORD("SafeMode", c.stored));
        EXPECT_EQ(Vel::ReadSettingBool("Display", "SafeMode", !c.expected, SettingScope::CurrentUser), c.expected)
            << c.stored;
    }
    Vel::WriteSettingBool("Display", "WindowMode", true, SettingScope::CurrentUser);
    std::uint32_t raw = 7;
    ASSERT_TRUE(handler.GetDWORD("WindowMode", raw));
    EXPECT_EQ(raw, 1u);
}

TEST_F(RegistrySettingsTest, StringOfMoreThan4096BytesReadsAsAbsent) {
    const std::string whole(4095, 'x');  // 4096 bytes with its terminator
    Vel::WriteRegistrySettingString("UserInfo", "LastVisitedPlanet", whole, SettingScope::CurrentUser);
    EXPECT_EQ(Vel::ReadRegistrySettingString("UserInfo", "LastVisitedPlanet", "d", SettingScope::CurrentUser), whole);

    Vel::WriteRegistrySettingString("UserInfo", "LastVisitedPlanet", whole + "y", SettingScope::CurrentUser);
    EXPECT_EQ(Vel::ReadRegistrySettingString("UserInfo", "LastVisitedPlanet", "d", SettingScope::CurrentUser), "d");
}

TEST_F(RegistrySettingsTest, StringReadIsBoundedByStoredBytesAndTypeIsNotChecked) {
    // A value without terminator (written by someone else) and a DWORD read as text.
    env.Dir().Write("user/settings.reg", "[" + kRoot + "\\UserInfo]\n"
                                         "\"Raw\"=hex(1):41,42,43\n"
                                         "\"Num\"=dword:00000041\n"
                                         "\"Big\"=hex:01,02,03,04,05\n");
    Vel::VelRegistryHandler handler(false, kRoot + "\\UserInfo");
    std::string text;
    ASSERT_TRUE(handler.GetString("Raw", text));
    EXPECT_EQ(text, "ABC");
    ASSERT_TRUE(handler.GetString("num", text));
    EXPECT_EQ(text, "A");
    std::uint32_t v = 9;
    EXPECT_FALSE(handler.GetDWORD("Big", v));
    EXPECT_EQ(v, 9u);
    ASSERT_TRUE(handler.GetDWORD("Raw", v));
    EXPECT_EQ(v, 0x434241u);
}

TEST_F(RegistrySettingsTest, NamesIgnoreCaseKeepTheirCaseAndListInFileOrder) {
    Vel::WriteSettingInt("UserInfo", "LastPartnerViewID", 3, SettingScope::CurrentUser);
    Vel::WriteRegistrySettingString("userinfo", "LastVisitedTimestamp", "t", SettingScope::CurrentUser);
    Vel::WriteSettingInt("USERINFO", "lastpartnerviewid", 4, SettingScope::CurrentUser);
    EXPECT_EQ(Vel::GetSettingValueNames("UserInfo", SettingScope::CurrentUser),
              (std::vector<std::string>{"LastPartnerViewID", "LastVisitedTimestamp"}));
    EXPECT_EQ(Vel::ReadSettingInt("UserInfo", "LastPartnerViewID", 0, SettingScope::CurrentUser), 4);
    EXPECT_THROW(Vel::GetSettingValueNames("Nowhere", SettingScope::CurrentUser), Vel::Exception);

    struct stat st {};
    ASSERT_EQ(::stat(env.UserHive().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the user hive holds the download password
}

TEST_F(RegistrySettingsTest, WriteKeepsValuesItDoesNotKnowAndEmptyKeys) {
    env.Dir().Write("user/settings.reg", "; edited by hand\n"
                                         "[SOFTWARE\\Corvane\\Solvenda Frontier\\Client]\n"
                                         "\"Gamma\"=hex(b):01,00,00,00,00,00,00,00\n"
                                         "\"Quote\"=\"a \\\"b\\\"\\\\c\\n\"\n"
                                         "[SOFTWARE\\Corvane\\Empty]\n");
    Vel::WriteSettingInt("Connection", "DownloadThreadCount", 6, SettingScope::CurrentUser);

    auto doc = Vel::Platform::ParseHive(ReadFile(env.UserHive()));
    ASSERT_TRUE(doc);
    const auto* client = doc->FindKey(kRoot + "\\Client");
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(client->values.size(), 2u);
    EXPECT_EQ(client->values[0].type, 0xBu);
    EXPECT_EQ(client->values[0].data, std::string("\x01\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(client->values[1].data, std::string("a \"b\"\\c\n\0", 9));
    EXPECT_TRUE(Vel::VelRegistryHandler(false, "SOFTWARE\\Corvane\\Empty").KeyExists());
    EXPECT_TRUE(Vel::VelRegistryHandler(false, "software\\corvane").KeyExists());
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "DownloadThreadCount", 12, SettingScope::CurrentUser), 6);
}

TEST_F(RegistrySettingsTest, UnparsableFileIsLeftAsItIs) {
    const std::string broken = "[" + kRoot + "\\Connection]\n\"Bandwidth\"=dword:12\nnot a setting\n";
    env.Dir().Write("user/settings.reg", broken);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::CurrentUser), 1000);
    EXPECT_THROW(Vel::WriteSettingInt("Connection", "Bandwidth", 5, SettingScope::CurrentUser), Vel::Exception);
    EXPECT_EQ(ReadFile(env.UserHive()), broken);
}

TEST_F(RegistrySettingsTest, KeyPathWithAControlCharacterIsRefusedAndTheFileKept) {
    // Value names are escaped in the file, key paths are not: such a path would make the whole
    // file unreadable, and every later write would fail.
    Vel::WriteSettingInt("Connection", "Bandwidth", 5, SettingScope::CurrentUser);
    const std::string before = ReadFile(env.UserHive());
    Vel::Platform::SettingsHive hive(env.UserHive(), true);
    const std::string bad[] = {"A\nB", "A\rB", std::string("A\0B", 3), "A\x01", "\x7f", "A\tB", "x]\n[y"};
    for (const auto& part : bad) {
        SCOPED_TRACE(::testing::PrintToString(part));
        Vel::Platform::SetLastError(0);
        EXPECT_FALSE(hive.SetValue(kRoot + "\\" + part, "v", Vel::Platform::kHiveTypeDword, std::string(4, '\0')));
        EXPECT_EQ(Vel::Platform::GetLastError(), unsigned{EINVAL});
        EXPECT_EQ(ReadFile(env.UserHive()), before);
    }
    EXPECT_THROW(Vel::WriteSettingInt("Bad\nSection", "Bandwidth", 6, SettingScope::CurrentUser), Vel::Exception);
    EXPECT_THROW(Vel::WriteRegistrySettingString("Bad\rSection", "UserName", "x", SettingScope::CurrentUser),
                 Vel::Exception);
    EXPECT_EQ(ReadFile(env.UserHive()), before);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::CurrentUser), 5);
    Vel::WriteSettingInt("Connection", "Bandwidth", 7, SettingScope::CurrentUser);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 1000, SettingScope::CurrentUser), 7);
}

TEST(SettingsHiveFormatTest, RejectsMalformedLines) {
    const char* bad[] = {
        "\"orphan\"=dword:1\n",               // value before any key
        "[K]\n\"a\"=dword:123456789\n",       // more than 8 digits
        "[K]\n\"a\"=dword:\n",                // no digits
        "[K]\n\"a\"=\"unterminated\n",        // open quote
        "[K]\n\"a\"=\"bad \\q escape\"\n",    // unknown escape
        "[K]\n\"a\"=hex:1,2\n",               // single digits
        "[K]\n\"a\"=sz:text\n",               // unknown form
        "[K\n",                               // no closing bracket
        "[]\n",                               // empty key
        "[K]\na=dword:1\n",                   // name without quotes
    };
    for (const char* text : bad) EXPECT_FALSE(Vel::Platform::ParseHive(text)) << text;
    auto ok = Vel::Platform::ParseHive("\n  ; note\r\n# note\n [K] \r\n \"\" = \"\" \n\"b\"=hex:\n");
    ASSERT_TRUE(ok);
    ASSERT_EQ(ok->keys.size(), 1u);
    EXPECT_EQ(ok->keys[0].values.size(), 2u);
}

TEST(SettingsHiveFormatTest, SerializedFormRoundTrips) {
    Vel::Platform::HiveDocument doc;
    doc.SetValue("A\\B", {"ctl\x01\t", Vel::Platform::kHiveTypeString, std::string("x\x7f\r\0", 4)});
    doc.SetValue("A\\B", {"n", Vel::Platform::kHiveTypeDword, std::string("\x0c\0\0\x80", 4)});
    doc.SetValue("A\\B", {"embedded", Vel::Platform::kHiveTypeString, std::string("a\0b\0", 4)});
    doc.SetValue("C", {"short", Vel::Platform::kHiveTypeDword, "\x01"});
    std::string text = Vel::Platform::SerializeHive(doc);
    EXPECT_NE(text.find("\"n\"=dword:8000000c"), std::string::npos) << text;
    auto back = Vel::Platform::ParseHive(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(Vel::Platform::SerializeHive(*back), text);
    ASSERT_EQ(back->keys.size(), 2u);
    EXPECT_EQ(back->keys[0].values[0].name, "ctl\x01\t");
    EXPECT_EQ(back->keys[0].values[0].data, std::string("x\x7f\r\0", 4));
    EXPECT_EQ(back->keys[0].values[2].data, std::string("a\0b\0", 4));
    EXPECT_EQ(back->keys[1].values[0].data, "\x01");
}

TEST_F(RegistrySettingsTest, WriteToReadOnlyMachineHiveFails) {
    Vel::WriteSettingInt("Connection", "Bandwidth", 1, SettingScope::LocalMachine);
    ASSERT_EQ(::chmod(env.MachineHive().parent_path().c_str(), 0555), 0);
    ASSERT_EQ(::chmod(env.Dir().Path().c_str(), 0755), 0);
    // root writes anywhere, so the write is tried by an unprivileged child in that case.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        try {
            Vel::WriteSettingInt("Connection", "Bandwidth", 2, SettingScope::LocalMachine);
        } catch (const Vel::Exception&) {
            ::_exit(0);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::chmod(env.MachineHive().parent_path().c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Vel::ReadSettingInt("Connection", "Bandwidth", 0, SettingScope::LocalMachine), 1);
}

// Run as root for a player (the elevated updater), a rewrite leaves the player's hive and its
// lock the player's, with the hive's mode; a new hive takes its folder's owner. The temporary
// file is made afresh, never written through a link another user left at its name.
TEST_F(RegistrySettingsTest, ARewriteAsRootKeepsTheOwnerAndModeOfTheFileAndItsLock) {
    if (::geteuid() != 0) GTEST_SKIP() << "owning files as another user needs root";
    constexpr uid_t kUid = 12345;
    constexpr gid_t kGid = 12346;
    struct Case {
        const char* name;
        bool exists;
        bool privateFile;
        mode_t mode;
        mode_t expected;
        bool rootLockLeftBehind;
    };
    const Case cases[] = {
        {"machine hive 0600", true, false, 0600, 0600, false},
        {"machine hive 0640, a root lock left behind", true, false, 0640, 0640, true},
        {"new machine hive in the player's folder", false, false, 0, 0644, false},
        {"user hive made 0644 by hand", true, true, 0644, 0600, false},
    };
    const std::filesystem::path victim = env.Dir().Write("victim", "victim");
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path folder = env.Dir() / ("player" + std::to_string(i++));
        std::filesystem::create_directories(folder);
        ASSERT_EQ(::chown(folder.c_str(), kUid, kGid), 0);
        const std::filesystem::path file = folder / "settings.reg";
        if (c.exists) {
            env.Dir().Write(file.lexically_relative(env.Dir().Path()).string(), "[" + kRoot + "]\n\"Old\"=dword:00000001\n");
            ASSERT_EQ(::chown(file.c_str(), kUid, kGid), 0);
            ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
        }
        if (c.rootLockLeftBehind) env.Dir().Write(file.lexically_relative(env.Dir().Path()).string() + ".lock", "");
        std::filesystem::create_symlink(victim, file.string() + ".tmp");

        ASSERT_TRUE(Vel::Platform::SettingsHive(file, c.privateFile)
                        .SetValue(kRoot, "New", Vel::Platform::kHiveTypeDword, std::string("\x02\0\0\0", 4)));
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kUid);
        EXPECT_EQ(st.st_gid, kGid);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
        ASSERT_EQ(::stat((file.string() + ".lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kUid);
        EXPECT_EQ(st.st_gid, kGid);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(file.string() + ".tmp")));
        ASSERT_EQ(::stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(ReadFile(victim), "victim");
        const auto value = Vel::Platform::SettingsHive(file, c.privateFile).GetValue(kRoot, "New");
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->data, std::string("\x02\0\0\0", 4));
        EXPECT_EQ(Vel::Platform::SettingsHive(file, c.privateFile).GetValue(kRoot, "Old").has_value(), c.exists);
    }

    // Not root, an owner that cannot be kept is no error: a player's write to a hive that root
    // made in the player's folder goes through, and the file is the player's from then on.
    const std::filesystem::path shared = env.Dir().Write("shared/settings.reg", "[" + kRoot + "]\n");
    ASSERT_EQ(::chmod(shared.parent_path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(env.Dir().Path().c_str(), 0755), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        ::_exit(Vel::Platform::SettingsHive(shared, false).SetValue(kRoot, "New", Vel::Platform::kHiveTypeDword,
                                                                   std::string(4, '\0'))
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    ASSERT_EQ(::stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(RegistrySettingsTest, TwoProcessesWritingAtOnceBothKeepTheirValues) {
    constexpr int kWrites = 40;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            try {
                for (int i = 0; i < kWrites; ++i)
                    Vel::WriteSettingInt("P" + std::to_string(c), "V" + std::to_string(i), i * 10 + c,
                                         SettingScope::CurrentUser);
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < kWrites; ++i)
            EXPECT_EQ(Vel::ReadSettingInt("P" + std::to_string(c), "V" + std::to_string(i), -1,
                                          SettingScope::CurrentUser),
                      i * 10 + c);
}

}  // namespace

namespace {

TEST(SettingsHivePathTest, EnvironmentSelectsTheHiveFiles) {
    Vel::Test::HiveEnvironment env;  // restores the variables afterwards
    const char* oldXdg = ::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const char* oldHome = ::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";

    EXPECT_EQ(Vel::Platform::SettingsHive::UserHivePath(), env.UserHive());
    EXPECT_EQ(Vel::Platform::SettingsHive::MachineHivePath(), env.MachineHive());
    ::unsetenv("TRAILSTARTER_USER_HIVE");
    ::unsetenv("TRAILSTARTER_MACHINE_HIVE");
    ::setenv("HOME", "/home/player", 1);
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(Vel::Platform::SettingsHive::UserHivePath(), "/cfg/Corvane/settings.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    EXPECT_EQ(Vel::Platform::SettingsHive::UserHivePath(), "/home/player/.config/Corvane/settings.reg");
    EXPECT_EQ(Vel::Platform::SettingsHive::MachineHivePath(), "/etc/Corvane/settings.reg");

    auto restore = [](const char* name, const char* old, const std::string& saved) {
        if (old != nullptr)
            ::setenv(name, saved.c_str(), 1);
        else
            ::unsetenv(name);
    };
    restore("XDG_CONFIG_HOME", oldXdg, savedXdg);
    restore("HOME", oldHome, savedHome);
}

}  // namespace
