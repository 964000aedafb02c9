#pragma once
// A prompt that answers from a script and records every question, installed for its lifetime.
// Thread-safe: questions may come from any thread.

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Prompt.h"

namespace Vel::Test {

class ScriptedPrompt final : public Platform::IPrompt {
public:
    struct Question {
        std::string text;
        std::string caption;
        Platform::PromptButtons buttons;
        Platform::PromptIcon icon;
    };

    explicit ScriptedPrompt(std::deque<int> answers = {}, int otherwise = Platform::kIdCancel)
        : answers_(std::move(answers)), otherwise_(otherwise) {
        Platform::SetPrompt(this);
    }
    ~ScriptedPrompt() override { Platform::SetPrompt(nullptr); }

    int Show(const std::string& text, const std::string& caption, Platform::PromptButtons buttons,
             Platform::PromptIcon icon) override {
        std::lock_guard lock(mutex_);
        questions_.push_back({text, caption, buttons, icon});
        if (answers_.empty()) return otherwise_;
        const int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    std::vector<Question> Questions() const {
        std::lock_guard lock(mutex_);
        return questions_;
    }

private:
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    int otherwise_;
    std::vector<Question> questions_;
};

}  // namespace Vel::Test
