#pragma once
// The main window's progress bar: the framework's bar with its four corner pixels painted over
// in the window's background colour, so the bar's frame looks rounded against the window.
//
// Contract:
// - Paints as QProgressBar does, then, while visible, sets the pixels at its four corners to
//   kCornerColour. It keeps no state of its own.
// - GUI thread only, like every widget; nothing is locked.

#include <QProgressBar>

namespace Vel {

class CustomProgressbar : public QProgressBar {
    Q_OBJECT
public:
    static constexpr QRgb kCornerColour = 0xFF464646;

    explicit CustomProgressbar(QWidget* parent = nullptr) : QProgressBar(parent) {}

protected:
    void paintEvent(QPaintEvent* e) override;
};

}  // namespace Vel
