#pragma once
// The content half of the stand-in site: from a folder of planet files, the descriptor tables
// and the planet list that the client reads from its program data folder, the stored forms
// that the content servers deliver, and the list of content servers.
//
// Input layout: PLANETS/<territory>/<planet>/<any files below>. Territories and planets are
// numbered from 1 in name order (planet ids run on across territories); a file's content
// name is "<territory>/<planet>/<path below the planet>" and its planet-id text is its
// planet's id; the files of a planet named in `required` ("<territory>/<planet>") are also
// listed under 9999, the content every installation needs. Stored forms cycle through the
// format codes 0, 2, 4 and 8 in name order.
//
// Contract: single-threaded tool code; every function reports failure as false with a text.
// Files above 128 MB, names that are not safe relative paths, and files outside a planet
// folder are refused (the whole run fails), so nothing half-written is served as correct.

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace MakeSite {

// Writes programData/file_descs/<territory>.xbc (old tables there are removed first),
// programData/planet_list.xbc and site/dynamic_content/<lower-case name>_<stored CRC-32>.
bool WriteContent(const std::filesystem::path& planets, const std::filesystem::path& programData,
                  const std::filesystem::path& site, std::size_t& fileCount, std::string& error,
                  const std::set<std::string>& required = {});

// Writes site/download_servers.xml naming the servers in order of trial.
bool WriteServerList(const std::filesystem::path& site, const std::vector<std::string>& servers, std::string& error);

}  // namespace MakeSite
