#include "launcher/controls/CustomButton.h"

#include "launcher/controls/BitmapResources.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QTimerEvent>

#include <algorithm>

namespace Vel {
namespace {

int AddCapped(int channel, int amount) { return std::clamp(channel + amount, 0, 255); }

}  // namespace

void BrightenFace(QImage& face, int amount) {
    if (amount == 0 || face.height() < 3) return;
    if (face.format() != QImage::Format_ARGB32) face = face.convertToFormat(QImage::Format_ARGB32);
    for (int y = 1; y < face.height() - 1; ++y) {
        auto* line = reinterpret_cast<QRgb*>(face.scanLine(y));
        for (int x = 1; x < face.width() - 1; ++x) {
            const QRgb c = line[x];
            line[x] = qRgba(AddCapped(qRed(c), amount), AddCapped(qGreen(c), amount), AddCapped(qBlue(c), amount),
                            qAlpha(c));
        }
    }
}

CustomButton::CustomButton(QWidget* parent) : QPushButton(parent) { setMouseTracking(true); }

CustomButton::CustomButton(const CustomButtonLook& look, QWidget* parent) : CustomButton(parent) {
    LoadFaces(look);
}

bool CustomButton::LoadFaces(const CustomButtonLook& look) {
    const QImage strip = LoadBitmapResource(look.bitmapId);
    const QImage icon = LoadBitmapResource(look.iconId);
    const QImage disabledIcon = LoadBitmapResource(look.disabledIconId);
    if (strip.isNull() || icon.isNull() || disabledIcon.isNull()) return false;
    return SetFaces(strip, icon, disabledIcon, look.textColour, look.disabledTextColour, look.textTop, look.iconTop,
                    look.iconLeft);
}

bool CustomButton::SetFaces(const QImage& strip, const QImage& icon, const QImage& disabledIcon, QColor textColour,
                            QColor disabledTextColour, int textTop, int iconTop, int iconLeft) {
    if (strip.width() < kFrameCount || strip.height() < 1) return false;
    strip_ = strip.convertToFormat(QImage::Format_ARGB32);
    frameWidth_ = strip_.width() / kFrameCount;
    frameHeight_ = strip_.height();
    icons_[0] = icon.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    icons_[1] = disabledIcon.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    textColour_ = textColour;
    disabledTextColour_ = disabledTextColour;
    textTop_ = textTop;
    iconTop_ = iconTop;
    iconLeft_ = iconLeft;
    updateGeometry();
    update();
    return true;
}

int CustomButton::ChooseFrame() const {
    if (!isEnabled()) return kDisabledFrame;
    if (isDown()) return kPressedFrame;
    if (hasFocus()) return kFocusedFrame;
    return kNormalFrame;
}

QImage CustomButton::DrawFace(const QRect& rect, int frame, int brighten) const {
    frame = std::clamp(frame, 0, kFrameCount - 1);
    QImage face = strip_.copy(frame * frameWidth_, 0, frameWidth_, frameHeight_);
    BrightenFace(face, brighten);
    // The caption's point size resolves as it would on the widget itself.
    face.setDotsPerMeterX(qRound(logicalDpiX() / 0.0254));
    face.setDotsPerMeterY(qRound(logicalDpiY() / 0.0254));

    QPainter painter(&face);
    const QImage& icon = icons_[frame == kDisabledFrame ? 1 : 0];
    painter.drawImage(QPoint(iconLeft_ + rect.left() + frameWidth_ / 2 - kIconSize / 2, iconTop_ + rect.top()), icon);
    painter.setFont(font());
    painter.setPen(frame == kDisabledFrame ? disabledTextColour_ : textColour_);
    // An "&" marks the mnemonic, drawn underlined, as on any push button.
    constexpr int kCaptionFlags = Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic;
    painter.drawText(rect.adjusted(0, textTop_, 0, 0), kCaptionFlags, text());
    return face;
}

QSize CustomButton::sizeHint() const { return HasFaces() ? FrameSize() : QPushButton::sizeHint(); }

QSize CustomButton::minimumSizeHint() const { return HasFaces() ? FrameSize() : QPushButton::minimumSizeHint(); }

void CustomButton::paintEvent(QPaintEvent* e) {
    if (!HasFaces()) {
        QPushButton::paintEvent(e);
        return;
    }
    if (size() != FrameSize()) {
        resize(FrameSize());  // the resize repaints
        return;
    }
    const int frame = ChooseFrame();
    if (frame == kPressedFrame || frame == kDisabledFrame) EndHover();  // this paint shows it ended
    QRect rect = this->rect();
    if (frame == kPressedFrame) rect.translate(1, 1);
    const QImage face = DrawFace(rect, frame, hovered_ ? kHoverBrighten : 0);
    QPainter(this).drawImage(0, 0, face);
    currentFrame_ = frame;
}

void CustomButton::mouseMoveEvent(QMouseEvent* e) {
    if (HasFaces() && !(e->buttons() & Qt::LeftButton) &&
        (currentFrame_ == kNormalFrame || currentFrame_ == kFocusedFrame)) {
        if (QRect(QPoint(0, 0), FrameSize()).contains(e->position().toPoint())) {
            hoverTimer_.start(kHoverPollMs, this);
            if (!hovered_) OnMouseHover();
            e->accept();
            return;
        }
        OnMouseLeave();
    }
    QPushButton::mouseMoveEvent(e);
}

void CustomButton::leaveEvent(QEvent* e) {
    OnMouseLeave();
    QPushButton::leaveEvent(e);
}

void CustomButton::timerEvent(QTimerEvent* e) {
    if (e->timerId() != hoverTimer_.timerId()) {
        QPushButton::timerEvent(e);
        return;
    }
    if (currentFrame_ == kNormalFrame || currentFrame_ == kFocusedFrame) {
        if (rect().contains(mapFromGlobal(QCursor::pos()))) {
            if (!hovered_) OnMouseHover();
            return;
        }
    }
    OnMouseLeave();
}

void CustomButton::OnMouseHover() {
    hovered_ = true;
    update();
}

void CustomButton::OnMouseLeave() {
    if (EndHover()) update();
}

bool CustomButton::EndHover() {
    hoverTimer_.stop();
    const bool was = hovered_;
    hovered_ = false;
    return was;
}

}  // namespace Vel
