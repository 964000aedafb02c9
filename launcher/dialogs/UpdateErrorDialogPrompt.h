#pragma once
// The update run's error questions (download error, updater not started, disk space) shown as
// the error dialog, by the GUI thread, in the asking thread's language.
//
// Contract:
// - AskRetry may be called from any thread (the update pool's); it waits for the answer and
//   answers true only for Try again. A wait that is given up answers false (Cancel).
// - While the run is aborted or the program shuts down nothing is shown: the answer is false.
// - Stateless.

#include "delivery/update/UpdateErrorPrompt.h"

namespace Vel {

class UpdateErrorDialogPrompt final : public IUpdateErrorPrompt {
public:
    bool AskRetry(unsigned stringId, const std::string& argument, bool tryAgainEnabled) override;
};

}  // namespace Vel
