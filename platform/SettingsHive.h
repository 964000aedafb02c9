#pragma once
// One settings hive: a plain text file of keys and typed values that stands in for one root of
// the Windows registry (the current user's or the machine's). The format is described in
// docs/settings-format.md.
//
// Contract:
// - Keys are full backslash-separated paths ("SOFTWARE\Corvane\Solvenda Frontier\Connection");
//   key and value names compare without regard to ASCII letter case and keep the case they were
//   first written with. A key path holds no control character (bytes below 0x20 and 0x7F): a
//   write to such a path fails with EINVAL and leaves the file as it was. A key exists when it is stored or when a stored key lies below it; a key
//   may be stored with no values. Value names are listed in file order.
// - Values keep their registry type number and their raw bytes; types this layer does not know
//   are kept as they are when the file is rewritten.
// - Reads see the file as it is at that moment (other processes write it too). The parsed
//   content is cached per path, shared by every SettingsHive object of the process, and used
//   while the file's device, inode, size and modification and change times (nanoseconds) are
//   unchanged, so a read of an unchanged hive costs a stat and a lookup, not a parse. A copy
//   read less than a second after the file's last change is parsed again on the next read (a
//   same-size change within one tick of the file system's clock would not move the times);
//   this process's own writes replace the cached copy. A missing, unreadable or unparsable file
//   reads as empty.
// - Every write takes an exclusive lock (flock on "<file>.lock"), reads the file again, applies
//   the change, writes "<file>.tmp", fsyncs it, renames it over the file and fsyncs the folder.
//   A file that cannot be parsed is never overwritten: the write fails. Failures return false
//   and leave the reason in the thread's last error (Vel::Platform::GetLastError).
// - The user hive is written with mode 0600 (it holds a password). A rewritten machine hive
//   keeps its mode, a new one is made 0644; only a process allowed to write the machine hive's
//   folder can change it.
// - A rewritten file, and its lock file, keep the owner and group of the file (of its folder
//   when the file is new): a process running as root for a player leaves them the player's. The
//   temporary file is made afresh (never opened through a link) and given that owner before it
//   is renamed; a change of owner that fails is an error only for root.
// - Any thread may call any operation; the object holds only its path. The cache is guarded by
//   one process-wide mutex, held only for lookups and updates, never while a file is read or
//   parsed. Concurrent writers in this or other processes serialise on the lock file, so no
//   write is lost.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vel::Platform {

enum class HiveRoot { CurrentUser, LocalMachine };

// Registry value type numbers.
constexpr std::uint32_t kHiveTypeString = 1;  // REG_SZ
constexpr std::uint32_t kHiveTypeBinary = 3;  // REG_BINARY
constexpr std::uint32_t kHiveTypeDword = 4;   // REG_DWORD

struct HiveValue {
    std::string name;
    std::uint32_t type = kHiveTypeBinary;
    std::string data;  // raw bytes; a string value holds its text and the terminating NUL
};

struct HiveKey {
    std::string path;
    std::vector<HiveValue> values;
};

// The parsed content of one hive file, in file order.
struct HiveDocument {
    std::vector<HiveKey> keys;

    HiveKey* FindKey(const std::string& path);
    const HiveKey* FindKey(const std::string& path) const;
    // True when the key is stored or is a parent of a stored key.
    bool HasKey(const std::string& path) const;
    // Creates the key when missing, then adds or replaces the value (keeping its position).
    void SetValue(const std::string& path, HiveValue value);
};

// The text form of a hive. ParseHive returns nothing for text that does not follow the format.
std::optional<HiveDocument> ParseHive(const std::string& text);
std::string SerializeHive(const HiveDocument& document);

class SettingsHive {
public:
    SettingsHive(std::filesystem::path file, bool privateFile);

    // The hive of a root, at the path the environment selects now: TRAILSTARTER_USER_HIVE, else
    // $XDG_CONFIG_HOME/Corvane/settings.reg, else ~/.config/Corvane/settings.reg; and
    // TRAILSTARTER_MACHINE_HIVE, else /etc/Corvane/settings.reg.
    static SettingsHive ForRoot(HiveRoot root);
    static std::filesystem::path UserHivePath();
    static std::filesystem::path MachineHivePath();

    const std::filesystem::path& File() const noexcept { return file_; }

    bool KeyExists(const std::string& key) const;
    std::optional<HiveValue> GetValue(const std::string& key, const std::string& name) const;
    // Nothing when the key does not exist (or the file cannot be read or parsed).
    std::optional<std::vector<std::string>> GetValueNames(const std::string& key) const;

    bool SetValue(const std::string& key, const std::string& name, std::uint32_t type,
                  const std::string& data);

    struct Parsed;  // a parsed file with its lookup tables

private:
    // The file's content, from the cache when it is still valid; null with the last error set
    // when it cannot be read (ENOENT when missing) or parsed (EBADMSG).
    std::shared_ptr<const Parsed> Load() const;

    std::filesystem::path file_;
    bool private_;
};

// ASCII case-insensitive equality, as key and value names compare.
bool HiveNamesEqual(const std::string& a, const std::string& b) noexcept;

// Tests: how many times a hive file has been parsed by this process (reads and writes).
std::uint64_t HiveFileParseCount() noexcept;
// Tests: replaces the wall clock (nanoseconds since 1970) against which the cache judges how
// recently a file changed; null restores the system clock. Set before other threads read.
void SetHiveClockForTesting(std::function<std::int64_t()> nowNs);

}  // namespace Vel::Platform
