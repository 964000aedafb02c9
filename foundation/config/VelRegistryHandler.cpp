#include "foundation/config/VelRegistryHandler.h"

#include "foundation/core/Exception.h"
#include "platform/SettingsHive.h"

#include <algorithm>

namespace Vel {
namespace {

Platform::SettingsHive HiveOf(bool localMachine) {
    return Platform::SettingsHive::ForRoot(localMachine ? Platform::HiveRoot::LocalMachine
                                                        : Platform::HiveRoot::CurrentUser);
}

}  // namespace

bool VelRegistryHandler::KeyExists() const { return HiveOf(localMachine_).KeyExists(subKey_); }

std::vector<std::string> VelRegistryHandler::GetValueNames() const {
    auto names = HiveOf(localMachine_).GetValueNames(subKey_);
    if (!names) throw Exception();
    return std::move(*names);
}

bool VelRegistryHandler::GetString(const std::string& valueName, std::string& out) const {
    auto value = HiveOf(localMachine_).GetValue(subKey_, valueName);
    if (!value || value->data.size() > kMaxStringBytes) return false;
    const std::string& d = value->data;
    out.assign(d.data(), std::min(d.size(), d.find('\0')));
    return true;
}

bool VelRegistryHandler::GetDWORD(const std::string& valueName, std::uint32_t& out) const {
    auto value = HiveOf(localMachine_).GetValue(subKey_, valueName);
    if (!value || value->data.size() > 4) return false;
    std::uint32_t v = 0;
    for (std::size_t i = value->data.size(); i-- > 0;)
        v = (v << 8) | static_cast<unsigned char>(value->data[i]);
    out = v;
    return true;
}

bool VelRegistryHandler::SetString(const std::string& valueName, const std::string& text) {
    std::string data(text.data(), std::min(text.size(), text.find('\0')));
    data += '\0';
    return HiveOf(localMachine_).SetValue(subKey_, valueName, Platform::kHiveTypeString, data);
}

bool VelRegistryHandler::SetDWORD(const std::string& valueName, std::uint32_t value) {
    std::string data;
    for (int i = 0; i < 4; ++i) data += static_cast<char>((value >> (8 * i)) & 0xFF);
    return HiveOf(localMachine_).SetValue(subKey_, valueName, Platform::kHiveTypeDword, data);
}

}  // namespace Vel
