#pragma once
// Vel::LauncherStyle: the application's widget style, the platform's own with room around the
// captions of push buttons and no icons on the standard buttons of dialogs.
//
// Contract:
// - A push button with a caption is at least kCaptionRoom pixels wider on each side than its
//   caption (its frame included), so a caption never touches its button's border in any
//   language; a wider base size stays. Heights and every other control are the base style's.
// - The standard buttons of message boxes and button boxes (OK, Cancel, Retry, Yes, No) carry
//   no icon, whatever the platform's theme says: the themes draw some of them and not others
//   (Retry has none), and the launcher's own buttons have none.
// - InstallLauncherStyle sets it on the application once, before the first window is made; GUI
//   thread only. The application owns the style.

#include <QProxyStyle>

class QApplication;

namespace Vel {

class LauncherStyle final : public QProxyStyle {
public:
    static constexpr int kCaptionRoom = 8;

    using QProxyStyle::QProxyStyle;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override;
};

void InstallLauncherStyle(QApplication& app);

}  // namespace Vel
