// URL text (configuration, server lists) through VelURI, then a path appended to it. Input:
// the URL text, optionally followed by a NUL and the path to append.
// Properties: an accepted URL prints as text that parses to the same URL; after AppendPath the
// URL still parses again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/core/Exception.h"
#include "foundation/runtime/VelURI.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::string Reparsed(const VelURI& uri, const char* what) {
    const std::string text = uri.ToString();
    try {
        const VelURI again(text, true);
        if (again.ToString() != text) FuzzSupport::Broken(what);
    } catch (const Vel::Exception&) {
        FuzzSupport::Broken(what);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string_view text = input.substr(0, split);
    const std::string_view element = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    try {
        VelURI uri(text, true);
        Reparsed(uri, "printed URL does not parse back");
        uri.AppendPath(element);
        Reparsed(uri, "URL with appended path does not parse back");
        (void)uri.GetPathAndQuery(true);
    } catch (const Vel::Exception&) {
    }
    (void)EscapePathElement(element);
    return 0;
}
