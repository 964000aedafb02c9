// The content server list ("download_servers.xml") as the download manager reads it: the
// "downloadServer" children of the root, their trimmed text taken as server URLs.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/core/Exception.h"
#include "foundation/core/StringUtils.h"
#include "foundation/runtime/VelURI.h"
#include "foundation/files/XMLParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Vel::XMLParser parser(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parser.IsValid()) return 0;
    const Vel::XPathResult result = parser.GetRootNode().Select("downloadServer");
    for (std::size_t i = 0; i < result.GetCount() && i < 64; ++i) {
        const Vel::XMLNode node = result.GetNode(i);
        if (node.IsNull()) continue;
        const std::string server = Vel::Trim(node.GetText());
        try {
            VelURI uri(server, true);
            (void)uri.ToString();
        } catch (const Vel::Exception&) {
        }
    }
    return 0;
}
