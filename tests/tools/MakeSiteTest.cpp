// ctest: threading
#include <gtest/gtest.h>
#include <zip.h>

#include <map>
#include <set>

#include "delivery/net/DownloadManager.h"
#include "delivery/descriptors/FileDescriptors.h"
#include "delivery/update/FileList.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/data/MemoryStream.h"
#include "delivery/net/HttpClient.h"
#include "foundation/data/Sha1.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/IsolatedSettings.h"
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

TEST(MakeSite, WritesTheContentTheClientReadsAndTheServersDeliver) {
    Vel::Test::TempDir dir;
    // Two territories; planet ids run on across them in name order.
    dir.Write("planets/terra/alpha/Maps/Big Map.dat", std::string(20000, 'm') + "end");
    dir.Write("planets/terra/alpha/b.txt", "bee");
    dir.Write("planets/terra/beta/c.bin", std::string(300, '\x01'));
    dir.Write("planets/vega/gamma/d.dds", "dds bytes, compressible compressible compressible");
    dir.Write("planets/vega/gamma/e", "");
    dir.Write("client/Solvenda.bin", "client");
    Vel::Test::ChildProcess make(Vel::Test::ToolPath("make-site"),
                                 {"--client", (dir / "client").string(), "--out", (dir / "site").string(), "--planets",
                                  (dir / "planets").string(), "--server", "http://a.invalid/", "--server",
                                  "http://b.invalid:81/x&y/"});
    ASSERT_EQ(make.Wait(), 0);

    // The tables and the planet list lie in the client's program data folder, so the update
    // delivers them.
    const FileList list = ReadFileList(Vel::Test::ReadFile(dir / "site/client_files.xml"));
    std::vector<std::string> paths;
    for (const auto& f : list.files) paths.push_back(f.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"Solvenda.bin", "program_data/file_descs/terra.xbc",
                                               "program_data/file_descs/vega.xbc", "program_data/planet_list.xbc"}));

    ASSERT_TRUE(Vel::LoadFileDescriptors((dir / "client/program_data").string() + "/"));
    const auto map = Vel::GetFileDescriptors();
    const std::map<std::string, std::string> expected = {
        {"terra/alpha/Maps/Big Map.dat", std::string(20000, 'm') + "end"},
        {"terra/alpha/b.txt", "bee"},
        {"terra/beta/c.bin", std::string(300, '\x01')},
        {"vega/gamma/d.dds", "dds bytes, compressible compressible compressible"},
        {"vega/gamma/e", ""}};
    ASSERT_EQ(map->size(), expected.size());
    std::set<int> codes;
    std::map<std::string, std::string> planetIds;

    EXPECT_EQ(Vel::Test::ReadFile(dir / "site/download_servers.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<downloadServers>\n"
              "  <downloadServer>http://a.invalid/</downloadServer>\n"
              "  <downloadServer>http://b.invalid:81/x&amp;y/</downloadServer>\n</downloadServers>\n");

    // The stand-in serves the stored forms (the list is pointed at it here).
    Standin::ServerConfig config;
    config.root = (dir / "site").string();
    Standin::HttpServer server(config);
    server.Start();
    Vel::GetParameterStore() = Vel::ParameterStore();
    Vel::GetParameterStore().Set("web.update.url", Vel::ParameterType::String, server.BaseUrl());
    dir.Write("site/download_servers.xml", "<downloadServers><downloadServer>" + server.BaseUrl() +
                                               "</downloadServer></downloadServers>");
    Vel::DownloadManager manager([] {});
    for (const auto& [name, content] : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(map->count(name), 1u);
        const Vel::ContentFileInfo& info = map->at(name);
        EXPECT_EQ(info.size, content.size());
        EXPECT_EQ(info.crc, Crc32(content.data(), content.size()));
        const int code = MakeContentFormatCode(info.compression, info.encryption);
        codes.insert(code);
        planetIds[name] = info.planetIds;
        // Fetched as the download threads fetch it, then decoded.
        const auto stored = manager.DownloadFile(name + "_" + std::to_string(info.storedCrc), info.storedSize,
                                                 info.storedCrc, nullptr);
        const auto plain = Vel::ZipManager::ConvertContentFormat(stored->GetData(), stored->GetSize(), code,
                                                                 ContentFormat::kStored, info.crc);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain->GetData()), plain->GetSize()), content);
    }
    Vel::GetParameterStore() = Vel::ParameterStore();
    EXPECT_EQ(codes, (std::set<int>{0, 2, 4, 8}));
    EXPECT_EQ(planetIds["terra/alpha/b.txt"], "1");
    EXPECT_EQ(planetIds["terra/beta/c.bin"], "2");
    EXPECT_EQ(planetIds["vega/gamma/e"], "3");

    // The planet list: territories and their planets with ids, in name order.
    VelMemoryStream planetList;
    ASSERT_TRUE(planetList.LoadFile((dir / "client/program_data/planet_list.xbc").string()));
    planetList.Skip(2);
    std::string text;
    std::vector<std::string> read;
    const std::uint32_t territories = planetList.ReadCompactLength();
    for (std::uint32_t t = 0; t < territories; ++t) {
        const auto id = planetList.ReadUInt16();
        planetList >> text;
        read.push_back(std::to_string(id) + " " + text);
        planetList >> text;
        const std::uint32_t planets = planetList.ReadCompactLength();
        for (std::uint32_t p = 0; p < planets; ++p) {
            const auto pid = planetList.ReadUInt16();
            planetList >> text;
            read.push_back("  " + std::to_string(pid) + " " + text);
            planetList >> text;
        }
    }
    EXPECT_TRUE(planetList.IsGood());
    EXPECT_EQ(planetList.GetRemaining(), 0u);
    EXPECT_EQ(read, (std::vector<std::string>{"1 terra", "  1 alpha", "  2 beta", "2 vega", "  3 gamma"}));
}
