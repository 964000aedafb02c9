#include "launcher/controls/CustomProgressbar.h"

#include <QPainter>

namespace Vel {

void CustomProgressbar::paintEvent(QPaintEvent* e) {
    QProgressBar::paintEvent(e);
    if (!isVisible()) return;
    QPainter painter(this);
    painter.setPen(QColor::fromRgb(kCornerColour));
    const QRect r = rect();
    painter.drawPoint(r.left(), r.top());
    painter.drawPoint(r.right(), r.top());
    painter.drawPoint(r.left(), r.bottom());
    painter.drawPoint(r.right(), r.bottom());
}

}  // namespace Vel
