#pragma once
// Giving a file we made to the owner of what it stands for: the settings hive rewritten by an
// elevated updater, the content copied by an elevated move.
//
// Contract:
// - GiveToOwner(fd, uid, gid) changes the open file's owner and group to uid:gid unless they
//   already are. Only a failure as root is a failure (false): any other process owns what it
//   makes and may give nothing away, so it writes its own files as before. A failed fstat is
//   false. Any thread; no lock.

#include <sys/types.h>

namespace Vel::Platform {

bool GiveToOwner(int fd, uid_t uid, gid_t gid);

}  // namespace Vel::Platform
