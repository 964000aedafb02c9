#pragma once
// Reading one ContentFileInfo record of the descriptor tables from a VelMemoryStream: CRC,
// stored CRC, size, stored size (u32 each), compression, encryption (u16 each), then the
// planet text, all little-endian.
//
// Contract: a field that is not there reads as 0 (the text as empty) and leaves the stream
// failed; the record's fields are all overwritten. No state, no locks; the stream belongs to
// the calling thread.

#include "delivery/descriptors/FileDescriptors.h"
#include "foundation/data/MemoryStream.h"

namespace Vel {

VelMemoryStream& ReadContentFileInfo(VelMemoryStream& stream, ContentFileInfo& info);

}  // namespace Vel
