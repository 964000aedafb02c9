#include "tools/make-site/ContentSite.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "delivery/descriptors/FileDescriptors.h"
#include "delivery/update/FileList.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/data/PakNames.h"
#include "foundation/files/Paths.h"
#include "foundation/core/StringUtils.h"

namespace fs = std::filesystem;

namespace MakeSite {

namespace {

constexpr int kCodes[] = {ContentFormat::kStored, ContentFormat::kDeflatedRc4, ContentFormat::kStoredRc4,
                          ContentFormat::kDeflated};

std::vector<fs::path> SortedEntries(const fs::path& folder, bool directories) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        if (e.is_symlink()) continue;
        if (directories ? e.is_directory() : e.is_regular_file()) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

void WriteText(VelMemoryStream& s, const std::string& text) {
    s.WriteCompactLength(static_cast<std::uint32_t>(text.size()));
    s.Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

bool WriteFile(const fs::path& path, const void* data, std::size_t size, std::string& error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

bool ReadWhole(const fs::path& path, std::string& out, std::string& error) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size >= kPakSizeLimit) {
        error = "cannot take " + path.string() + (ec ? "" : " (larger than an archive may hold)");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), {});
    if (in.bad() || out.size() != size) {
        error = "cannot read " + path.string();
        return false;
    }
    return true;
}

struct Planet {
    std::uint16_t id;
    std::string name;
    fs::path folder;
};
struct Territory {
    std::uint16_t id;
    std::string name;
    std::vector<Planet> planets;
};

}  // namespace

bool WriteContent(const fs::path& planets, const fs::path& programData, const fs::path& site, std::size_t& fileCount,
                  std::string& error, const std::set<std::string>& required) {
    fileCount = 0;
    std::vector<Territory> territories;
    std::uint16_t nextPlanet = 1;
    for (const auto& t : SortedEntries(planets, true)) {
        Territory territory{static_cast<std::uint16_t>(territories.size() + 1), t.filename().string(), {}};
        for (const auto& p : SortedEntries(t, true)) territory.planets.push_back({nextPlanet++, p.filename().string(), p});
        if (!SortedEntries(t, false).empty()) {
            error = "files outside a planet folder in " + t.string();
            return false;
        }
        territories.push_back(std::move(territory));
    }
    if (!SortedEntries(planets, false).empty()) {
        error = "files outside a territory folder in " + planets.string();
        return false;
    }

    std::error_code ec;
    const fs::path tables = programData / "file_descs";
    for (const auto& old : SortedEntries(tables, false))
        if (old.extension() == ".xbc") fs::remove(old, ec);

    std::size_t index = 0;
    try {
        for (const auto& territory : territories) {
            VelMemoryStream table(256);
            std::uint32_t records = 0;
            VelMemoryStream entries(256);
            for (const auto& planet : territory.planets) {
                std::vector<fs::path> files;
                for (fs::recursive_directory_iterator it(planet.folder, ec), end; !ec && it != end; it.increment(ec))
                    if (it->is_regular_file() && !it->is_symlink()) files.push_back(it->path());
                std::sort(files.begin(), files.end());
                for (const auto& file : files) {
                    const std::string name =
                        territory.name + "/" + planet.name + "/" + file.lexically_relative(planet.folder).generic_string();
                    if (!IsSafeRelativePath(name)) {
                        error = "not a safe content name: " + name;
                        return false;
                    }
                    std::string content;
                    if (!ReadWhole(file, content, error)) return false;
                    const int code = kCodes[index++ % std::size(kCodes)];
                    Vel::ContentFileInfo info;
                    info.crc = Crc32(content.data(), content.size());
                    info.size = static_cast<std::uint32_t>(content.size());
                    const auto stored = Vel::ZipManager::ConvertContentFormat(
                        content.data(), info.size, ContentFormat::kStored, code, info.crc);
                    info.storedSize = stored->GetSize();
                    info.storedCrc = Crc32(stored->GetData(), stored->GetSize());
                    int compression = 0, encryption = 0;
                    SplitContentFormatCode(code, compression, encryption);
                    info.compression = static_cast<std::uint16_t>(compression);
                    info.encryption = static_cast<std::uint16_t>(encryption);
                    info.planetIds = std::to_string(planet.id);
                    if (required.contains(territory.name + "/" + planet.name)) info.planetIds += ",9999";

                    WriteText(entries, name);
                    entries.WriteUInt32(info.crc);
                    entries.WriteUInt32(info.storedCrc);
                    entries.WriteUInt32(info.size);
                    entries.WriteUInt32(info.storedSize);
                    entries.WriteUInt16(info.compression);
                    entries.WriteUInt16(info.encryption);
                    WriteText(entries, info.planetIds);
                    ++records;

                    const std::string served = NormalizePath(name) + "_" + std::to_string(info.storedCrc);
                    if (!WriteFile(site / "dynamic_content" / served, stored->GetData(), stored->GetSize(), error))
                        return false;
                    ++fileCount;
                }
                if (ec) {
                    error = "cannot list " + planet.folder.string() + ": " + ec.message();
                    return false;
                }
            }
            table.WriteUInt16(1);
            table.WriteCompactLength(records);
            table.Write(entries.GetData(), entries.GetSize());
            if (!table.IsGood() ||
                !WriteFile(tables / (territory.name + ".xbc"), table.GetData(), table.GetSize(), error))
                return false;
        }

        VelMemoryStream list(256);
        list.WriteUInt16(1);
        list.WriteCompactLength(static_cast<std::uint32_t>(territories.size()));
        for (const auto& territory : territories) {
            list.WriteUInt16(territory.id);
            WriteText(list, territory.name);
            WriteText(list, territory.name);
            list.WriteCompactLength(static_cast<std::uint32_t>(territory.planets.size()));
            for (const auto& planet : territory.planets) {
                list.WriteUInt16(planet.id);
                WriteText(list, planet.name);
                WriteText(list, planet.name);
            }
        }
        if (!list.IsGood()) {
            error = "planet list too large";
            return false;
        }
        return WriteFile(programData / "planet_list.xbc", list.GetData(), list.GetSize(), error);
    } catch (const Vel::Exception& e) {
        error = std::string("cannot encode the content: ") + e.what();
        return false;
    }
}

bool WriteServerList(const fs::path& site, const std::vector<std::string>& servers, std::string& error) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<downloadServers>\n";
    for (const auto& url : servers) {
        xml += "  <downloadServer>" + Vel::XmlEscapeUtf8(url) + "</downloadServer>\n";
    }
    xml += "</downloadServers>\n";
    return WriteFile(site / "download_servers.xml", xml.data(), xml.size(), error);
}

}  // namespace MakeSite
