// ctest: threading
// The shared cache of parsed settings hives: an unchanged file is parsed once for every object
// that reads it, any change by another writer is seen, and our own writes replace the copy.
#include "platform/LastError.h"
#include "platform/SettingsHive.h"
#include "tests/support/HiveEnvironment.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Vel::Platform::HiveFileParseCount;
using Vel::Platform::HiveRoot;
using Vel::Platform::SettingsHive;

const std::string kKey = "SOFTWARE\\Corvane\\Solvenda Frontier\\Connection";

std::int64_t WallNowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The same length for every value below 16^8, so that only the content tells versions apart.
std::string HiveText(std::uint32_t bandwidth) {
    char line[64];
    std::snprintf(line, sizeof line, "\"Bandwidth\"=dword:%08x\n", bandwidth);
    return "[" + kKey + "]\n" + line;
}

std::optional<std::uint32_t> Bandwidth() {
    auto value = SettingsHive::ForRoot(HiveRoot::CurrentUser).GetValue(kKey, "bandwidth");
    if (!value || value->data.size() != 4) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(value->data[i]);
    return v;
}

void SetModified(const std::filesystem::path& file, std::int64_t ns) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

std::int64_t ModifiedNs(const std::filesystem::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0);
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

class SettingsHiveCacheTest : public ::testing::Test {
protected:
    // Files made by the test are "long settled" unless a test moves the clock.
    void SetUp() override { SetClockAhead(3600LL * 1000000000); }
    void TearDown() override { Vel::Platform::SetHiveClockForTesting(nullptr); }
    void SetClockAhead(std::int64_t ns) {
        Vel::Platform::SetHiveClockForTesting([ns] { return WallNowNs() + ns; });
    }

    Vel::Test::HiveEnvironment env;
};

TEST_F(SettingsHiveCacheTest, UnchangedHiveIsParsedOnceForEveryObjectThatReadsIt) {
    env.Dir().Write("user/settings.reg", HiveText(7) + "[" + kKey + "\\Deeper\\Still]\n\"Name\"=\"x\"\n");
    const auto before = HiveFileParseCount();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Bandwidth(), 7u);
        const auto hive = SettingsHive::ForRoot(HiveRoot::CurrentUser);
        EXPECT_TRUE(hive.KeyExists(kKey + "\\DEEPER"));  // a parent of a stored key
        EXPECT_FALSE(hive.KeyExists(kKey + "\\Deep"));
        EXPECT_EQ(hive.GetValueNames(kKey + "\\Deeper\\Still"), std::vector<std::string>{"Name"});
    }
    EXPECT_EQ(HiveFileParseCount() - before, 1u);
}

TEST_F(SettingsHiveCacheTest, ChangesByOtherWritersAreSeen) {
    const auto file = env.UserHive();
    env.Dir().Write("user/settings.reg", HiveText(1));
    ASSERT_EQ(Bandwidth(), 1u);

    struct Change {
        const char* what;
        std::function<void()> apply;
    };
    const Change changes[] = {
        {"replaced by a rename, same size",
         [&] {
             env.Dir().Write("user/next.reg", HiveText(2));
             std::filesystem::rename(env.UserHive().parent_path() / "next.reg", file);
         }},
        {"rewritten in place, same size, a later modification time",
         [&] {
             const auto old = ModifiedNs(file);
             env.Dir().Write("user/settings.reg", HiveText(3));
             SetModified(file, old + 1);
         }},
        {"grown in place, modification time put back",
         [&] {
             const auto old = ModifiedNs(file);
             env.Dir().Write("user/settings.reg", HiveText(4) + "\n");
             SetModified(file, old);
         }},
    };
    std::uint32_t expected = 2;
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        change.apply();
        const auto before = HiveFileParseCount();
        EXPECT_EQ(Bandwidth(), expected);
        EXPECT_EQ(Bandwidth(), expected);
        EXPECT_EQ(HiveFileParseCount() - before, 1u);
        ++expected;
    }

    std::filesystem::remove(file);
    Vel::Platform::SetLastError(0);
    EXPECT_EQ(Bandwidth(), std::nullopt);
    EXPECT_EQ(Vel::Platform::GetLastError(), unsigned{ENOENT});
    EXPECT_FALSE(SettingsHive::ForRoot(HiveRoot::CurrentUser).KeyExists(kKey));
}

// Within one tick of the file system's clock a same-size rewrite keeps every time stamp, so a
// copy read soon after a change is not trusted until the change has settled.
TEST_F(SettingsHiveCacheTest, RecentlyChangedFileIsParsedAgainUntilItSettles) {
    env.Dir().Write("user/settings.reg", HiveText(5));
    SetClockAhead(0);
    const auto before = HiveFileParseCount();
    EXPECT_EQ(Bandwidth(), 5u);
    EXPECT_EQ(Bandwidth(), 5u);
    EXPECT_EQ(HiveFileParseCount() - before, 2u);
    SetClockAhead(2LL * 1000000000);
    EXPECT_EQ(Bandwidth(), 5u);  // read at a settled moment: kept from now on
    EXPECT_EQ(Bandwidth(), 5u);
    EXPECT_EQ(HiveFileParseCount() - before, 3u);

    // A file stamped ahead of the clock is no recent change: kept at once.
    env.Dir().Write("user/settings.reg", HiveText(6));
    SetClockAhead(-60LL * 1000000000);
    const auto ahead = HiveFileParseCount();
    EXPECT_EQ(Bandwidth(), 6u);
    EXPECT_EQ(Bandwidth(), 6u);
    EXPECT_EQ(HiveFileParseCount() - ahead, 1u);
}

TEST_F(SettingsHiveCacheTest, OwnWritesReplaceTheCachedCopyAndKeepOtherWritersValues) {
    env.Dir().Write("user/settings.reg", HiveText(1));
    ASSERT_EQ(Bandwidth(), 1u);
    // Another process changes the file after we cached it; our write must build on its version.
    env.Dir().Write("user/next.reg", "[" + kKey + "]\n\"Other\"=\"theirs\"\n");
    std::filesystem::rename(env.UserHive().parent_path() / "next.reg", env.UserHive());

    SettingsHive writer(env.UserHive(), true);
    ASSERT_TRUE(writer.SetValue(kKey, "Bandwidth", Vel::Platform::kHiveTypeDword, std::string("\x09\0\0\0", 4)));
    const auto afterWrite = HiveFileParseCount();
    EXPECT_EQ(Bandwidth(), 9u);
    auto other = SettingsHive::ForRoot(HiveRoot::CurrentUser).GetValue(kKey, "Other");
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->data, std::string("theirs\0", 7));
    EXPECT_EQ(HiveFileParseCount(), afterWrite);  // our write left its own copy behind
}

TEST_F(SettingsHiveCacheTest, UnparsableFileIsParsedOnceAndReadsAsEmpty) {
    env.Dir().Write("user/settings.reg", HiveText(1) + "not a setting\n");
    const auto before = HiveFileParseCount();
    for (int i = 0; i < 5; ++i) {
        Vel::Platform::SetLastError(0);
        EXPECT_EQ(Bandwidth(), std::nullopt);
        EXPECT_EQ(Vel::Platform::GetLastError(), unsigned{EBADMSG});
        EXPECT_FALSE(SettingsHive::ForRoot(HiveRoot::CurrentUser).KeyExists(kKey));
    }
    EXPECT_EQ(HiveFileParseCount() - before, 1u);
    SettingsHive writer(env.UserHive(), true);
    EXPECT_FALSE(writer.SetValue(kKey, "Bandwidth", Vel::Platform::kHiveTypeDword, std::string(4, '\0')));
}

// Readers on several threads share the cache while one thread writes: every read sees one of
// the written versions, and never an older one than it saw before.
TEST_F(SettingsHiveCacheTest, ReadersOnSeveralThreadsWhileOneWrites) {
    constexpr std::uint32_t kLast = 40;
    env.Dir().Write("user/settings.reg", HiveText(0));
    std::atomic<bool> failed{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            std::uint32_t seen = 0;
            for (int i = 0; i < 200; ++i) {
                const auto v = Bandwidth();
                if (!v || *v < seen || *v > kLast) failed = true;
                if (v) seen = *v;
            }
        });
    }
    SettingsHive writer(env.UserHive(), true);
    for (std::uint32_t v = 1; v <= kLast; ++v) {
        std::string data(4, '\0');
        data[0] = static_cast<char>(v);
        EXPECT_TRUE(writer.SetValue(kKey, "Bandwidth", Vel::Platform::kHiveTypeDword, data));
    }
    for (auto& reader : readers) reader.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(Bandwidth(), kLast);
}

}  // namespace
