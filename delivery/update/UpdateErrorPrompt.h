#pragma once
// The modal error dialogs the update pool's jobs raise (the download error 1117, the updater
// that could not start 105), behind one question so that the jobs never depend on the dialog
// classes and tests answer from a script.
//
// Contract:
// - AskRetry shows the dialog of the string-table entry with the argument in its "%s", without
//   a parent window, modally on the calling thread (the update pool's), and returns true for
//   Try again, false for Cancel (or when the dialog cannot be shown). With tryAgainEnabled
//   false the dialog offers no Try again.
// - Implementations are called from the update pool's thread only; the object must outlive the
//   jobs that hold it.

#include <string>

namespace Vel {

class IUpdateErrorPrompt {
public:
    virtual ~IUpdateErrorPrompt() = default;
    virtual bool AskRetry(unsigned stringId, const std::string& argument, bool tryAgainEnabled) = 0;
};

// The error-dialog string-table entries these jobs use.
inline constexpr unsigned kStringDownloadError = 1117;
inline constexpr unsigned kStringUpdaterNotStarted = 105;

}  // namespace Vel
