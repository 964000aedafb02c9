#pragma once
// A prompt that always shows its message boxes on the GUI thread.
//
// Contract:
// - Show on the GUI thread goes straight to the inner prompt. From any other thread the box is
//   shown by the GUI thread through the dialog service while the caller waits; a wait that is
//   cancelled (the caller's job aborted, or the launcher shutting down) answers kIdCancel.
// - The inner prompt is only ever called on the GUI thread. Thread-safe; holds no lock itself.

#include "launcher/dialogs/GuiDialogService.h"
#include "platform/Prompt.h"

#include <memory>

namespace Vel {

class GuiThreadPrompt final : public Platform::IPrompt {
public:
    GuiThreadPrompt(Platform::IPrompt& inner, std::shared_ptr<GuiDialogService> service)
        : inner_(inner), service_(std::move(service)) {}

    int Show(const std::string& text, const std::string& caption, Platform::PromptButtons buttons,
             Platform::PromptIcon icon) override {
        // By value: a caller that gives up returns while the box may still be showing.
        return service_->Call([this, text, caption, buttons, icon] { return inner_.Show(text, caption, buttons, icon); },
                              Platform::kIdCancel);
    }

    Platform::IPrompt& Inner() const { return inner_; }

private:
    Platform::IPrompt& inner_;
    std::shared_ptr<GuiDialogService> service_;
};

}  // namespace Vel
