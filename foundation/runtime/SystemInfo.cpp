#include "foundation/runtime/SystemInfo.h"

#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace Vel {
namespace {

namespace fs = std::filesystem;

// Every file read here is small; a larger one is cut (the PCI id list is the largest).
constexpr std::size_t kSmallFileLimit = 64 * 1024;
constexpr std::size_t kIdListLimit = 8 * 1024 * 1024;

std::string ReadText(const fs::path& path, std::size_t limit = kSmallFileLimit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string Unquote(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    return v;
}

std::uint32_t ParseHex(const std::string& text) {
    std::string t = Trim(text);
    if (t.rfind("0x", 0) == 0 || t.rfind("0X", 0) == 0) t = t.substr(2);
    std::uint32_t v = 0;
    int digits = 0;
    for (char c : t) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        if (++digits > 8) return 0;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

// The first four runs of digits of a text, as a version ("6.1.0-18-amd64" gives 6.1.0.18).
VersionNumber VersionFromDigits(const std::string& text) {
    std::uint32_t parts[4] = {0, 0, 0, 0};
    int n = 0;
    std::size_t i = 0;
    while (i < text.size() && n < 4) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        std::uint64_t v = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            v = std::min<std::uint64_t>(v * 10 + static_cast<std::uint64_t>(text[i] - '0'), 0xFFFFFFFFu);
            ++i;
        }
        parts[n++] = static_cast<std::uint32_t>(v);
    }
    return VersionNumber(parts[0], parts[1], parts[2], parts[3]);
}

void ReadOsRelease(const fs::path& root, SystemInfo& info) {
    std::string text = ReadText(root / "etc/os-release");
    if (text.empty()) text = ReadText(root / "usr/lib/os-release");
    std::string pretty, name, version;
    for (const auto& line : SplitLines(text)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = Unquote(line.substr(eq + 1));
        if (key == "PRETTY_NAME") pretty = value;
        else if (key == "NAME") name = value;
        else if (key == "VERSION_ID") version = value;
    }
    if (pretty.empty() && !name.empty()) pretty = version.empty() ? name : name + " " + version;
    if (!pretty.empty()) {
        info.osName = pretty;
        info.osCode = 199;
    }
}

void ReadProcessors(const fs::path& root, SystemInfo& info) {
    for (const auto& line : SplitLines(ReadText(root / "proc/cpuinfo", 1024 * 1024))) {
        if (line.rfind("model name", 0) != 0) continue;
        const auto colon = line.find(':');
        if (colon != std::string::npos) info.processorNames.push_back(Trim(line.substr(colon + 1)));
    }
}

// Vendor and device names from the PCI id list ("vvvv  Name", then "\tdddd  Name" lines).
void LookUpPciNames(const fs::path& root, std::uint32_t vendor, std::uint32_t device, std::string& vendorName,
                    std::string& deviceName) {
    for (const char* file : {"usr/share/misc/pci.ids", "usr/share/hwdata/pci.ids"}) {
        const std::string text = ReadText(root / file, kIdListLimit);
        if (text.empty()) continue;
        bool inVendor = false;
        for (const auto& line : SplitLines(text)) {
            if (line.empty() || line[0] == '#') continue;
            if (line[0] != '\t') {
                if (inVendor) return;
                if (line.size() > 6 && ParseHex(line.substr(0, 4)) == vendor && line[4] == ' ') {
                    inVendor = true;
                    vendorName = Trim(line.substr(4));
                }
            } else if (inVendor && line.size() > 7 && line[1] != '\t' && ParseHex(line.substr(1, 4)) == device &&
                       line[5] == ' ') {
                deviceName = Trim(line.substr(5));
                return;
            }
        }
        if (!vendorName.empty()) return;
    }
}

void ReadGraphics(const fs::path& root, SystemInfo& info) {
    std::error_code ec;
    std::vector<fs::path> cards;
    for (fs::directory_iterator it(root / "sys/class/drm", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // "card0", not the connectors ("card0-HDMI-A-1").
        if (name.rfind("card", 0) == 0 && name.find('-') == std::string::npos) cards.push_back(it->path());
    }
    std::sort(cards.begin(), cards.end());
    for (const auto& card : cards) {
        const fs::path device = card / "device";
        const std::uint32_t vendor = ParseHex(ReadText(device / "vendor"));
        if (vendor == 0) continue;
        info.adapter.vendorId = vendor;
        info.adapter.deviceId = ParseHex(ReadText(device / "device"));
        std::error_code linkError;
        const fs::path driverLink = fs::read_symlink(device / "driver", linkError);
        if (!linkError) info.graphicsDriver = driverLink.filename().string();
        std::string vendorName, deviceName;
        LookUpPciNames(root, vendor, info.adapter.deviceId, vendorName, deviceName);
        if (!deviceName.empty())
            info.adapter.description = vendorName.empty() ? deviceName : vendorName + " " + deviceName;
        else if (!info.graphicsDriver.empty())
            info.adapter.description = info.graphicsDriver;
        VersionNumber version;
        if (!info.graphicsDriver.empty()) {
            const std::string moduleVersion = Trim(ReadText(root / "sys/module" / info.graphicsDriver / "version"));
            if (!moduleVersion.empty()) version = VersionFromDigits(moduleVersion);
        }
        if (version.IsNull()) version = VersionFromDigits(Trim(ReadText(root / "proc/sys/kernel/osrelease")));
        info.graphicsDriverVersion = version;
        // Build and revision, as the low 32 bits of a packed driver version would hold them.
        info.adapter.driverVersionLow = ((version.Build() & 0xFFFFu) << 16) | (version.Revision() & 0xFFFFu);
        return;
    }
}

void ReadSound(const fs::path& root, SystemInfo& info) {
    // " 0 [PCH            ]: HDA-Intel - HDA Intel PCH" then the long name on the next line.
    for (const auto& line : SplitLines(ReadText(root / "proc/asound/cards"))) {
        const auto bracket = line.find("]:");
        if (bracket == std::string::npos) continue;
        const std::string rest = line.substr(bracket + 2);
        const auto dash = rest.find(" - ");
        info.soundDeviceName = Trim(dash == std::string::npos ? rest : rest.substr(dash + 3));
        break;
    }
    if (!info.soundDeviceName.empty())
        info.soundDriverVersion = VersionFromDigits(ReadText(root / "proc/asound/version"));
}

SystemInfo g_info;
std::once_flag g_collected;

}  // namespace

SystemInfo CollectSystemInfoFrom(const std::string& root) {
    SystemInfo info;
    const fs::path base(root);
    if (root == "/") {
        struct sysinfo si{};
        if (::sysinfo(&si) == 0) info.totalPhysicalMemory = static_cast<std::uint64_t>(si.totalram) * si.mem_unit;
    } else {
        // A test root: "proc/meminfo" MemTotal in kB.
        for (const auto& line : SplitLines(ReadText(base / "proc/meminfo"))) {
            if (line.rfind("MemTotal:", 0) == 0)
                info.totalPhysicalMemory = static_cast<std::uint64_t>(VersionFromDigits(line).Major()) * 1024;
        }
    }
    ReadProcessors(base, info);
    ReadOsRelease(base, info);
    ReadGraphics(base, info);
    ReadSound(base, info);
    return info;
}

bool CollectSystemInfo() {
    std::call_once(g_collected, [] { g_info = CollectSystemInfoFrom("/"); });
    return true;
}

const SystemInfo& GetSystemInfo() {
    CollectSystemInfo();
    return g_info;
}

std::string GetOsName() { return GetSystemInfo().osName; }
bool IsOlderThanVista() { return GetSystemInfo().osCode < 106; }
bool IsVistaOrLater() { return GetSystemInfo().osCode >= 106; }

std::uint32_t RoundUpMemoryMB(std::uint64_t bytes) noexcept {
    const std::uint64_t mib = bytes / (1024 * 1024);
    const std::uint64_t rounded = (mib + 31) / 32 * 32;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(rounded, 0xFFFFFFE0u));
}

std::uint32_t GetPhysicalMemoryMB() { return RoundUpMemoryMB(GetSystemInfo().totalPhysicalMemory); }
GraphicsAdapterInfo GetGraphicsAdapterInfo() { return GetSystemInfo().adapter; }
VersionNumber GetGraphicsDriverVersion() { return GetSystemInfo().graphicsDriverVersion; }
VersionNumber GetDirectXVersion() { return GetSystemInfo().directXVersion; }
std::string GetSoundDeviceName() { return GetSystemInfo().soundDeviceName; }
VersionNumber GetSoundDriverVersion() { return GetSystemInfo().soundDriverVersion; }

std::uint64_t GetDiskFreeBytes(const std::string& path) {
    struct statvfs st{};
    if (::statvfs(path.c_str(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace Vel
