// make-site: builds an update site from a folder of client files.
//   make-site --client DIR --out DIR [--version 1.0.0.0] [--planets DIR [--required T/P]...] [--server URL]...
// Writes OUT/client_files.xml and, for every file, its update package
// OUT/client_files/<folder>/<stem>_<sha1>.zip holding the file under its own name.
// With --planets, first the content: the descriptor tables and the planet list go into the
// client's program data folder (so that the update delivers them) and the stored forms under
// OUT/dynamic_content (see ContentSite.h). Each --server names a content server, in order of
// trial, in OUT/download_servers.xml.

#include <zip.h>

#include <algorithm>
#include <set>
#include <boost/program_options.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "delivery/update/FileList.h"
#include "foundation/data/Crc32.h"
#include "foundation/data/Sha1.h"
#include "foundation/config/UserFolders.h"
#include "tools/make-site/ContentSite.h"

namespace fs = std::filesystem;
namespace po = boost::program_options;

namespace {

struct Hashed {
    std::uint64_t size = 0;
    Sha1Digest sha1;
};

bool HashFile(const fs::path& path, Hashed& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    VelCryptSHA1 h;
    std::vector<char> buf(1 << 20);
    out.size = 0;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const auto n = static_cast<std::size_t>(in.gcount());
        h.Update(buf.data(), n);
        out.size += n;
    }
    if (in.bad()) return false;
    out.sha1 = h.Final();
    return true;
}

std::string XmlEscape(const std::string& s) {
    std::string o;
    for (char c : s) {
        switch (c) {
            case '&': o += "&amp;"; break;
            case '<': o += "&lt;"; break;
            case '>': o += "&gt;"; break;
            case '"': o += "&quot;"; break;
            case '\'': o += "&apos;"; break;
            default: o += c;
        }
    }
    return o;
}

bool WritePackage(const fs::path& source, const fs::path& zipPath) {
    std::error_code ec;
    fs::create_directories(zipPath.parent_path(), ec);
    fs::remove(zipPath, ec);
    int error = 0;
    zip_t* zip = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!zip) return false;
    zip_source_t* src = zip_source_file(zip, source.c_str(), 0, -1);
    if (!src) {
        zip_discard(zip);
        return false;
    }
    const zip_int64_t index = zip_file_add(zip, source.filename().c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(src);
        zip_discard(zip);
        return false;
    }
    zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9);
    return zip_close(zip) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string client, out, version = "1.0.0.0", planets;
    std::vector<std::string> servers, required;
    po::options_description options("make-site options");
    options.add_options()("help", "show this help")("client", po::value(&client)->required(), "folder of client files")(
        "out", po::value(&out)->required(), "folder to write the site into")(
        "version", po::value(&version), "the manifest's version (four numbers joined by dots)")(
        "planets", po::value(&planets), "folder of planet files: <territory>/<planet>/<files>")(
        "required", po::value(&required)->composing(), "<territory>/<planet> whose files every installation needs (repeatable)")(
        "server", po::value(&servers)->composing(), "a content server's base URL for download_servers.xml (repeatable)");
    try {
        po::variables_map vm;
        po::store(po::parse_command_line(argc, argv, options), vm);
        if (vm.count("help")) {
            std::cout << options << "\n";
            return 0;
        }
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "make-site: " << e.what() << "\n" << options << "\n";
        return 2;
    }
    const VersionNumber parsed(version);
    if (parsed.IsNull()) {
        std::cerr << "make-site: bad --version " << version << "\n";
        return 2;
    }
    std::error_code ec;
    if (!fs::is_directory(client, ec)) {
        std::cerr << "make-site: no folder " << client << "\n";
        return 2;
    }
    const fs::path outDir = fs::absolute(out);
    fs::create_directories(outDir, ec);
    if (ec) {
        std::cerr << "make-site: cannot create " << out << ": " << ec.message() << "\n";
        return 1;
    }
    if (!planets.empty()) {
        std::size_t count = 0;
        std::string error;
        if (!fs::is_directory(planets, ec)) {
            std::cerr << "make-site: no folder " << planets << "\n";
            return 2;
        }
        if (!MakeSite::WriteContent(planets, fs::path(client) / Vel::kProgramDataFolderName, outDir, count, error,
                                     std::set<std::string>(required.begin(), required.end()))) {
            std::cerr << "make-site: " << error << "\n";
            return 1;
        }
        std::cout << count << " planet files\n";
    }
    if (!servers.empty()) {
        std::string error;
        if (!MakeSite::WriteServerList(outDir, servers, error)) {
            std::cerr << "make-site: " << error << "\n";
            return 1;
        }
    }
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(client, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file() || it->is_symlink()) continue;
        const fs::path abs = fs::absolute(it->path());
        // Never take the site itself in when it lies inside the client folder.
        const auto rel = abs.lexically_relative(outDir);
        if (!rel.empty() && *rel.begin() != "..") continue;
        files.push_back(it->path());
    }
    if (ec) {
        std::cerr << "make-site: cannot list " << client << ": " << ec.message() << "\n";
        return 1;
    }
    std::sort(files.begin(), files.end());

    std::string entries;
    VelCryptSHA1 all;
    for (const auto& file : files) {
        const std::string rel = file.lexically_relative(client).generic_string();
        if (!IsSafeRelativePath(rel)) continue;
        FileListEntry entry;
        entry.path = rel;
        Hashed h;
        if (!HashFile(file, h)) {
            std::cerr << "make-site: cannot read " << file << "\n";
            return 1;
        }
        entry.size = h.size;
        entry.sha1 = h.sha1;
        const fs::path zipPath = outDir / GetCachedZipPath(entry);
        Hashed z;
        if (!WritePackage(file, zipPath) || !HashFile(zipPath, z)) {
            std::cerr << "make-site: cannot write " << zipPath << "\n";
            return 1;
        }
        all.Update(h.sha1.bytes.data(), h.sha1.bytes.size());
        entries += "  <file path=\"" + XmlEscape(rel) + "\" sha1=\"" + h.sha1.ToHex() + "\" sha1_zip=\"" +
                   z.sha1.ToHex() + "\" size=\"" + std::to_string(h.size) + "\" size_zip=\"" +
                   std::to_string(z.size) + "\"/>\n";
    }
    const Sha1Digest digest = all.Final();
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", Crc32(digest.bytes.data(), digest.bytes.size()));
    std::ofstream manifest(outDir / "client_files.xml", std::ios::binary | std::ios::trunc);
    manifest << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<files version=\"" << parsed.ToString()
             << "\" client_crc=\"" << crc << "\" client_crc64=\"" << crc << "\">\n"
             << entries << "</files>\n";
    manifest.close();
    if (!manifest) {
        std::cerr << "make-site: cannot write the manifest\n";
        return 1;
    }
    std::cout << files.size() << " files, site in " << outDir.string() << "\n";
    return 0;
}
