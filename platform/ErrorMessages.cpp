#include "platform/ErrorMessages.h"

#include <cstring>

#include "platform/NetworkErrors.h"

namespace Vel::Platform {

std::string ErrorMessage(unsigned code) {
    if (code >= kNetworkErrorFirst && code <= kNetworkErrorLast)
        return std::string(NetworkErrorMessage(code));
    if (code == 0 || code > 4095) return {};
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in our buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (text == nullptr) return {};
    std::string result(text);
    if (result.rfind("Unknown error", 0) == 0) return {};
    return result;
}

}  // namespace Vel::Platform
