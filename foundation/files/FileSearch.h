#pragma once
// FileSearch: the entries of one folder that match a wildcard pattern, optionally descending
// into its sub-folders.
//
// Contract:
// - The folder keeps its letter case (files are opened by the names the file system holds);
//   "\" is taken as "/" and a missing trailing "/" is added. Names are reported as listed, with
//   their case kept; patterns ("*", "?") match case-insensitively, and "*.*" matches every
//   name, dotted or not. Callers that need a lookup key lower-case it themselves.
// - Run reports the matches of a folder first, then descends into its sub-folders depth first,
//   each folder in the order the file system lists it. "." and ".." are never reported.
// - A folder that cannot be listed reports nothing; nothing throws for a listing failure.
// - A sub-folder that is one of the folders already being searched (a symbolic link back up
//   the tree) is reported, but not descended into again.
// - Reentrant: a search object belongs to one thread, different searches run in parallel.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class FileSearch {
public:
    using Callback = std::function<void(FileSearch& search, const std::string& name)>;
    using Filter = std::function<bool(const std::string& relativePath)>;

    FileSearch(const std::string& folder, const std::string& pattern);

    // Calls callback for each file (directories false) or sub-folder (directories true) that
    // matches; appendSlash adds "/" to the reported names of this folder's entries.
    void Run(const Callback& callback, bool recursive, bool directories, bool appendSlash);
    // Appends folder + name of every file found.
    void Collect(std::vector<std::string>& out, bool recursive);
    std::vector<std::string> GetPaths(bool recursive);

    const std::string& GetFolder() const noexcept { return folder_; }
    const std::string& GetPattern() const noexcept { return pattern_; }
    const std::string& GetRelativePrefix() const noexcept { return relativePrefix_; }

    // Names compared lower case; stays empty in this program.
    void SetExclusions(std::vector<std::string> names);
    void SetFilter(Filter filter) { filter_ = std::move(filter); }

    // The wildcard test used for every entry.
    static bool MatchesPattern(const std::string& name, const std::string& pattern);

private:
    FileSearch(const std::string& folder, const std::string& pattern, std::string relativePrefix);
    bool IsExcluded(const std::string& name) const;

    std::string folder_;
    std::string pattern_;
    std::string relativePrefix_;
    std::vector<std::string> exclusions_;
    Filter filter_;
    // Device and inode of the folders above this one in the running search.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ancestors_;
};
