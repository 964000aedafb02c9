#pragma once
// Message boxes: one question in, the button the player chose out.
//
// Contract:
// - Every dialog question of the program goes through the installed IPrompt, so tests install
//   a scripted one and no test ever blocks on a real dialog.
// - GetPrompt returns the installed prompt, or the Qt prompt when none is installed. The Qt
//   prompt shows a QMessageBox on the GUI thread; called from another thread it hands the
//   question to the GUI thread and waits for the answer (it must not be called from another
//   thread while the GUI thread waits for that thread).
// - SetPrompt may be called from any thread; the installed object must outlive its use.

#include <string>

namespace Vel::Platform {

enum class PromptButtons { Ok, OkCancel, RetryCancel, YesNo, YesNoCancel };
enum class PromptIcon { None, Information, Warning, Error, Question };

enum PromptResult : int { kIdOk = 1, kIdCancel = 2, kIdRetry = 4, kIdYes = 6, kIdNo = 7 };

class IPrompt {
public:
    virtual ~IPrompt() = default;
    virtual int Show(const std::string& text, const std::string& caption, PromptButtons buttons,
                     PromptIcon icon) = 0;
};

IPrompt& GetPrompt();
// Installs a prompt (null restores the Qt prompt).
void SetPrompt(IPrompt* prompt);

// The caption every launcher message box carries.
inline constexpr const char* kDefaultCaption = "Trailstarter";

// Shorthand for GetPrompt().Show.
int ShowPrompt(const std::string& text, PromptButtons buttons = PromptButtons::Ok,
               PromptIcon icon = PromptIcon::None, const std::string& caption = kDefaultCaption);

}  // namespace Vel::Platform
