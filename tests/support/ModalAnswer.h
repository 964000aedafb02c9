#pragma once
// Answers the first window of type T that shows, from inside its modal loop: a timer on the GUI
// thread looks for a visible top-level widget of that type every few milliseconds and hands it
// to the answer once. T = QDialog catches every dialog, message boxes and the folder picker
// included. GUI thread only; for tests only.

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <utility>

namespace Vel::Test {

template <class T>
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<void(T&)> answer) : answer_(std::move(answer)) {
        timer_.setInterval(5);
        timer_.callOnTimeout([this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* window = qobject_cast<T*>(widget);
                if (window == nullptr || !window->isVisible()) continue;
                timer_.stop();
                answered_ = true;
                answer_(*window);
                return;
            }
        });
        timer_.start();
    }
    bool Answered() const { return answered_; }

private:
    std::function<void(T&)> answer_;
    QTimer timer_;
    bool answered_ = false;
};

}  // namespace Vel::Test
