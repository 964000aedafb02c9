// A datagram received on the router socket: unscrambled and tested in place, then read as a
// version reply, as the router connector does.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "delivery/update/RouterProtocol.h"
#include "foundation/data/MemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> datagram(data, data + size);
    VelMemoryStream payload;
    if (!Vel::RouterConnector::AcceptRouterDatagram(datagram.data(), datagram.size(), payload)) return 0;
    (void)Vel::RouterConnector::ReadVersionReply(payload);
    return 0;
}
