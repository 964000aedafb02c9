#include "platform/LastError.h"

#include <cerrno>

namespace Vel::Platform {
namespace {
thread_local unsigned t_lastError = 0;
}

unsigned GetLastError() noexcept { return t_lastError; }
void SetLastError(unsigned code) noexcept { t_lastError = code; }

unsigned SetLastErrorFromErrno() noexcept {
    t_lastError = static_cast<unsigned>(errno);
    return t_lastError;
}

}  // namespace Vel::Platform
