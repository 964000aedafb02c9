#pragma once
// The update run's error questions (download error, updater not started, disk space) shown
// as message boxes through the process prompt, which the main window routes to the GUI thread
// (GuiThreadPrompt). It stands in for the error dialog until that dialog exists.
//
// Contract:
// - AskRetry may be called from any thread (the update pool's); it waits for the answer and
//   answers false (Cancel) when the wait is given up or no Try again is offered.
// - The entry's "|"-separated parts are the title, then the texts; "%s" in any of them is
//   replaced by the argument (the argument is never read as a format). Empty parts are left out.
// - While the run is aborted or the program shuts down nothing is shown: the answer is false.
// - Stateless.

#include "delivery/UpdateErrorPrompt.h"

#include <string>

namespace Vel {

struct ErrorEntryText {
    std::string title;
    std::string text;
};
ErrorEntryText FormatErrorEntry(unsigned stringId, const std::string& argument);

class PromptUpdateErrorPrompt final : public IUpdateErrorPrompt {
public:
    bool AskRetry(unsigned stringId, const std::string& argument, bool tryAgainEnabled) override;
};

}  // namespace Vel
