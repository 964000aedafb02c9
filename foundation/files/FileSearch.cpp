#include "foundation/files/FileSearch.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

namespace fs = std::filesystem;

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerText(std::string text) {
    for (char& c : text) c = Lower(c);
    return text;
}

bool Match(const char* n, const char* p) {
    // Iterative wildcard match with one back-track point for the latest '*'.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*n != '\0') {
        if (*p == '*') {
            star = p++;
            resume = n;
        } else if (*p == '?' || (*p != '\0' && Lower(*p) == Lower(*n))) {
            ++p;
            ++n;
        } else if (star != nullptr) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == '\0';
}

struct Entry {
    std::string name;
    bool directory;
};

// The folder's device and inode, links followed.
std::optional<std::pair<std::uint64_t, std::uint64_t>> FolderId(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return std::nullopt;
    return std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
}

std::vector<Entry> ListFolder(const std::string& folder) {
    std::vector<Entry> entries;
    std::error_code ec;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        const bool directory = it->is_directory(typeError);
        entries.push_back({it->path().filename().string(), directory});
    }
    return entries;
}

}  // namespace

FileSearch::FileSearch(const std::string& folder, const std::string& pattern)
    : FileSearch(folder, pattern, std::string()) {}

FileSearch::FileSearch(const std::string& folder, const std::string& pattern, std::string relativePrefix)
    : folder_(folder), pattern_(pattern.empty() ? "*.*" : pattern), relativePrefix_(std::move(relativePrefix)) {
    std::replace(folder_.begin(), folder_.end(), '\\', '/');
    if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

void FileSearch::SetExclusions(std::vector<std::string> names) {
    for (auto& name : names) name = LowerText(std::move(name));
    exclusions_ = std::move(names);
}

bool FileSearch::IsExcluded(const std::string& name) const {
    if (exclusions_.empty()) return false;
    return std::find(exclusions_.begin(), exclusions_.end(), LowerText(name)) != exclusions_.end();
}

bool FileSearch::MatchesPattern(const std::string& name, const std::string& pattern) {
    if (pattern == "*.*" || pattern == "*") return true;
    return Match(name.c_str(), pattern.c_str());
}

void FileSearch::Run(const Callback& callback, bool recursive, bool directories, bool appendSlash) {
    const std::vector<Entry> entries = ListFolder(folder_);
    for (const Entry& entry : entries) {
        if (entry.directory != directories) continue;
        if (entry.name == "." || entry.name == "..") continue;
        if (!MatchesPattern(entry.name, pattern_)) continue;
        if (IsExcluded(entry.name)) continue;
        if (filter_ && !filter_(relativePrefix_ + entry.name)) continue;
        callback(*this, appendSlash ? entry.name + "/" : entry.name);
    }
    if (!recursive) return;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> chain = ancestors_;
    if (const auto self = FolderId(folder_)) chain.push_back(*self);
    for (const Entry& entry : entries) {
        if (!entry.directory || entry.name == "." || entry.name == ".." || IsExcluded(entry.name)) continue;
        FileSearch sub(folder_ + entry.name + "/", pattern_, relativePrefix_ + entry.name + "/");
        sub.exclusions_ = exclusions_;
        sub.filter_ = filter_;
        if (filter_ && !filter_(sub.relativePrefix_)) continue;
        const auto id = FolderId(sub.folder_);
        if (!id || std::find(chain.begin(), chain.end(), *id) != chain.end()) continue;  // a link loop
        sub.ancestors_ = chain;
        sub.Run(callback, recursive, directories, false);
    }
}

void FileSearch::Collect(std::vector<std::string>& out, bool recursive) {
    Run([&out](FileSearch& search, const std::string& name) { out.push_back(search.GetFolder() + name); }, recursive,
        false, false);
}

std::vector<std::string> FileSearch::GetPaths(bool recursive) {
    std::vector<std::string> paths;
    Collect(paths, recursive);
    return paths;
}
