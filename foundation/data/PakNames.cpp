#include "foundation/data/PakNames.h"

#include <cstdio>

#include "foundation/core/Exception.h"
#include "foundation/files/Paths.h"
#include "foundation/data/ZipEndRecord.h"

std::string PakGroupOf(std::string_view contentPath) {
    const auto first = contentPath.find('/');
    if (first == std::string_view::npos) return {};
    const auto second = contentPath.find('/', first + 1);
    if (second == std::string_view::npos) return {};
    return std::string(contentPath.substr(0, second + 1));
}

std::string MakePakFileName(std::string_view group, int number) {
    std::string name(group);
    for (auto& c : name)
        if (c == '/') c = '_';
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02d", number);
    return name + digits + ".pak";
}

std::vector<std::string> FindPakFiles(const std::string& contentFolder, std::string_view group) {
    std::vector<std::string> names;
    for (int n = 1; n <= kPakMaxNumber; ++n) {
        std::string name = MakePakFileName(group, n);
        if (FileExists(contentFolder + name)) names.push_back(std::move(name));
    }
    return names;
}

std::string GetFreePakFileName(const std::string& contentFolder, std::string_view group) {
    for (int n = 1; n <= kPakMaxNumber; ++n) {
        std::string name = MakePakFileName(group, n);
        if (!FileExists(contentFolder + name)) return name;
    }
    throw Vel::Exception();
}

std::vector<std::string> ListPakPaths(const std::string& contentFolder, std::string_view group) {
    auto names = FindPakFiles(contentFolder, group);
    for (auto& n : names) n = contentFolder + n;
    return names;
}

std::string GetFreePakPath(const std::string& contentFolder, std::string_view group) {
    return contentFolder + GetFreePakFileName(contentFolder, group);
}

std::string FindPakWithRoom(const std::string& contentFolder, std::string_view contentPath, std::uint32_t entrySize,
                            const PakEntryCounter& entryCount) {
    return FindPakWithRoomAmong(ListPakPaths(contentFolder, PakGroupOf(contentPath)), contentFolder, contentPath,
                                entrySize, entryCount);
}

std::string FindPakWithRoomAmong(const std::vector<std::string>& paths, const std::string& contentFolder,
                                 std::string_view contentPath, std::uint32_t entrySize,
                                 const PakEntryCounter& entryCount) {
    const std::string group = PakGroupOf(contentPath);
    for (const auto& path : paths) {
        if (FileSize(path) + entrySize >= kPakSizeLimit) continue;
        std::uint32_t count = 0;
        if (entryCount)
            count = entryCount(path);
        else if (!ReadZipEntryCount(path, count))
            count = 0;
        if (count < kZipMaxEntries) return path;
    }
    return GetFreePakPath(contentFolder, group);
}
