#pragma once
// A push button drawn from a strip of four bitmap frames, with an icon and a centred caption;
// it brightens while the mouse is over it.
//
// Contract:
// - The strip holds four frames of equal width side by side: 0 normal, 1 focused, 2 pressed,
//   3 disabled. Icon 0 is drawn on frames 0 to 2, icon 1 on frame 3; the caption is the
//   button's text in the text colour (the disabled text colour on frame 3), on one line, with
//   "&" marking the mnemonic as on any push button.
// - Frame choice on every paint: 3 when disabled, else 2 when pressed, else 1 when it has the
//   keyboard focus, else 0. The pressed frame draws its icon and caption one pixel right and
//   down.
// - The button is always exactly one frame large: a paint at any other size resizes it (keeping
//   its position) and draws nothing that time.
// - While the mouse is over it and the frame is 0 or 1, every pixel of the face but its outermost
//   one-pixel border is brightened by kHoverBrighten on each colour channel separately, capped at
//   255. The hover ends when the mouse leaves (seen by the leave event or, within
//   kHoverPollMs, by the hover timer) or when a pressed or disabled frame is drawn.
// - Until it has a strip (a button made by a layout, before SetFaces or LoadFaces), it draws as
//   a plain push button.
// - Each face is composed in a memory image and put on the widget in one step.
// - GUI thread only, like every widget; nothing is locked.

#include <QBasicTimer>
#include <QColor>
#include <QImage>
#include <QPushButton>

namespace Vel {

// The look of a button whose bitmaps come from the launcher's resources.
struct CustomButtonLook {
    QColor textColour;
    QColor disabledTextColour;
    unsigned bitmapId = 0;        // the four-frame strip
    unsigned iconId = 0;          // icon 0, frames 0 to 2
    unsigned disabledIconId = 0;  // icon 1, frame 3
    int textTop = 0;              // pixels added to the top of the caption rectangle
    int iconTop = 0;              // pixels added to the icon's top
    int iconLeft = 0;             // pixels added to the icon's left
};

class CustomButton : public QPushButton {
    Q_OBJECT
public:
    enum Frame { kNormalFrame = 0, kFocusedFrame = 1, kPressedFrame = 2, kDisabledFrame = 3 };
    static constexpr int kFrameCount = 4;
    static constexpr int kIconSize = 32;
    static constexpr int kHoverBrighten = 12;
    static constexpr int kHoverPollMs = 25;

    explicit CustomButton(QWidget* parent = nullptr);
    CustomButton(const CustomButtonLook& look, QWidget* parent = nullptr);

    // Takes the strip and icons from the bitmap resources; false (and the button unchanged) when
    // one of them is missing.
    bool LoadFaces(const CustomButtonLook& look);
    // Takes the strip and icons as given; a strip narrower than four pixels is refused.
    bool SetFaces(const QImage& strip, const QImage& icon, const QImage& disabledIcon, QColor textColour,
                  QColor disabledTextColour, int textTop, int iconTop, int iconLeft);

    bool HasFaces() const { return !strip_.isNull(); }
    QSize FrameSize() const { return {frameWidth_, frameHeight_}; }
    int ChooseFrame() const;
    // The frame last drawn, -1 before the first draw.
    int CurrentFrame() const { return currentFrame_; }
    bool IsHovered() const { return hovered_; }

    // One face: the frame's part of the strip, brightened by `brighten` when not 0, with the icon
    // and caption placed relative to `rect`.
    QImage DrawFace(const QRect& rect, int frame, int brighten) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void timerEvent(QTimerEvent* e) override;

private:
    void OnMouseHover();
    void OnMouseLeave();
    // Stops the hover timer and clears the hover; true when the button was hovered.
    bool EndHover();

    QColor textColour_;
    QColor disabledTextColour_;
    int textTop_ = 0;
    int iconTop_ = 0;
    int iconLeft_ = 0;
    int currentFrame_ = -1;
    int frameWidth_ = 0;
    int frameHeight_ = 0;
    QImage strip_;
    QImage icons_[2];
    bool hovered_ = false;
    QBasicTimer hoverTimer_;
};

// Adds `amount` to each colour channel of every pixel but the outermost one-pixel border,
// capping each channel at 255; alpha is kept. Images under three pixels high, and an amount of
// 0, are left alone. The image is converted to ARGB32 first when it is in another format.
void BrightenFace(QImage& face, int amount);

}  // namespace Vel
