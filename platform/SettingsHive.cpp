#include "platform/SettingsHive.h"

#include "platform/FileOwner.h"
#include "platform/LastError.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace Vel::Platform {
namespace {

// A hive is a handful of small values; anything far larger is not one of ours.
constexpr std::size_t kMaxHiveFileSize = 16 * 1024 * 1024;

char AsciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Key paths are written into the file as they are (only names and strings are escaped), so a
// line break in one would end its line early and make the whole file unparsable.
bool HasControlCharacter(const std::string& text) noexcept {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

std::string TrimKeyPath(const std::string& path) {
    std::size_t begin = 0, end = path.size();
    while (begin < end && path[begin] == '\\') ++begin;
    while (end > begin && path[end - 1] == '\\') --end;
    return path.substr(begin, end - begin);
}

int HexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char kHexDigits[] = "0123456789abcdef";

void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\x";
                out += kHexDigits[c >> 4];
                out += kHexDigits[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

// Reads a quoted text starting at line[pos] == '"'; on success pos is just behind the closing quote.
std::optional<std::string> ParseQuoted(const std::string& line, std::size_t& pos) {
    if (pos >= line.size() || line[pos] != '"') return std::nullopt;
    std::string out;
    for (std::size_t i = pos + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            pos = i + 1;
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= line.size()) return std::nullopt;
        switch (line[i]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            if (i + 2 >= line.size()) return std::nullopt;
            int hi = HexDigit(line[i + 1]), lo = HexDigit(line[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return std::nullopt;
}

bool ParseHexBytes(const std::string& text, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    std::size_t i = 0;
    while (true) {
        if (i + 2 > text.size()) return false;
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        if (i == text.size()) return true;
        if (text[i] != ',') return false;
        ++i;
    }
}

std::optional<HiveValue> ParseValueLine(const std::string& line) {
    HiveValue value;
    std::size_t pos = 0;
    auto name = ParseQuoted(line, pos);
    if (!name) return std::nullopt;
    value.name = std::move(*name);
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return std::nullopt;
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    std::string rest = line.substr(pos);

    if (!rest.empty() && rest[0] == '"') {
        std::size_t p = 0;
        auto text = ParseQuoted(rest, p);
        if (!text || p != rest.size()) return std::nullopt;
        value.type = kHiveTypeString;
        value.data = std::move(*text);
        value.data += '\0';
        return value;
    }
    if (rest.rfind("dword:", 0) == 0) {
        std::string digits = rest.substr(6);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        std::uint32_t v = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        value.type = kHiveTypeDword;
        for (int i = 0; i < 4; ++i) value.data += static_cast<char>((v >> (8 * i)) & 0xFF);
        return value;
    }
    if (rest.rfind("hex:", 0) == 0) {
        value.type = kHiveTypeBinary;
        if (!ParseHexBytes(rest.substr(4), value.data)) return std::nullopt;
        return value;
    }
    if (rest.rfind("hex(", 0) == 0) {
        std::size_t close = rest.find("):");
        if (close == std::string::npos || close == 4 || close > 12) return std::nullopt;
        std::uint32_t type = 0;
        for (std::size_t i = 4; i < close; ++i) {
            int d = HexDigit(rest[i]);
            if (d < 0) return std::nullopt;
            type = type * 16 + static_cast<std::uint32_t>(d);
        }
        value.type = type;
        if (!ParseHexBytes(rest.substr(close + 2), value.data)) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

void AppendValue(std::string& out, const HiveValue& value) {
    AppendQuoted(out, value.name);
    out += '=';
    const std::string& d = value.data;
    if (value.type == kHiveTypeString && !d.empty() && d.back() == '\0' &&
        d.find('\0') == d.size() - 1) {
        AppendQuoted(out, d.substr(0, d.size() - 1));
    } else if (value.type == kHiveTypeDword && d.size() == 4) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d[i]);
        out += "dword:";
        for (int shift = 28; shift >= 0; shift -= 4) out += kHexDigits[(v >> shift) & 15];
    } else {
        if (value.type == kHiveTypeBinary) {
            out += "hex:";
        } else {
            out += "hex(";
            char buf[9];
            int n = 0;
            std::uint32_t t = value.type;
            do {
                buf[n++] = kHexDigits[t & 15];
                t >>= 4;
            } while (t != 0);
            while (n > 0) out += buf[--n];
            out += "):";
        }
        for (std::size_t i = 0; i < d.size(); ++i) {
            if (i != 0) out += ',';
            unsigned char c = static_cast<unsigned char>(d[i]);
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
        }
    }
    out += '\n';
}

std::string EnvPath(const char* name) {
    const char* v = ::getenv(name);
    return (v != nullptr) ? std::string(v) : std::string();
}

std::filesystem::path HomeFolder() {
    std::string home = EnvPath("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

// Reads an open file to its end. Nothing (with the last error set) on failure.
std::optional<std::string> ReadWholeFd(int fd) {
    std::string text;
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastErrorFromErrno();
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxHiveFileSize) {
            SetLastError(EFBIG);
            return std::nullopt;
        }
    }
    return text;
}

// What tells one version of a file from another without reading it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;

    bool operator==(const FileIdentity&) const = default;
};

std::int64_t Nanoseconds(const timespec& t) noexcept {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileIdentity IdentityOf(const struct stat& st) noexcept {
    return {st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// A file changed this recently when it was read may change again without moving its times.
constexpr std::int64_t kSettledNs = 1000000000;

std::atomic<std::uint64_t> g_parseCount{0};

std::optional<HiveDocument> CountedParse(const std::string& text) {
    g_parseCount.fetch_add(1, std::memory_order_relaxed);
    return ParseHive(text);
}

std::string LowerAscii(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = AsciiLower(c);
    return out;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool MakeFolders(const std::filesystem::path& folder, mode_t mode) {
    if (folder.empty()) return true;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
    if (!MakeFolders(folder.parent_path() == folder ? std::filesystem::path() : folder.parent_path(), mode))
        return false;
    return ::mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

// Whom a rewritten hive belongs to and the permission bits it keeps. A process running as root
// for a player (the elevated updater) must not take the player's file, or its lock, from them.
struct HiveOwner {
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

// The file's own owner and mode; for a new file, the owner of its folder and the default mode.
// A private hive is always written 0600.
HiveOwner OwnerOf(const std::filesystem::path& file, const std::filesystem::path& folder, mode_t defaultMode,
                  bool privateFile) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return {st.st_uid, st.st_gid, privateFile ? defaultMode : (st.st_mode & 0777)};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) == 0) return {st.st_uid, st.st_gid, defaultMode};
    return {::geteuid(), ::getegid(), defaultMode};
}

bool TakeOwner(int fd, const HiveOwner& owner) { return GiveToOwner(fd, owner.uid, owner.gid); }

// Holds an exclusive flock on a lock file for its lifetime; the lock file belongs to the hive's
// owner.
class HiveLock {
public:
    HiveLock(const std::filesystem::path& lockFile, const HiveOwner& owner) {
        fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, owner.mode);
        if (fd_ < 0) return;
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_nlink == 1 && !TakeOwner(fd_, owner))) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~HiveLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    bool Held() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace

// One parsed version of a file, never changed once built, so readers share it without a lock.
// The tables make every lookup a hash probe: a hive near the size limit holds many keys.
struct SettingsHive::Parsed {
    HiveDocument document;
    std::unordered_map<std::string, std::size_t> keys;  // lower-case path -> index in document.keys
    std::unordered_set<std::string> parents;            // lower-case paths above a stored key

    explicit Parsed(HiveDocument doc) : document(std::move(doc)) {
        for (std::size_t i = 0; i < document.keys.size(); ++i) {
            std::string lower = LowerAscii(document.keys[i].path);
            for (std::size_t cut = lower.find('\\'); cut != std::string::npos; cut = lower.find('\\', cut + 1))
                parents.insert(lower.substr(0, cut));
            keys.emplace(std::move(lower), i);
        }
    }
    const HiveKey* FindKey(const std::string& path) const {
        auto it = keys.find(LowerAscii(TrimKeyPath(path)));
        return it == keys.end() ? nullptr : &document.keys[it->second];
    }
    bool HasKey(const std::string& path) const {
        const std::string wanted = LowerAscii(TrimKeyPath(path));
        return wanted.empty() || keys.count(wanted) != 0 || parents.count(wanted) != 0;
    }
};

namespace {

using ParsedHive = std::shared_ptr<const SettingsHive::Parsed>;

// The process-wide cache of parsed hives by path.
class HiveCache {
public:
    static HiveCache& Instance() {
        static HiveCache* cache = new HiveCache;  // outlives every thread that may still read
        return *cache;
    }

    // The cached copy of path when it was taken at this identity and may be trusted (hit);
    // a hit with null is a file known not to parse.
    ParsedHive Find(const std::string& path, const FileIdentity& identity, bool& hit) {
        std::lock_guard<std::mutex> lock(mutex_);
        hit = false;
        auto it = entries_.find(path);
        if (it == entries_.end() || !it->second.trusted || !(it->second.identity == identity)) return nullptr;
        hit = true;
        return it->second.hive;
    }
    // Remembers what was read at identity; the reading started at startedNs on the wall clock.
    void Store(const std::string& path, const FileIdentity& identity, std::int64_t startedNs, ParsedHive hive) {
        // A change stamped ahead of the clock (a skewed clock, a copied file) cannot be one made
        // within the current tick: trusted too, or every read of such a file would parse it.
        const std::int64_t age = startedNs - std::max(identity.modifiedNs, identity.changedNs);
        Put(path, Entry{identity, age >= kSettledNs || age < 0, std::move(hive)});
    }
    // This process's own write: its content is known, whatever the clock says.
    void StoreOwn(const std::string& path, const FileIdentity& identity, ParsedHive hive) {
        Put(path, Entry{identity, true, std::move(hive)});
    }
    void Drop(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.erase(path);
    }
    std::int64_t Now() {
        std::function<std::int64_t()> clock;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            clock = clock_;
        }
        if (clock) return clock();
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return Nanoseconds(now);
    }
    void SetClock(std::function<std::int64_t()> clock) {
        std::lock_guard<std::mutex> lock(mutex_);
        clock_ = std::move(clock);
    }

private:
    struct Entry {
        FileIdentity identity;
        bool trusted = false;
        ParsedHive hive;  // null: the file could not be parsed
    };
    void Put(const std::string& path, Entry entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.insert_or_assign(path, std::move(entry));
    }

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::function<std::int64_t()> clock_;
};

}  // namespace

std::uint64_t HiveFileParseCount() noexcept { return g_parseCount.load(std::memory_order_relaxed); }

void SetHiveClockForTesting(std::function<std::int64_t()> nowNs) { HiveCache::Instance().SetClock(std::move(nowNs)); }

bool HiveNamesEqual(const std::string& a, const std::string& b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

HiveKey* HiveDocument::FindKey(const std::string& path) {
    std::string wanted = TrimKeyPath(path);
    for (auto& key : keys)
        if (HiveNamesEqual(key.path, wanted)) return &key;
    return nullptr;
}

const HiveKey* HiveDocument::FindKey(const std::string& path) const {
    return const_cast<HiveDocument*>(this)->FindKey(path);
}

bool HiveDocument::HasKey(const std::string& path) const {
    std::string wanted = TrimKeyPath(path);
    if (wanted.empty()) return true;
    for (const auto& key : keys) {
        if (HiveNamesEqual(key.path, wanted)) return true;
        if (key.path.size() > wanted.size() && key.path[wanted.size()] == '\\' &&
            HiveNamesEqual(key.path.substr(0, wanted.size()), wanted))
            return true;
    }
    return false;
}

void HiveDocument::SetValue(const std::string& path, HiveValue value) {
    HiveKey* key = FindKey(path);
    if (key == nullptr) {
        keys.push_back(HiveKey{TrimKeyPath(path), {}});
        key = &keys.back();
    }
    for (auto& existing : key->values) {
        if (HiveNamesEqual(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    key->values.push_back(std::move(value));
}

std::optional<HiveDocument> ParseHive(const std::string& text) {
    HiveDocument doc;
    // Keys and values are found by their case-folded names, so that the parse stays linear in
    // the size of the file however many keys and values it holds.
    std::unordered_map<std::string, std::size_t> keyIndex;
    std::vector<std::unordered_map<std::string, std::size_t>> valueIndex;
    constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);
    std::size_t current = kNoKey;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::size_t b = start, e = end;
        start = end + 1;
        while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
        while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r')) --e;
        const std::string line = text.substr(b, e - b);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.find('\0') != std::string::npos) return std::nullopt;
        if (line[0] == '[') {
            if (line.back() != ']') return std::nullopt;
            std::string path = TrimKeyPath(line.substr(1, line.size() - 2));
            if (path.empty()) return std::nullopt;
            const auto [it, added] = keyIndex.emplace(LowerAscii(path), doc.keys.size());
            if (added) {
                doc.keys.push_back(HiveKey{std::move(path), {}});
                valueIndex.emplace_back();
            }
            current = it->second;
            continue;
        }
        if (current == kNoKey) return std::nullopt;
        auto value = ParseValueLine(line);
        if (!value) return std::nullopt;
        HiveKey& key = doc.keys[current];
        const auto [it, added] = valueIndex[current].emplace(LowerAscii(value->name), key.values.size());
        if (added) {
            key.values.push_back(std::move(*value));
        } else {
            key.values[it->second].type = value->type;
            key.values[it->second].data = std::move(value->data);
        }
    }
    return doc;
}

std::string SerializeHive(const HiveDocument& document) {
    std::string out = "; Trailstarter settings hive (see docs/settings-format.md)\n";
    for (const auto& key : document.keys) {
        out += "\n[";
        out += key.path;
        out += "]\n";
        for (const auto& value : key.values) AppendValue(out, value);
    }
    return out;
}

SettingsHive::SettingsHive(std::filesystem::path file, bool privateFile)
    : file_(std::move(file)), private_(privateFile) {}

std::filesystem::path SettingsHive::UserHivePath() {
    std::string over = EnvPath("TRAILSTARTER_USER_HIVE");
    if (!over.empty()) return over;
    std::string config = EnvPath("XDG_CONFIG_HOME");
    std::filesystem::path base = (!config.empty() && config[0] == '/') ? std::filesystem::path(config)
                                                                        : HomeFolder() / ".config";
    return base / "Corvane" / "settings.reg";
}

std::filesystem::path SettingsHive::MachineHivePath() {
    std::string over = EnvPath("TRAILSTARTER_MACHINE_HIVE");
    if (!over.empty()) return over;
    return "/etc/Corvane/settings.reg";
}

SettingsHive SettingsHive::ForRoot(HiveRoot root) {
    return root == HiveRoot::CurrentUser ? SettingsHive(UserHivePath(), true)
                                         : SettingsHive(MachineHivePath(), false);
}

std::shared_ptr<const SettingsHive::Parsed> SettingsHive::Load() const {
    HiveCache& cache = HiveCache::Instance();
    const std::string path = file_.string();
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
        SetLastErrorFromErrno();
        cache.Drop(path);
        return nullptr;
    }
    bool hit = false;
    ParsedHive parsed = cache.Find(path, IdentityOf(st), hit);
    if (hit) {
        if (!parsed) SetLastError(EBADMSG);
        return parsed;
    }

    // Taken before the read: a change during the read counts as recent.
    const std::int64_t started = cache.Now();
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return nullptr;
    }
    struct stat before {}, after {};
    const bool statted = ::fstat(fd, &before) == 0;
    auto text = ReadWholeFd(fd);
    const bool unchanged = statted && ::fstat(fd, &after) == 0 && IdentityOf(before) == IdentityOf(after);
    ::close(fd);
    if (!text) return nullptr;
    auto doc = CountedParse(*text);
    parsed = doc ? std::make_shared<const Parsed>(std::move(*doc)) : nullptr;
    // Written while we read: what we have may be neither version, so it is not kept.
    if (unchanged)
        cache.Store(path, IdentityOf(before), started, parsed);
    else
        cache.Drop(path);
    if (!parsed) SetLastError(EBADMSG);
    return parsed;
}

bool SettingsHive::KeyExists(const std::string& key) const {
    auto parsed = Load();
    return parsed && parsed->HasKey(key);
}

std::optional<HiveValue> SettingsHive::GetValue(const std::string& key, const std::string& name) const {
    auto parsed = Load();
    if (!parsed) return std::nullopt;
    const HiveKey* k = parsed->FindKey(key);
    if (k == nullptr) return std::nullopt;
    for (const auto& v : k->values)
        if (HiveNamesEqual(v.name, name)) return v;
    return std::nullopt;
}

std::optional<std::vector<std::string>> SettingsHive::GetValueNames(const std::string& key) const {
    auto parsed = Load();
    if (!parsed || !parsed->HasKey(key)) return std::nullopt;
    std::vector<std::string> names;
    if (const HiveKey* k = parsed->FindKey(key))
        for (const auto& v : k->values) names.push_back(v.name);
    return names;
}

bool SettingsHive::SetValue(const std::string& key, const std::string& name, std::uint32_t type,
                            const std::string& data) {
    if (TrimKeyPath(key).empty() || HasControlCharacter(key)) {
        SetLastError(EINVAL);
        return false;
    }
    const mode_t fileMode = private_ ? 0600 : 0644;
    const mode_t folderMode = private_ ? 0700 : 0755;
    std::filesystem::path folder = file_.parent_path();
    if (!MakeFolders(folder, folderMode)) {
        SetLastErrorFromErrno();
        return false;
    }
    const HiveOwner owner = OwnerOf(file_, folder, fileMode, private_);
    std::filesystem::path lockFile = file_;
    lockFile += ".lock";
    HiveLock lock(lockFile, owner);
    if (!lock.Held()) {
        SetLastErrorFromErrno();
        return false;
    }

    HiveDocument doc;
    if (auto parsed = Load()) {
        doc = parsed->document;
    } else if (GetLastError() != ENOENT) {
        return false;  // never overwrite a file we do not understand (EBADMSG)
    }
    doc.SetValue(key, HiveValue{name, type, data});
    std::string text = SerializeHive(doc);
    HiveCache& cache = HiveCache::Instance();
    const std::string path = file_.string();

    std::filesystem::path temp = file_;
    temp += ".tmp";
    // Made afresh, never opened through what another process left at that name (a link above all).
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {
        SetLastErrorFromErrno();
        return false;
    }
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, owner.mode);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return false;
    }
    struct stat written {};
    bool ok = TakeOwner(fd, owner) && ::fchmod(fd, owner.mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0 &&
              ::fstat(fd, &written) == 0;
    if (!ok) SetLastErrorFromErrno();
    if (::close(fd) != 0 && ok) {
        SetLastErrorFromErrno();
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), file_.c_str()) != 0) {
        SetLastErrorFromErrno();
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Our copy stands for the file only if the file is the one we just renamed into place.
    struct stat placed {};
    if (::stat(file_.c_str(), &placed) == 0 && placed.st_dev == written.st_dev && placed.st_ino == written.st_ino &&
        static_cast<std::size_t>(placed.st_size) == text.size())
        cache.StoreOwn(path, IdentityOf(placed), std::make_shared<const Parsed>(std::move(doc)));
    else
        cache.Drop(path);
    int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace Vel::Platform
