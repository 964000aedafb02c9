#include <gtest/gtest.h>

#include <limits>

#include "delivery/update/FileList.h"
#include "foundation/core/Exception.h"

namespace {

const std::string kSha = "000102030405060708090a0b0c0d0e0f10111213";
const std::string kShaZip = "ffeeddccbbaa99887766554433221100ffeeddcc";

std::string File(const std::string& path, const std::string& sha1 = kSha, const std::string& size = "10",
                 const std::string& sizeZip = "7") {
    return "<file path=\"" + path + "\" sha1=\"" + sha1 + "\" sha1_zip=\"" + kShaZip + "\" size=\"" + size +
           "\" size_zip=\"" + sizeZip + "\"/>";
}

std::string Manifest(const std::string& children, const std::string& version = "1.2.3.4") {
    return "<?xml version=\"1.0\"?>\n<files version=\"" + version + "\" client_crc=\"DEADbeef\" client_crc64=\"0\">" +
           children + "</files>";
}

}  // namespace

TEST(FileList, ManifestTable) {
    struct Case {
        const char* what;
        std::string text;
        bool valid;
        std::size_t entries;
    };
    const Case cases[] = {
        {"valid", Manifest(File("x.exe") + "\n  " + File("data/sub/y.dll")), true, 2},
        {"empty", Manifest(""), true, 0},
        {"upper-case sha1", Manifest(File("x.exe", "000102030405060708090A0B0C0D0E0F10111213")), true, 1},
        {"backslash path", Manifest(File("data\\y.dll")), true, 1},
        {"39 digits", Manifest(File("x.exe", kSha.substr(1))), false, 0},
        {"41 digits", Manifest(File("x.exe", kSha + "0")), false, 0},
        {"non-hex digit", Manifest(File("x.exe", "g" + kSha.substr(1))), false, 0},
        {"version 0.0.0.0", Manifest(File("x.exe"), "0.0.0.0"), false, 0},
        {"version 1.2.3", Manifest(File("x.exe"), "1.2.3"), false, 0},
        {"missing attribute", Manifest("<file path=\"x\" sha1=\"" + kSha + "\" size=\"1\" size_zip=\"1\"/>"), false, 0},
        {"missing root attribute", "<files version=\"1.0.0.0\" client_crc=\"0\"/>", false, 0},
        {"bad crc", "<files version=\"1.0.0.0\" client_crc=\"0x1\" client_crc64=\"0\"/>", false, 0},
        {"crc wider than 32 bits", "<files version=\"1.0.0.0\" client_crc=\"100000000\" client_crc64=\"0\"/>", false, 0},
        {"comment before the root", "<!-- made by hand -->\n" + Manifest(File("x.exe")), true, 1},
        {"processing instruction before the root",
         "<?xml version=\"1.0\"?><?xml-stylesheet href=\"a.xsl\"?>" + Manifest(File("x.exe")), true, 1},
        {"comment after the root", Manifest(File("x.exe")) + "<!-- end -->", true, 1},
        {"second root element", Manifest(File("x.exe")) + "<files/>", false, 0},
        {"comment child", Manifest("<!-- note -->" + File("x.exe")), false, 0},
        {"foreign element", Manifest(File("x.exe") + "<folder/>"), false, 0},
        {"foreign root", "<list version=\"1.0.0.0\" client_crc=\"0\" client_crc64=\"0\"/>", false, 0},
        {"not well-formed", Manifest(File("x.exe")).substr(0, 60), false, 0},
        {"signed size", Manifest(File("x.exe", kSha, "-1")), false, 0},
        {"plus size", Manifest(File("x.exe", kSha, "+1")), false, 0},
        {"size beyond 64 bits", Manifest(File("x.exe", kSha, "18446744073709551616")), false, 0},
        {"empty path", Manifest(File("")), false, 0},
        {"absolute path", Manifest(File("/etc/passwd")), false, 0},
        {"absolute backslash path", Manifest(File("\\etc\\passwd")), false, 0},
        {"parent element", Manifest(File("../x.exe")), false, 0},
        {"inner parent element", Manifest(File("data/../../x.exe")), false, 0},
        {"backslash parent element", Manifest(File("data\\..\\..\\x.exe")), false, 0},
        {"dot element", Manifest(File("./x.exe")), false, 0},
        {"empty element", Manifest(File("data//x.exe")), false, 0},
        {"trailing separator", Manifest(File("data/")), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.valid) {
            FileList list;
            ASSERT_NO_THROW(list = ReadFileList(c.text));
            EXPECT_EQ(list.files.size(), c.entries);
            EXPECT_EQ(list.version.ToString(), "1.2.3.4");
            EXPECT_EQ(list.client_crc, 0xDEADBEEFu);
        } else {
            EXPECT_THROW(ReadFileList(c.text), Vel::Exception);
        }
    }
    const FileList list = ReadFileList(Manifest(File("x.exe") + File("data/sub/y.dll", kSha, "18446744073709551615")));
    EXPECT_EQ(list.files[1].path, "data/sub/y.dll");
    EXPECT_EQ(list.files[1].size, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(list.files[0].sha1_zip.ToHex(), kShaZip);
    EXPECT_EQ(list.files[0].size_zip, 7u);
    EXPECT_FALSE(list.files[0].isNew);
}

TEST(FileList, DeeplyNestedManifestIsRejected) {
    // A server can send any body up to its size cap; a document nested this deeply must fail
    // like any other bad manifest instead of exhausting the stack.
    constexpr int kLevels = 40000;
    std::string deep;
    for (int i = 0; i < kLevels; ++i) deep += "<file>";
    for (int i = 0; i < kLevels; ++i) deep += "</file>";
    EXPECT_THROW(ReadFileList(Manifest(deep)), Vel::Exception);
    EXPECT_THROW(ReadFileList(Manifest(deep.substr(0, deep.size() / 2))), Vel::Exception);  // never closed
}

TEST(FileList, TotalsSaturate) {
    FileList list = ReadFileList(Manifest(File("a", kSha, "18446744073709551615", "18446744073709551615") +
                                          File("b", kSha, "5", "5")));
    EXPECT_EQ(GetTotalZipSize(list), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(GetSelectedSize(list), 0u);
    list.files[1].isNew = true;
    EXPECT_EQ(GetSelectedSize(list), 5u);
    list.files[0].isNew = true;
    EXPECT_EQ(GetSelectedSize(list), std::numeric_limits<std::uint64_t>::max());
}

TEST(FileList, CachedZipPathAndDisplayName) {
    FileListEntry e;
    ASSERT_TRUE(e.sha1.FromHex(kSha));
    e.path = "x.exe";
    EXPECT_EQ(GetCachedZipPath(e), "client_files/x_" + kSha + ".zip");
    e.path = "data\\Sub\\X.tar.dll";
    EXPECT_EQ(GetCachedZipPath(e), "client_files/data/Sub/X.tar_" + kSha + ".zip");

    e.path = "data/" + std::string(30, 'n') + ".pak";  // 39 bytes
    ASSERT_EQ(e.path.size(), 39u);
    EXPECT_EQ(GetDisplayName(e), e.path);
    e.path = "data/" + std::string(31, 'n') + ".pak";  // 40 bytes
    EXPECT_EQ(GetDisplayName(e), std::string(31, 'n') + ".pak");
}
