// ctest: threading
#include <gtest/gtest.h>
#include <zip.h>

#include "delivery/FileList.h"
#include "delivery/HttpClient.h"
#include "foundation/Sha1.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tools/standin-server/StandinServer.h"

namespace {

std::string Unzip(const std::string& zipPath, std::string& name) {
    int error = 0;
    zip_t* zip = zip_open(zipPath.c_str(), ZIP_RDONLY, &error);
    if (!zip) return "<no zip>";
    std::string content;
    if (zip_get_num_entries(zip, 0) == 1) {
        zip_stat_t st;
        zip_stat_index(zip, 0, 0, &st);
        name = st.name;
        content.resize(st.size);
        zip_file_t* f = zip_fopen_index(zip, 0, 0);
        zip_fread(f, content.data(), st.size);
        zip_fclose(f);
    }
    zip_close(zip);
    return content;
}

}  // namespace

TEST(MakeSite, WritesAManifestAndPackagesThatTheStandinServes) {
    Vel::Test::TempDir dir;
    dir.Write("client/Solvenda.bin", std::string(5000, 's'));
    dir.Write("client/data/Sub Dir/x&y.dat", "small & odd");
    dir.Write("client/data/sub dir/new file.bin", "new");
    dir.Write("client/x%41.bin", "a percent sign, not an A");
    dir.Write("client/version.txt", "1.2.3.4");
    Vel::Test::ChildProcess make(Vel::Test::ToolPath("make-site"),
                                 {"--client", (dir / "client").string(), "--out", (dir / "site").string(),
                                  "--version", "1.2.3.4"});
    ASSERT_EQ(make.Wait(), 0);

    const FileList list = ReadFileList(Vel::Test::ReadFile(dir / "site/client_files.xml"));
    EXPECT_EQ(list.version.ToString(), "1.2.3.4");
    ASSERT_EQ(list.files.size(), 5u);
    EXPECT_EQ(list.files[0].path, "Solvenda.bin");
    EXPECT_EQ(list.files[1].path, "data/Sub Dir/x&y.dat");
    EXPECT_EQ(list.files[2].path, "data/sub dir/new file.bin");
    EXPECT_EQ(list.files[4].path, "x%41.bin");

    Standin::ServerConfig config;
    config.root = (dir / "site").string();
    Standin::HttpServer server(config);
    server.Start();
    for (const auto& e : list.files) {
        SCOPED_TRACE(e.path);
        const std::string source = Vel::Test::ReadFile(dir / ("client/" + e.path));
        EXPECT_EQ(e.size, source.size());
        EXPECT_EQ(e.sha1, VelCryptSHA1::Hash(source.data(), source.size()));

        // The package as a download job would fetch it, hashed as it arrives.
        VelURI url(server.BaseUrl(), true);
        url.AppendPath(GetCachedZipPath(e));
        VelCryptSHA1 hash;
        std::uint64_t size = 0;
        bool sent = false;
        ASSERT_TRUE(HttpGet(url, [&](const char* d, std::size_t n) { hash.Update(d, n); size += n; return true; }, {},
                            sent))
            << url.ToString();
        EXPECT_EQ(size, e.size_zip);
        EXPECT_EQ(hash.Final(), e.sha1_zip);

        std::string name;
        EXPECT_EQ(Unzip((dir / ("site/" + GetCachedZipPath(e))).string(), name), source);
        EXPECT_EQ(name, e.path.substr(e.path.find_last_of('/') + 1));
    }
}

TEST(MakeSite, RejectsBadArguments) {
    Vel::Test::TempDir dir;
    Vel::Test::ChildProcess noClient(Vel::Test::ToolPath("make-site"),
                                     {"--client", (dir / "missing").string(), "--out", (dir / "site").string()});
    EXPECT_EQ(noClient.Wait(), 2);
    dir.Write("client/a", "a");
    Vel::Test::ChildProcess badVersion(Vel::Test::ToolPath("make-site"),
                                       {"--client", (dir / "client").string(), "--out", (dir / "site").string(),
                                        "--version", "0.0.0.0"});
    EXPECT_EQ(badVersion.Wait(), 2);
}
