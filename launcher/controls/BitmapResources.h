#pragma once
// The launcher's bitmap resources by id (the files of resources/bitmaps/, compiled in).
//
// Contract:
// - LoadBitmapResource decodes the bitmap with that id into a new image in ARGB32 form; an id
//   with no bitmap, or bytes that do not decode, give a null image.
// - LoadIconResource makes a window or tab icon of the bitmap with that id; an id with no
//   bitmap gives a null icon.
// - LoadBitmapResource: any thread (QImage needs no GUI thread). LoadIconResource: GUI thread
//   (icons hold pixmaps). Nothing is cached or locked.

#include <QIcon>
#include <QImage>

namespace Vel {

// The program's icon: the application's window icon (InstallProgramIcon), so every window's.
inline constexpr unsigned kProgramIconId = 128;

QImage LoadBitmapResource(unsigned id);
QIcon LoadIconResource(unsigned id);

}  // namespace Vel
