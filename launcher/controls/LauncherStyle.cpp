#include "launcher/controls/LauncherStyle.h"

#include <QApplication>
#include <QStyleOptionButton>

#include <algorithm>

namespace Vel {

QSize LauncherStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                      const QWidget* widget) const {
    QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
    if (type != CT_PushButton) return result;
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (button == nullptr || button->text.isEmpty()) return result;
    // The base style's minimum width may already leave the room; the caption needs its own.
    result.setWidth(std::max(result.width(), size.width() + 2 * kCaptionRoom));
    return result;
}

int LauncherStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                             QStyleHintReturn* returnData) const {
    if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}

void InstallLauncherStyle(QApplication& app) {
    if (dynamic_cast<LauncherStyle*>(QApplication::style()) != nullptr) return;
    app.setStyle(new LauncherStyle);
}

}  // namespace Vel
