#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "foundation/core/Exception.h"
#include "foundation/files/Paths.h"
#include "foundation/files/Win32File.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

using Vel::Test::TempDir;

namespace {

struct PathCase {
    const char* function;
    std::function<std::string(const std::string&)> apply;
    std::string input;
    std::string expected;
};

}  // namespace

TEST(Paths, TextFunctions) {
    const std::vector<PathCase> cases = {
        {"GetDirectoryPart", GetDirectoryPart, "/games/data", "/games/data"},
        {"GetDirectoryPart", GetDirectoryPart, "/games/a.pak", "/games/"},
        {"GetDirectoryPart", GetDirectoryPart, "a.pak", ""},
        {"GetDirectoryPart", GetDirectoryPart, "data\\sub\\a.pak", "data\\sub\\"},
        {"NormalizePath", NormalizePath, " \\Games\\\\Data\\ ", "/games/data/"},
        {"NormalizePath", NormalizePath, "\\\\Server\\Share", "/server/share"},
        {"NormalizePath", NormalizePath, "A//B///c.PAK", "a/b/c.pak"},
        {"NormalizeDirectoryPath", NormalizeDirectoryPath, "Data\\Sub", "data/sub/"},
        {"ToNativePath", ToNativePath, "/games/", "/games"},
        {"ToNativePath", ToNativePath, "data\\sub\\x.dll", "data/sub/x.dll"},
        {"ToNativePath", ToNativePath, "/", "/"},
        {"WithTrailingSlash", WithTrailingSlash, "", ""},
        {"WithTrailingSlash", WithTrailingSlash, "a\\", "a\\"},
        {"WithTrailingSlash", WithTrailingSlash, "a", "a/"},
        {"WithoutTrailingSeparator", WithoutTrailingSeparator, "a//", "a/"},
        {"GetFileName", GetFileName, "a/b\\c.txt", "c.txt"},
        {"GetFileName", GetFileName, "c.txt", "c.txt"},
        {"RemoveExtension", RemoveExtension, "a/b.c.pak", "a/b.c"},
        {"RemoveExtension", RemoveExtension, "a.d/file", "a.d/file"},
        {"RemoveExtension", RemoveExtension, "a.d\\file", "a.d\\file"},
        {"ReplaceExtension(log)", [](const std::string& p) { return ReplaceExtension(p, "log"); }, "x/a.dmp", "x/a.log"},
        {"ReplaceExtension()", [](const std::string& p) { return ReplaceExtension(p, ""); }, "x/a.dmp", "x/a"},
        {"JoinPath(\"\",)", [](const std::string& p) { return JoinPath("", p); }, "n", "n"},
        {"JoinPath(d,)", [](const std::string& p) { return JoinPath("d", p); }, "n", "d/n"},
        {"JoinPath(d/,)", [](const std::string& p) { return JoinPath("d/", p); }, "n", "d/n"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.apply(c.input), c.expected) << c.function << "(\"" << c.input << "\")";
}

TEST(Paths, AbsoluteAndInsideDirectory) {
    EXPECT_TRUE(IsAbsolutePath("/"));
    EXPECT_TRUE(IsAbsolutePath("\\x"));
    EXPECT_FALSE(IsAbsolutePath("x/y"));
    EXPECT_FALSE(IsAbsolutePath(""));
    EXPECT_EQ(MakeAbsolutePath("/a"), "/a");
    EXPECT_EQ(MakeAbsolutePath("a"), GetCurrentDir(true, false) + "a");

    struct Case {
        const char* folder;
        const char* path;
        bool inside;
    };
    const Case cases[] = {
        {"/games", "/games", false},          {"/games/", "/games", false},
        {"/games", "/games/", false},         {"/games/.", "/games/x/y", true},
        {"/games/", "/games/x", true},        {"/games", "/games/x", true},
        {"/games", "/gamesx/y", false},       {"/games", "/other/x", false},
        {"/games", "/games/../etc/passwd", false}, {"\\games\\", "/games/sub/x", true},
        {"games", "games/x", true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsInsideDirectory(c.folder, c.path), c.inside) << c.folder << " " << c.path;
}

TEST(Paths, FileSystemQueries) {
    TempDir dir;
    const std::string root = dir.Path().string();
    dir.Write("a.bin", std::string("ab\0cd", 5));
    dir.Write("sub/b.bin", "12345");

    EXPECT_TRUE(FileExists(""));
    EXPECT_TRUE(FileExists(root + "/a.bin"));
    EXPECT_TRUE(FileExists(root + "\\sub\\b.bin"));
    EXPECT_FALSE(FileExists(root + "/missing"));
    EXPECT_TRUE(IsDirectory(root + "/sub/"));
    EXPECT_FALSE(IsDirectory(root + "/a.bin"));
    EXPECT_EQ(ReadFileToString(root + "/a.bin"), "ab");
    EXPECT_EQ(ReadFileToString(root + "/missing"), "");
    EXPECT_EQ(FileSize(root + "/a.bin"), 5u);
    EXPECT_THROW(FileSize(root + "/missing"), Vel::Exception);
    std::uint64_t size = 7;
    EXPECT_FALSE(TryFileSize(root + "/missing", size));
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(DirectorySize(root), 10u);
    std::uint64_t ticks = 0;
    EXPECT_TRUE(GetFileCreationTime(root + "/a.bin", ticks));
    EXPECT_GT(ticks, 133000000000000000ULL);  // after 2022

    EXPECT_TRUE(HasAccess(root, kFileWriteAndDeleteChild));
    EXPECT_TRUE(HasAccess(root + "/a.bin", kFileGenericRead));
    EXPECT_FALSE(HasAccess(root + "/missing", kFileGenericRead));
    const DiskSpace space = GetDiskSpace(root);
    EXPECT_GT(space.capacity, 0u);
    EXPECT_GE(space.free, space.available);
    EXPECT_FALSE(GetVolumeRoot(root).empty());
    EXPECT_EQ(GetVolumeRoot(root).back(), '/');
}

TEST(Paths, CreateAndDelete) {
    TempDir dir;
    const std::string root = dir.Path().string();
    EXPECT_TRUE(EnsureParentDirectory(root + "/x/y/file.txt"));
    EXPECT_TRUE(IsDirectory(root + "/x/y"));
    EXPECT_TRUE(EnsureParentDirectory(root + "/z/w/"));
    EXPECT_TRUE(IsDirectory(root + "/z/w"));

    dir.Write("f.txt", "x");
    EXPECT_TRUE(DeleteFileIfPresent(root + "/f.txt"));
    EXPECT_TRUE(DeleteFileIfPresent(root + "/f.txt"));
    EXPECT_FALSE(TryDeleteFile(root + "/f.txt"));
    EXPECT_THROW(DeleteFileIfPresent(root + "/x"), Vel::Exception);  // a folder
    EXPECT_FALSE(TryDeleteFileIfPresent(root + "/x"));

    dir.Write("tree/a/b.txt", "b");
    EXPECT_THROW(RemovePath(root + "/tree", false), Vel::FileException);
    EXPECT_FALSE(TryRemovePath(root + "/tree", false));
    EXPECT_NO_THROW(RemovePath(root + "/tree", true));
    EXPECT_FALSE(FileExists(root + "/tree"));
    EXPECT_NO_THROW(RemovePath(root + "/tree", true));
    EXPECT_NO_THROW(RemovePath("", true));
}

TEST(Paths, KnownFolders) {
    EXPECT_EQ(GetEnvironmentVar("TS_SURELY_UNSET_VARIABLE", "dflt"), "dflt");
    ::setenv("TS_EMPTY_VARIABLE", "", 1);
    EXPECT_EQ(GetEnvironmentVar("TS_EMPTY_VARIABLE", "dflt"), "");
    EXPECT_EQ(GetTempDir().back(), '/');
    EXPECT_FALSE(GetModulePath().empty());
    EXPECT_NE(GetModulePath().back(), '/');
}

TEST(Paths, DocumentsFolderFollowsXdgUserDirs) {
    struct Case {
        const char* userDirs;  // null: no user-dirs.dirs file
        const char* expected;  // below the home folder
    };
    const Case cases[] = {
        {nullptr, "/Documents/"},
        {"# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Eigene Dateien\"\n", "/Eigene Dateien/"},
        {"XDG_DOCUMENTS_DIR=\"$HOME\"\n", "/Documents/"},  // turned off: not the home folder itself
        {"XDG_DOCUMENTS_DIR=\"relative/x\"\n", "/Documents/"},
    };
    for (const Case& c : cases) {
        TempDir home("home");
        if (c.userDirs) home.Write(".config/user-dirs.dirs", c.userDirs);
        Vel::Test::ScopedEnv env;
        env.Set("HOME", home.Path().c_str());
        env.Set("XDG_CONFIG_HOME", nullptr);
        env.Set("XDG_DOCUMENTS_DIR", nullptr);
        const std::string expected = home.Path().string() + c.expected;
        EXPECT_EQ(GetDocumentsFolder(), expected) << (c.userDirs ? c.userDirs : "(no file)");
        EXPECT_TRUE(IsDirectory(expected));
    }
}

TEST(Win32File, OpenAlwaysAppends) {
    TempDir dir;
    const std::string path = dir.Write("ten.bin", "0123456789").string();
    Win32File file(path, Win32File::kRead | Win32File::kWrite, 0, Win32File::kOpenAlways);
    ASSERT_TRUE(file.IsOpen());
    ASSERT_TRUE(file.Write("ab", 2));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(Vel::Test::ReadFile(path), "0123456789ab");
}

TEST(Win32File, ShortReadFailsAndKeepsTheSize) {
    TempDir dir;
    const std::string path = dir.Write("f.bin", std::string(200, 'x')).string();
    Win32File file(path, Win32File::kRead, 0, Win32File::kOpenExisting);
    ASSERT_TRUE(file.IsOpen());
    ASSERT_TRUE(file.Seek(160));
    std::string out;
    EXPECT_FALSE(file.Read(out, 100));
    EXPECT_EQ(out.size(), 100u);
    EXPECT_TRUE(file.Rewind());
    EXPECT_TRUE(file.Read(out, 100));
    EXPECT_EQ(file.GetSize(), 200u);
}

TEST(Win32File, CreationModes) {
    TempDir dir;
    const std::string path = (dir / "new.bin").string();
    Win32File file(path);
    EXPECT_FALSE(file.Open(Win32File::kRead, 0, Win32File::kOpenExisting));
    EXPECT_FALSE(file.Open(Win32File::kRead, 0, Win32File::kTruncateExisting));
    EXPECT_FALSE(file.Open(Win32File::kRead, 0, 9));
    ASSERT_TRUE(file.Open(Win32File::kRead | Win32File::kWrite, 0, Win32File::kCreateNew));
    ASSERT_TRUE(file.Write("abcdef", 6));
    ASSERT_TRUE(file.Seek(2));
    ASSERT_TRUE(file.Truncate());
    EXPECT_EQ(file.GetSize(), 2u);
    EXPECT_FALSE(Win32File(path, Win32File::kWrite, 0, Win32File::kCreateNew).IsOpen());
    {
        Win32File again(path, Win32File::kWrite, 0, Win32File::kCreateAlways);
        EXPECT_TRUE(again.IsOpen());
        EXPECT_EQ(again.GetSize(), 0u);
    }
    EXPECT_TRUE(file.Delete());
    EXPECT_FALSE(FileExists(path));
    EXPECT_TRUE(file.Close());
    EXPECT_TRUE(file.Close());

    Win32File readOnly((dir / "ro.bin").string(), Win32File::kWrite, 0, Win32File::kCreateNew,
                       Win32File::kAttributeReadOnly);
    ASSERT_TRUE(readOnly.IsOpen());
    struct stat st;
    ASSERT_EQ(::stat((dir / "ro.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
}
