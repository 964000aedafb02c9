#pragma once
// An update error prompt that answers from a script (then Cancel) and records every question.
// Thread-safe.

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/update/UpdateErrorPrompt.h"

namespace Vel::Test {

class ScriptedUpdatePrompt final : public IUpdateErrorPrompt {
public:
    struct Question {
        unsigned stringId;
        std::string argument;
        bool tryAgainEnabled;
    };

    explicit ScriptedUpdatePrompt(std::deque<bool> answers = {}) : answers_(std::move(answers)) {}

    bool AskRetry(unsigned stringId, const std::string& argument, bool tryAgainEnabled) override {
        std::lock_guard lock(mutex_);
        questions_.push_back({stringId, argument, tryAgainEnabled});
        if (answers_.empty()) return false;
        const bool answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    std::vector<Question> Questions() const {
        std::lock_guard lock(mutex_);
        return questions_;
    }

private:
    mutable std::mutex mutex_;
    std::deque<bool> answers_;
    std::vector<Question> questions_;
};

}  // namespace Vel::Test
