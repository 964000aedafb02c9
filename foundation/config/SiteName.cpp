#include "foundation/config/SiteName.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>

#include "foundation/core/FatalError.h"

namespace Vel {
namespace {
std::mutex g_siteMutex;
std::string g_siteName;
std::atomic<bool> g_siteInitialised{false};
constexpr std::size_t kMaxSiteFile = 4096;
}  // namespace

bool IsValidSiteName(std::string_view name) {
    for (unsigned char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) return false;
    }
    return true;
}

void InitSiteName() {
    std::string text;
    std::ifstream in("site.txt", std::ios::binary);
    if (in) {
        char buffer[kMaxSiteFile + 1];
        in.read(buffer, sizeof buffer);
        text.assign(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxSiteFile) text.clear();  // no site name is that long: production
        if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    }
    std::lock_guard lock(g_siteMutex);
    g_siteName = IsValidSiteName(text) ? text : std::string();
    g_siteInitialised = true;
}

std::string GetSiteName() {
    if (!g_siteInitialised) FatalError("site name read before it was initialised");
    std::lock_guard lock(g_siteMutex);
    return g_siteName;
}

bool IsProductionSiteName(std::string_view name) { return name.empty() || name == "pro01"; }

bool IsProductionSite() { return IsProductionSiteName(GetSiteName()); }

void SetSiteNameForTesting(const std::string& name) {
    std::lock_guard lock(g_siteMutex);
    g_siteName = name;
    g_siteInitialised = true;
}

std::string SiteFolder(const std::string& folder) {
    const std::string site = GetSiteName();
    if (IsProductionSiteName(site)) return folder;
    std::string base = folder;
    if (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
    return base + " " + site + "/";
}

}  // namespace Vel
