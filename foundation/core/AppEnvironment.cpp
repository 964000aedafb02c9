#include "foundation/core/AppEnvironment.h"

#include <atomic>
#include <boost/algorithm/string/case_conv.hpp>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "foundation/core/Exception.h"
#include "platform/Process.h"

namespace Vel {
namespace {

struct ExeNames {
    std::string stem;
    std::string base;
    std::string suffix;
};

constexpr const char* kOwnVersion = "15,5,0,130973";
constexpr std::size_t kMaxVersionLine = 256;

ExeNames g_names;
std::string g_exePathOverride;
std::mutex g_resourceMutex;
std::string g_resourceRoot;
struct ClientVersion {
    std::string text = "0.0.0.0";
    bool known = false;
};
std::atomic<std::shared_ptr<const ClientVersion>> g_clientVersion{std::make_shared<const ClientVersion>()};

void DeriveNames(const std::string& executablePath) {
    g_names.stem = std::filesystem::path(executablePath).stem().string();
    SplitExeName(g_names.stem, g_names.base, g_names.suffix);
}

}  // namespace

ParameterStore& GetParameterStore() {
    static ParameterStore store;
    return store;
}

bool InitAppEnvironment() {
    GetParameterStore();
    DeriveNames(g_exePathOverride.empty() ? Platform::ExecutablePath() : g_exePathOverride);
    LoadClientVersionString();
    return true;
}

void SetExecutablePathForTesting(const std::string& path) {
    g_exePathOverride = path;
    DeriveNames(path);
}

void SplitExeName(const std::string& stem, std::string& base, std::string& suffix) {
    const auto underscore = stem.find('_');
    if (underscore == std::string::npos) {
        base = stem;
        suffix.clear();
    } else {
        base = stem.substr(0, underscore);
        suffix = stem.substr(underscore);
    }
}

void InstallRoot(unsigned flags) {
    namespace fs = std::filesystem;
    fs::path start = (flags & kInstallRootFromCurrentDir)
                         ? fs::current_path()
                         : fs::path(Platform::ExecutablePath()).parent_path();
    fs::path trimmed = start;
    if (trimmed.filename().empty()) trimmed = trimmed.parent_path();  // a trailing "/"
    const std::string last = boost::algorithm::to_lower_copy(trimmed.filename().string());
    fs::path root = (last == "bin32" || last == "bin64") ? trimmed.parent_path() : start;
    fs::current_path(root);  // throws on failure
}

void SetResourceRoot(const std::string& path) {
    std::lock_guard lock(g_resourceMutex);
    g_resourceRoot = path;
}

std::string GetResourceRoot() {
    std::lock_guard lock(g_resourceMutex);
    return g_resourceRoot;
}

std::string GetExeBaseName() { return g_names.base; }
std::string GetExeNameSuffix() { return g_names.suffix; }
std::string GetExeStem() { return g_names.stem; }
std::string GetOutputFolder() { return "out/"; }

bool ReadClientVersion(VersionNumber& out) {
    std::ifstream in("version.txt", std::ios::binary);
    if (!in) return false;
    char buffer[kMaxVersionLine];
    in.read(buffer, sizeof buffer);
    std::string line(buffer, static_cast<std::size_t>(in.gcount()));
    const auto lf = line.find('\n');
    if (lf != std::string::npos) line.resize(lf);
    else if (line.size() == kMaxVersionLine) return false;  // no version line is that long
    if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows line ends
    if (line.empty()) return false;
    VersionNumber version(line);
    if (version.IsNull()) return false;
    out = version;
    return true;
}

void LoadClientVersionString() {
    VersionNumber version;
    const bool known = ReadClientVersion(version);
    g_clientVersion.store(std::make_shared<const ClientVersion>(
        ClientVersion{known ? version.ToString() : std::string("0.0.0.0"), known}));
}

std::string GetVersionString() {
    const auto current = g_clientVersion.load();
    return current->known ? current->text : GetTrailstarterVersion();
}

std::string ReloadVersionString() {
    LoadClientVersionString();
    return GetVersionString();
}

std::string GetTrailstarterVersion() {
    std::string version = kOwnVersion;
    for (auto& c : version)
        if (c == ',') c = '.';
    return version;
}

}  // namespace Vel
