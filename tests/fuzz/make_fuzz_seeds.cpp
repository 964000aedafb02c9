// make_fuzz_seeds OUT: writes the seed inputs that our own writers make into OUT/<target>/ (the
// hive writer, the compact length writer, the stand-in router's replies, the format converter
// and the archive writer). The seeds that come from the stand-in site are made by make-site
// (see make-fuzz-seeds.sh); text seeds are kept by hand in the corpus.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "StandinRouter.h"
#include "delivery/update/RouterProtocol.h"
#include "delivery/archive/Zip.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/data/MemoryStream.h"
#include "platform/SettingsHive.h"

namespace fs = std::filesystem;

namespace {

fs::path out;

void Seed(const std::string& target, const std::string& name, const void* bytes, std::size_t size) {
    fs::create_directories(out / target);
    std::ofstream file(out / target / name, std::ios::binary | std::ios::trunc);
    file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
    Seed(target, name, bytes.data(), bytes.size());
}

void HiveSeeds() {
    using namespace Vel::Platform;
    HiveDocument document;
    const std::string connection = "SOFTWARE\\Corvane\\Solvenda Frontier\\Connection";
    document.SetValue(connection, {"DownloadThreadCount", kHiveTypeDword, std::string("\x0c\0\0\0", 4)});
    document.SetValue(connection, {"DownloadPassword", kHiveTypeString, std::string("s3cr\"et\n\x01", 10)});
    document.SetValue("SOFTWARE\\Corvane\\Solvenda Frontier\\Client", {"Blob", kHiveTypeBinary, "\x01\x02\xff"});
    document.SetValue("SOFTWARE\\Corvane\\Solvenda Frontier\\Client", {"Other", 0xb, std::string(8, '\0')});
    document.keys.push_back({"SOFTWARE\\Corvane\\Empty", {}});
    Seed("fuzz_settings_hive", "hive.reg", SerializeHive(document));
}

void CompactLengthSeeds() {
    int n = 0;
    for (std::uint32_t value : {0u, 3u, 0x7FFFu, 0x8000u, 0x3FFFFFu, 0x400000u, 0x1FFFFFFFu}) {
        VelMemoryStream stream;
        stream.WriteCompactLength(value);
        if (value == 3) stream.Write("abc", 3);
        Seed("fuzz_compact_length", "length" + std::to_string(n++), stream.GetData(), stream.GetSize());
    }
}

void RouterSeeds() {
    VelMemoryStream request;
    Vel::RouterConnector::WriteVersionRequest(request, 0x11223344, 0x55667788, 0x99AABBCC);
    Vel::RouterConnector::ScrambleRouterDatagram(request.GetData(), request.GetSize());
    const Standin::RouterRequest read = Standin::ReadRequest(request.GetData(), request.GetSize());
    for (const char* fault : {"none", "short", "malformed", "bad-magic", "wrong-tag"}) {
        Standin::RouterConfig config;
        config.version[1] = 15;
        config.version[2] = 5;
        config.maintenance = 1;
        if (const auto parsed = Standin::ParseRouterFault(fault)) config.fault = *parsed;
        int n = 0;
        for (const auto& reply : Standin::MakeReplies(config, read))
            Seed("fuzz_router_reply", std::string(fault) + std::to_string(n++), reply.data(), reply.size());
    }
}

void ContentFormatSeeds() {
    const std::string plain = "Solvenda content: the same words again and again and again and again.";
    const std::uint32_t key = Crc32(plain.data(), plain.size());
    for (int code : {ContentFormat::kStored, ContentFormat::kDeflatedRc4, ContentFormat::kStoredRc4,
                     ContentFormat::kDeflated}) {
        const auto stored = Vel::ZipManager::ConvertContentFormat(plain.data(), static_cast<std::uint32_t>(plain.size()),
                                                                  ContentFormat::kStored, code, key);
        std::string toPlain{static_cast<char>(code), static_cast<char>(ContentFormat::kStored)};
        toPlain.append(reinterpret_cast<const char*>(&key), 4);
        toPlain.append(reinterpret_cast<const char*>(stored->GetData()), stored->GetSize());
        Seed("fuzz_content_format", "from" + std::to_string(code), toPlain);
        std::string fromPlain{static_cast<char>(ContentFormat::kStored), static_cast<char>(code)};
        fromPlain.append(reinterpret_cast<const char*>(&key), 4);
        fromPlain += plain;
        Seed("fuzz_content_format", "to" + std::to_string(code), fromPlain);
    }
}

void ZipSeeds(const fs::path& scratch) {
    const std::string path = (scratch / "seed.pak").string();
    fs::remove(path);
    {
        Vel::Zip zip(path, Vel::kZipWritable);
        const std::string a = "first entry";
        const std::string b(200, 'b');
        zip.AddEntry("data/a.txt", ContentFormat::kStored, Crc32(a.data(), a.size()), static_cast<std::uint32_t>(a.size()),
                     static_cast<std::uint32_t>(a.size()), a.data(), static_cast<std::uint32_t>(a.size()));
        const auto deflated = Vel::ZipManager::ConvertContentFormat(b.data(), static_cast<std::uint32_t>(b.size()),
                                                                    ContentFormat::kStored, ContentFormat::kDeflated, 0);
        zip.AddEntry("data/b.bin", ContentFormat::kDeflated, Crc32(b.data(), b.size()), deflated->GetSize(),
                     static_cast<std::uint32_t>(b.size()), deflated->GetData(), deflated->GetSize());
        zip.RemoveEntry("data/a.txt");
        zip.AddEntry("c", ContentFormat::kStored, 0, 0, 0, "", 0);
    }
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Seed("fuzz_zip_open", "written.pak", bytes);
    fs::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds OUT\n");
        return 2;
    }
    out = argv[1];
    fs::create_directories(out);
    HiveSeeds();
    CompactLengthSeeds();
    RouterSeeds();
    ContentFormatSeeds();
    ZipSeeds(out);
    return 0;
}
