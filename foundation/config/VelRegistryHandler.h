#pragma once
// Access to one key of the settings store, the stand-in for a registry key: a root (the current
// user's hive or the machine's) and a sub-key path below it.
//
// Contract:
// - Every operation opens the hive file, does one thing and lets go again; no file is held
//   between calls, so each read sees what other processes wrote last.
// - Reads never throw: a missing key or value, a value of the wrong size or an unreadable hive
//   gives false and leaves the out value untouched. Values are read without checking their
//   type, as the registry's query does: GetDWORD takes a value of at most 4 bytes (little
//   endian, missing high bytes zero); GetString takes a value of at most 4096 bytes, terminator
//   included, up to its first NUL or the end of the stored bytes.
// - SetString and SetDWORD create the key path when it is missing and return false on failure
//   (the thread's last error tells why). GetValueNames throws Vel::Exception with an empty text
//   when the key does not exist or cannot be read.
// - The object holds only its target; a thread may use its own handler freely, a shared one
//   only while nobody calls SetTarget.

#include <cstdint>
#include <string>
#include <vector>

namespace Vel {

class VelRegistryHandler {
public:
    // The largest string value a read accepts, terminating NUL included.
    static constexpr std::size_t kMaxStringBytes = 4096;

    explicit VelRegistryHandler(bool localMachine) : localMachine_(localMachine) {}
    VelRegistryHandler(bool localMachine, std::string subKey)
        : localMachine_(localMachine), subKey_(std::move(subKey)) {}
    virtual ~VelRegistryHandler() = default;

    void SetTarget(std::string subKey, bool localMachine) {
        subKey_ = std::move(subKey);
        localMachine_ = localMachine;
    }

    bool KeyExists() const;
    std::vector<std::string> GetValueNames() const;
    bool GetString(const std::string& valueName, std::string& out) const;
    bool GetDWORD(const std::string& valueName, std::uint32_t& out) const;
    bool SetString(const std::string& valueName, const std::string& text);
    bool SetDWORD(const std::string& valueName, std::uint32_t value);

private:
    bool localMachine_;
    std::string subKey_;
};

}  // namespace Vel
