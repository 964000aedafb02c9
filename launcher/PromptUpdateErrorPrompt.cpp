#include "launcher/PromptUpdateErrorPrompt.h"

#include "delivery/UpdateManager.h"
#include "foundation/LocalizedStrings.h"
#include "platform/Prompt.h"

#include <vector>

namespace Vel {
namespace {

std::string Substitute(const std::string& part, const std::string& argument) {
    std::string out;
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '%' && i + 1 < part.size() && part[i + 1] == 's') {
            out += argument;
            ++i;
        } else {
            out += part[i];
        }
    }
    return out;
}

}  // namespace

ErrorEntryText FormatErrorEntry(unsigned stringId, const std::string& argument) {
    const std::string entry = LoadLocalizedString(stringId);
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto bar = entry.find('|', start);
        parts.push_back(Substitute(entry.substr(start, bar == std::string::npos ? std::string::npos : bar - start), argument));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    ErrorEntryText result;
    result.title = parts.empty() ? std::string() : parts.front();
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty()) continue;
        if (!result.text.empty()) result.text += "\n\n";
        result.text += parts[i];
    }
    if (parts.size() <= 1 && !argument.empty()) result.text = argument;
    return result;
}

bool PromptUpdateErrorPrompt::AskRetry(unsigned stringId, const std::string& argument, bool tryAgainEnabled) {
    // An aborted run, or one ending with the program, has nobody left to ask.
    if (UpdateManager::IsAbortRequested() || UpdateManager::IsShuttingDown()) return false;
    const ErrorEntryText entry = FormatErrorEntry(stringId, argument);
    const std::string caption = entry.title.empty() ? std::string(Platform::kDefaultCaption) : entry.title;
    if (!tryAgainEnabled) {
        Platform::ShowPrompt(entry.text, Platform::PromptButtons::Ok, Platform::PromptIcon::Error, caption);
        return false;
    }
    return Platform::ShowPrompt(entry.text, Platform::PromptButtons::RetryCancel, Platform::PromptIcon::Error,
                                caption) == Platform::kIdRetry;
}

}  // namespace Vel
