#include "foundation/core/SystemErrorText.h"

#include "platform/ErrorMessages.h"

std::string SystemErrorText(unsigned code) {
    std::string message = Vel::Platform::ErrorMessage(code);
    const auto first = message.find_first_not_of(" \t\r\n");
    std::string result;
    if (first != std::string::npos) {
        const auto last = message.find_last_not_of(" \t\r\n");
        result = message.substr(first, last - first + 1) + " ";
    }
    result += "(error code " + std::to_string(code) + ")";
    return result;
}
