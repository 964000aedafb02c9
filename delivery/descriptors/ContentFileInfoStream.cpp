#include "delivery/descriptors/ContentFileInfoStream.h"

namespace Vel {

VelMemoryStream& ReadContentFileInfo(VelMemoryStream& stream, ContentFileInfo& info) {
    info.crc = stream.ReadUInt32();
    info.storedCrc = stream.ReadUInt32();
    info.size = stream.ReadUInt32();
    info.storedSize = stream.ReadUInt32();
    info.compression = stream.ReadUInt16();
    info.encryption = stream.ReadUInt16();
    // The text reader leaves its target alone when the stream fails.
    info.planetIds.clear();
    stream >> info.planetIds;
    if (!stream.IsGood()) info.planetIds.clear();
    return stream;
}

}  // namespace Vel
