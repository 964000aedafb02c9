#include "delivery/update/FileList.h"

#include <boost/property_tree/ptree.hpp>
#include <charconv>
#include <filesystem>
#include <limits>

#include "foundation/files/BoundedXml.h"
#include "foundation/core/Exception.h"

namespace pt = boost::property_tree;

namespace {

[[noreturn]] void Invalid() { throw Vel::Exception(); }

template <class T>
bool ParseWhole(std::string_view text, T& out, int base) {
    if (text.empty()) return false;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

const std::string& Attribute(const pt::ptree& attributes, const char* name) {
    const auto it = attributes.find(name);
    if (it == attributes.not_found()) Invalid();
    return it->second.data();
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

FileListEntry ReadFileListEntry(const std::string& name, const pt::ptree& element) {
    if (name != "file") Invalid();
    const auto attrs = element.get_child_optional("<xmlattr>");
    if (!attrs) Invalid();
    FileListEntry e;
    e.path = Attribute(*attrs, "path");
    if (!IsSafeRelativePath(e.path)) Invalid();
    if (!e.sha1.FromHex(Attribute(*attrs, "sha1"))) Invalid();
    if (!e.sha1_zip.FromHex(Attribute(*attrs, "sha1_zip"))) Invalid();
    if (!ParseWhole(Attribute(*attrs, "size"), e.size, 10)) Invalid();
    if (!ParseWhole(Attribute(*attrs, "size_zip"), e.size_zip, 10)) Invalid();
    return e;
}

}  // namespace

bool IsSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.front() == '\\') return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t sep = path.find_first_of("/\\", start);
        const std::string_view element = path.substr(start, sep == std::string_view::npos ? sep : sep - start);
        if (element.empty() || element == "." || element == "..") return false;
        if (element.find('\0') != std::string_view::npos) return false;
        if (sep == std::string_view::npos) return true;
        start = sep + 1;
    }
}

FileList ReadFileList(const std::string& text) {
    pt::ptree tree;
    try {
        Vel::ReadBoundedXml(text, tree);
    } catch (const pt::ptree_error&) {
        Invalid();
    }
    // Comments around the root element are not part of the manifest; anything else is.
    const pt::ptree* root = nullptr;
    for (const auto& [name, node] : tree) {
        if (name == "<xmlcomment>") continue;
        if (name != "files" || root) Invalid();
        root = &node;
    }
    if (!root) Invalid();
    const auto attrs = root->get_child_optional("<xmlattr>");
    if (!attrs) Invalid();
    FileList list;
    list.version = VersionNumber(Attribute(*attrs, "version"));  // 0.0.0.0 when it does not parse
    if (list.version.IsNull()) Invalid();
    if (!ParseWhole(Attribute(*attrs, "client_crc"), list.client_crc, 16)) Invalid();
    if (!ParseWhole(Attribute(*attrs, "client_crc64"), list.client_crc64, 16)) Invalid();
    for (const auto& [name, child] : *root) {
        if (name == "<xmlattr>") continue;
        list.files.push_back(ReadFileListEntry(name, child));
    }
    return list;
}

std::uint64_t GetTotalZipSize(const FileList& list) {
    std::uint64_t total = 0;
    for (const auto& e : list.files) total = SaturatingAdd(total, e.size_zip);
    return total;
}

std::uint64_t GetSelectedSize(const FileList& list) {
    std::uint64_t total = 0;
    for (const auto& e : list.files)
        if (e.isNew) total = SaturatingAdd(total, e.size);
    return total;
}

std::string GetCachedZipPath(const FileListEntry& entry) {
    std::string p = entry.path;
    for (char& c : p)
        if (c == '\\') c = '/';
    const std::filesystem::path path(p);
    std::string out = "client_files/";
    const std::string parent = path.parent_path().string();
    if (!parent.empty()) out += parent + "/";
    out += path.stem().string() + "_" + entry.sha1.ToHex() + ".zip";
    return out;
}

std::string GetDisplayName(const FileListEntry& entry) {
    if (entry.path.size() < 40) return entry.path;
    const auto sep = entry.path.find_last_of("/\\");
    return sep == std::string::npos ? entry.path : entry.path.substr(sep + 1);
}
