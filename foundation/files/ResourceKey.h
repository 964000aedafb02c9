#pragma once
// Vel::ResourceBaseKey: a text of name=value pairs, each introduced by "&"
// ("&id=12&scale=0.5&name=abc"), with typed reads and appends.
//
// Contract:
// - GetParam finds the first "&" + name + "=" in the text; the value runs to the next "&" or
//   the end. A missing name or a value that does not convert gives 0, 0.0 or "". A name that
//   only occurs inside a value is not found.
// - SetParam appends "&" + name + "=" + value; an existing pair of that name stays first, so
//   GetParam keeps returning it.
// - Numbers are read and written in the classic form whatever the process locale; a float
//   is written in its shortest exact form.
// - Instantiated for int, float and std::string. A value type; no shared state.
// - Other modules of the process call these six instantiations by name: the class keeps
//   default visibility whatever the build's default, and the launcher's executable exports
//   exactly them (launcher/app/ExportedSymbols.list).

#include <string>
#include <string_view>
#include <utility>

namespace Vel {

class [[gnu::visibility("default")]] ResourceBaseKey {
public:
    ResourceBaseKey() = default;
    explicit ResourceBaseKey(std::string text) : text_(std::move(text)) {}

    const std::string& GetText() const noexcept { return text_; }

    template <typename T>
    T GetParam(std::string_view name) const;
    template <typename T>
    void SetParam(std::string_view name, const T& value);

private:
    std::string text_;
};

extern template int ResourceBaseKey::GetParam<int>(std::string_view) const;
extern template float ResourceBaseKey::GetParam<float>(std::string_view) const;
extern template std::string ResourceBaseKey::GetParam<std::string>(std::string_view) const;
extern template void ResourceBaseKey::SetParam<int>(std::string_view, const int&);
extern template void ResourceBaseKey::SetParam<float>(std::string_view, const float&);
extern template void ResourceBaseKey::SetParam<std::string>(std::string_view, const std::string&);

}  // namespace Vel
