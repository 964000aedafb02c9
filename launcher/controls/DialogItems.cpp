#include "launcher/controls/DialogItems.h"

namespace Vel {

void ReportMissingDialogItem(const std::string& name) {
    Platform::GetPrompt().Show("Internal error: Couldn't get dialog item " + name, Platform::kDefaultCaption,
                               Platform::PromptButtons::Ok, Platform::PromptIcon::Error);
}

}  // namespace Vel
