#include "platform/FileOwner.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Vel::Platform {

bool GiveToOwner(int fd, uid_t uid, gid_t gid) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (st.st_uid == uid && st.st_gid == gid) return true;
    return ::fchown(fd, uid, gid) == 0 || ::geteuid() != 0;
}

}  // namespace Vel::Platform
