#include "foundation/files/ResourceKey.h"

#include <charconv>
#include <type_traits>

#include "foundation/core/ParameterStore.h"

namespace Vel {
namespace {

// The value of the first pair named `name`; false when there is none.
bool FindValue(const std::string& text, std::string_view name, std::string_view& value) {
    std::string needle = "&";
    needle.append(name);
    needle += '=';
    const auto at = text.find(needle);
    if (at == std::string::npos) return false;
    const auto begin = at + needle.size();
    const auto end = text.find('&', begin);
    value = std::string_view(text).substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    return true;
}

}  // namespace

template <typename T>
T ResourceBaseKey::GetParam(std::string_view name) const {
    std::string_view value;
    const bool found = FindValue(text_, name, value);
    if constexpr (std::is_same_v<T, int>) {
        return found ? ParseIntOrZero(value) : 0;
    } else if constexpr (std::is_same_v<T, float>) {
        float out = 0.0f;
        if (!found) return out;
        const auto r = std::from_chars(value.data(), value.data() + value.size(), out);
        return r.ec == std::errc() && r.ptr == value.data() + value.size() ? out : 0.0f;
    } else {
        return found ? std::string(value) : std::string();
    }
}

template <typename T>
void ResourceBaseKey::SetParam(std::string_view name, const T& value) {
    text_ += '&';
    text_.append(name);
    text_ += '=';
    if constexpr (std::is_same_v<T, std::string>) {
        text_ += value;
    } else {
        char buffer[64];
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
        if (r.ec == std::errc()) text_.append(buffer, r.ptr);
    }
}

template int ResourceBaseKey::GetParam<int>(std::string_view) const;
template float ResourceBaseKey::GetParam<float>(std::string_view) const;
template std::string ResourceBaseKey::GetParam<std::string>(std::string_view) const;
template void ResourceBaseKey::SetParam<int>(std::string_view, const int&);
template void ResourceBaseKey::SetParam<float>(std::string_view, const float&);
template void ResourceBaseKey::SetParam<std::string>(std::string_view, const std::string&);

}  // namespace Vel
