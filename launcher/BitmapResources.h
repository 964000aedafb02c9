#pragma once
// The launcher's bitmap resources by id (the files of resources/bitmaps/, compiled in).
//
// Contract:
// - LoadBitmapResource decodes the bitmap with that id into a new image in ARGB32 form; an id
//   with no bitmap, or bytes that do not decode, give a null image.
// - Any thread (QImage needs no GUI thread); nothing is cached or locked.

#include <QImage>

namespace Vel {

QImage LoadBitmapResource(unsigned id);

}  // namespace Vel
