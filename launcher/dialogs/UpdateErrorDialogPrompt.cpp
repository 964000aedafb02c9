#include "launcher/dialogs/UpdateErrorDialogPrompt.h"

#include "delivery/update/UpdateManager.h"
#include "launcher/dialogs/ErrorDlg.h"

namespace Vel {

bool UpdateErrorDialogPrompt::AskRetry(unsigned stringId, const std::string& argument, bool tryAgainEnabled) {
    // An aborted run, or one ending with the program, has nobody left to ask.
    if (UpdateManager::IsAbortRequested() || UpdateManager::IsShuttingDown()) return false;
    return RunErrorDialog(stringId, argument, !tryAgainEnabled) == VelErrorDlg::kTryAgain;
}

}  // namespace Vel
