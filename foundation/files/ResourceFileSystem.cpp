#include "foundation/files/ResourceFileSystem.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "foundation/core/AppEnvironment.h"

namespace Vel {
namespace {

struct Registry {
    std::shared_mutex mutex;
    std::vector<std::pair<std::string, std::shared_ptr<ResourceFileSystem::IMount>>> mounts;
    std::vector<std::pair<unsigned, std::shared_ptr<XMLParser::IFileProvider>>> providers;
    std::function<std::string(const std::string&)> hook;
};

Registry& GetRegistry() {
    static Registry registry;
    return registry;
}

thread_local std::vector<ResourceFileSystem::ActivePath> t_activePaths;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
    return true;
}

// Trimmed, "\" read as "/", runs of "/" collapsed; the letter case kept.
std::string CleanPath(const std::string& path) {
    const auto first = path.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    const auto last = path.find_last_not_of(" \t\r\n\v\f");
    std::string out;
    for (char c : path.substr(first, last - first + 1)) {
        if (c == '\\') c = '/';
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += c;
    }
    return out;
}

// The last mount whose prefix the text begins with; null when none.
std::pair<std::string, std::shared_ptr<ResourceFileSystem::IMount>> FindMount(const std::string& text) {
    Registry& r = GetRegistry();
    std::shared_lock lock(r.mutex);
    for (auto it = r.mounts.rbegin(); it != r.mounts.rend(); ++it)
        if (StartsWithIgnoringCase(text, it->first)) return *it;
    return {};
}

const ResourceFileSystem::ActivePath* TopActivePath() {
    return t_activePaths.empty() ? nullptr : &t_activePaths.back();
}

}  // namespace

std::string ResolveResourcePath(const std::string& path) {
    std::string s = CleanPath(path);
    if (s.empty()) return {};
    if (s[0] == '!') return path;
    if (s[0] == '/') s.erase(0, 1);

    // The root compares in the same form as s, without its leading "/" (the root is absolute
    // here, and s has just lost its own).
    std::string root = CleanPath(GetResourceRoot());
    if (!root.empty() && root[0] == '/') root.erase(0, 1);
    if (!root.empty() && StartsWithIgnoringCase(s, root)) return s.substr(root.size());

    if (!s.empty() && s[0] == '$') {
        std::string q;
        if (s.size() > 1 && s[1] == 'l') {
            if (const auto* top = TopActivePath()) q = FindMount(top->path).first;
        }
        const std::size_t cut = s.size() > 2 && s[2] == '/' ? 3 : std::min<std::size_t>(2, s.size());
        return q + s.substr(cut);
    }
    if (const auto* top = TopActivePath()) s = top->path + s;
    return s;
}

bool ResourceFileSystem::XMLParser_Impl::Open(const std::string& path, unsigned mode) {
    const std::string resolved = ResolveResourcePath(path);
    const auto pathMount = FindMount("$r/" + resolved).second;

    if (const auto* top = TopActivePath(); top && top->restricted) {
        const auto activeMount = FindMount(top->path).second;
        if (!pathMount || !activeMount || !activeMount->Accepts(*pathMount)) return false;
    }

    Registry& r = GetRegistry();
    std::function<std::string(const std::string&)> hook;
    std::vector<std::pair<unsigned, std::shared_ptr<XMLParser::IFileProvider>>> providers;
    {
        std::shared_lock lock(r.mutex);
        hook = r.hook;
        providers = r.providers;
    }
    const std::string name = hook ? hook(resolved) : resolved;
    for (const auto& [kind, provider] : providers) {
        if (pathMount && kind != pathMount->GetKind()) continue;
        if (provider->Open(name, mode)) return true;
    }
    return false;
}

void ResourceFileSystem::AddMount(std::string prefix, std::shared_ptr<IMount> mount) {
    Registry& r = GetRegistry();
    std::unique_lock lock(r.mutex);
    r.mounts.emplace_back(std::move(prefix), std::move(mount));
}

void ResourceFileSystem::AddProvider(unsigned kind, std::shared_ptr<XMLParser::IFileProvider> provider) {
    Registry& r = GetRegistry();
    std::unique_lock lock(r.mutex);
    r.providers.emplace_back(kind, std::move(provider));
}

void ResourceFileSystem::SetPathTranslation(std::function<std::string(const std::string&)> hook) {
    Registry& r = GetRegistry();
    std::unique_lock lock(r.mutex);
    r.hook = std::move(hook);
}

void ResourceFileSystem::Reset() {
    Registry& r = GetRegistry();
    std::unique_lock lock(r.mutex);
    r.mounts.clear();
    r.providers.clear();
    r.hook = nullptr;
}

void ResourceFileSystem::PushActivePath(ActivePath entry) { t_activePaths.push_back(std::move(entry)); }

void ResourceFileSystem::PopActivePath() {
    if (!t_activePaths.empty()) t_activePaths.pop_back();
}

}  // namespace Vel
