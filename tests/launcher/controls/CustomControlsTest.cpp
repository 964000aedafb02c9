#include "launcher/controls/BitmapResources.h"
#include "launcher/controls/CustomButton.h"
#include "launcher/controls/CustomProgressbar.h"

#include "tests/support/PumpUntil.h"
#include "tests/support/QtApp.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>

#include <gtest/gtest.h>

namespace Vel {
namespace {

using Vel::Test::App;
using Vel::Test::PumpUntil;

constexpr int kFrameW = 64;
constexpr int kFrameH = 48;
constexpr int kIconTop = 2;
// Each frame is one colour with a one-pixel rim of another.
const QRgb kFrameFill[4] = {0xFFF880FA, 0xFF204060, 0xFF600000, 0xFF303030};
constexpr QRgb kRim = 0xFF0000FF;
constexpr QRgb kIcon = 0xFFFF00FF;
constexpr QRgb kDisabledIcon = 0xFF00FFFF;

QImage SyntheticStrip() {
    QImage strip(kFrameW * 4, kFrameH, QImage::Format_ARGB32);
    strip.fill(kRim);
    QPainter p(&strip);
    for (int f = 0; f < 4; ++f) p.fillRect(f * kFrameW + 1, 1, kFrameW - 2, kFrameH - 2, QColor::fromRgba(kFrameFill[f]));
    return strip;
}

QImage SolidIcon(QRgb colour) {
    QImage icon(32, 32, QImage::Format_ARGB32);
    icon.fill(colour);
    return icon;
}

// A button on the synthetic strip: the icon at (16, 2) to (47, 33), caption rectangle from y 30.
void Dress(CustomButton& b, const QString& text = QString()) {
    ASSERT_TRUE(b.SetFaces(SyntheticStrip(), SolidIcon(kIcon), SolidIcon(kDisabledIcon), QColor(255, 255, 0),
                           QColor(0, 255, 0), 30, kIconTop, 0));
    b.setText(text);
    b.resize(b.FrameSize());
}

QImage Grab(QWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_ARGB32); }

QRgb Brightened(QRgb c, int amount) {
    auto add = [amount](int v) { return std::min(255, v + amount); };
    return qRgba(add(qRed(c)), add(qGreen(c)), add(qBlue(c)), qAlpha(c));
}

void SendMove(QWidget& w, QPoint local, Qt::MouseButtons held = Qt::NoButton) {
    QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(w.mapToGlobal(local)), Qt::NoButton, held,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &move);
}

class CustomControlsTest : public ::testing::Test {
protected:
    void SetUp() override { App(); }
};

TEST_F(CustomControlsTest, TheMainWindowBitmapsAreCompiledIn) {
    const QImage strip = LoadBitmapResource(188);
    ASSERT_FALSE(strip.isNull());
    EXPECT_EQ(strip.width() % 4, 0);
    for (unsigned id : {196u, 198u, 199u, 201u}) {
        const QImage icon = LoadBitmapResource(id);
        EXPECT_EQ(icon.size(), QSize(32, 32)) << id;
        EXPECT_TRUE(icon.hasAlphaChannel()) << id;
    }
    EXPECT_TRUE(LoadBitmapResource(187).isNull());

    CustomButtonLook look;
    look.bitmapId = 188;
    look.iconId = 196;
    look.disabledIconId = 199;
    CustomButton button(look);
    EXPECT_TRUE(button.HasFaces());
    EXPECT_EQ(button.FrameSize(), QSize(strip.width() / 4, strip.height()));
    look.disabledIconId = 187;
    EXPECT_FALSE(CustomButton(look).HasFaces());
}

TEST_F(CustomControlsTest, FrameFollowsTheButtonState) {
    struct Case {
        const char* name;
        bool enabled, down, focus;
        int frame;
        QRgb icon;
        QPoint iconTopLeft;
    };
    const Case cases[] = {
        {"normal", true, false, false, 0, kIcon, {16, kIconTop}},
        {"focused", true, false, true, 1, kIcon, {16, kIconTop}},
        {"pressed", true, true, true, 2, kIcon, {17, kIconTop + 1}},  // shifted right and down
        {"disabled", false, true, true, 3, kDisabledIcon, {16, kIconTop}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget window;
        auto* other = new QPushButton(&window);
        other->move(0, 60);
        auto* b = new CustomButton(&window);
        Dress(*b);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(PumpUntil([&] { return window.isActiveWindow(); }));
        (c.focus ? static_cast<QWidget*>(b) : other)->setFocus();
        b->setDown(c.down);
        b->setEnabled(c.enabled);
        ASSERT_EQ(b->hasFocus(), c.focus && c.enabled);

        EXPECT_EQ(b->ChooseFrame(), c.frame);
        const QImage face = Grab(*b);
        EXPECT_EQ(b->CurrentFrame(), c.frame);
        EXPECT_EQ(face.pixel(0, 0), kRim);
        EXPECT_EQ(face.pixel(kFrameW - 3, kFrameH - 3), kFrameFill[c.frame]);
        const QPoint tl = c.iconTopLeft;
        EXPECT_EQ(face.pixel(tl), c.icon);
        EXPECT_EQ(face.pixel(tl + QPoint(31, 31)), c.icon);
        EXPECT_NE(face.pixel(tl - QPoint(1, 1)), c.icon);
        EXPECT_NE(face.pixel(tl + QPoint(32, 32)), c.icon);
    }
}

// The caption is drawn in the text colour, and in the disabled text colour on the disabled frame.
TEST_F(CustomControlsTest, CaptionColourFollowsTheFrame) {
    CustomButton b;
    Dress(b, QStringLiteral("MMM"));
    QFont font = b.font();
    font.setPixelSize(14);
    font.setBold(true);
    b.setFont(font);
    auto count = [](const QImage& face, QRgb colour) {
        int n = 0;
        for (int y = 34; y < kFrameH - 1; ++y)
            for (int x = 1; x < kFrameW - 1; ++x) n += face.pixel(x, y) == colour;
        return n;
    };
    const QImage enabled = Grab(b);
    EXPECT_GT(count(enabled, 0xFFFFFF00), 0);
    EXPECT_EQ(count(enabled, 0xFF00FF00), 0);
    b.setEnabled(false);
    const QImage disabled = Grab(b);
    EXPECT_EQ(count(disabled, 0xFFFFFF00), 0);
    EXPECT_GT(count(disabled, 0xFF00FF00), 0);
}

TEST_F(CustomControlsTest, PlacedAtAnotherSizeItTakesTheFrameSize) {
    QWidget window;
    auto* b = new CustomButton(&window);
    Dress(*b);
    b->setGeometry(10, 20, 100, 20);
    Grab(*b);
    EXPECT_EQ(b->geometry(), QRect(10, 20, kFrameW, kFrameH));
    EXPECT_EQ(b->CurrentFrame(), -1);  // nothing drawn at the wrong size
    Grab(*b);
    EXPECT_EQ(b->CurrentFrame(), 0);
}

// Each channel grows on its own and stops at 255 (never carrying into the next channel or the
// alpha); the outermost pixels stay as they were.
TEST_F(CustomControlsTest, BrighteningAddsToEachChannelCappedAt255) {
    struct Case {
        QRgb in;
        int amount;
        QRgb out;
    };
    const Case cases[] = {
        {0xFFF880FA, 12, 0xFFFF8CFF},
        {0xFF000000, 12, 0xFF0C0C0C},
        {0x80FFFFFF, 12, 0x80FFFFFF},
        {0xFF102030, 0, 0xFF102030},
    };
    for (const auto& c : cases) {
        QImage face(5, 4, QImage::Format_ARGB32);
        face.fill(c.in);
        BrightenFace(face, c.amount);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x) {
                const bool border = x == 0 || y == 0 || x == 4 || y == 3;
                EXPECT_EQ(face.pixel(x, y), border ? c.in : c.out) << std::hex << c.in << " at " << x << "," << y;
            }
    }
    QImage flat(5, 2, QImage::Format_ARGB32);
    flat.fill(0xFF101010);
    BrightenFace(flat, 12);
    EXPECT_EQ(flat.pixel(2, 1), 0xFF101010u);
}

TEST_F(CustomControlsTest, HoverBrightensTheFaceUntilTheMouseLeaves) {
    QWidget window;
    window.resize(200, 120);
    auto* b = new CustomButton(&window);
    Dress(*b);
    b->setFocusPolicy(Qt::NoFocus);  // frame 0 throughout
    b->move(20, 20);
    window.show();
    QCursor::setPos(window.mapToGlobal(QPoint(150, 100)));
    Grab(*b);
    ASSERT_EQ(b->CurrentFrame(), 0);
    const QPoint inside(5, 40);  // below the icon

    // A move with the left button held is a drag, not a hover.
    SendMove(*b, inside, Qt::LeftButton);
    EXPECT_FALSE(b->IsHovered());

    QCursor::setPos(b->mapToGlobal(inside));
    SendMove(*b, inside);
    ASSERT_TRUE(b->IsHovered());
    QImage face = Grab(*b);
    EXPECT_EQ(face.pixel(inside), Brightened(kFrameFill[0], CustomButton::kHoverBrighten));
    EXPECT_EQ(face.pixel(inside), 0xFFFF8CFFu);
    EXPECT_EQ(face.pixel(0, 40), kRim);  // the rim is not brightened
    EXPECT_EQ(face.pixel(kFrameW - 1, kFrameH - 1), kRim);

    // The poll keeps a hover whose cursor stays inside, and ends it once the cursor is out.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 2 * CustomButton::kHoverPollMs);
    EXPECT_TRUE(b->IsHovered());
    QCursor::setPos(window.mapToGlobal(QPoint(190, 110)));
    ASSERT_TRUE(PumpUntil([&] { return !b->IsHovered(); }, std::chrono::seconds(2)));
    EXPECT_EQ(Grab(*b).pixel(inside), kFrameFill[0]);

    // The leave event ends it as well.
    QCursor::setPos(b->mapToGlobal(inside));
    SendMove(*b, inside);
    ASSERT_TRUE(b->IsHovered());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(b, &leave);
    EXPECT_FALSE(b->IsHovered());
    EXPECT_EQ(Grab(*b).pixel(inside), kFrameFill[0]);
}

TEST_F(CustomControlsTest, PressedAndDisabledFacesAreNeverBrightened) {
    for (bool pressed : {true, false}) {
        SCOPED_TRACE(pressed ? "pressed" : "disabled");
        CustomButton b;
        Dress(b);
        Grab(b);
        const QPoint inside(5, 40);
        SendMove(b, inside);
        ASSERT_TRUE(b.IsHovered());
        if (pressed) b.setDown(true);
        else b.setEnabled(false);
        const int frame = pressed ? 2 : 3;
        EXPECT_EQ(Grab(b).pixel(inside), kFrameFill[frame]);
        EXPECT_FALSE(b.IsHovered());
        // Further moves over it do not start a hover either.
        SendMove(b, inside);
        EXPECT_FALSE(b.IsHovered());
    }
}

// The bar paints as the framework's does, with its four corner pixels in the window's colour,
// whether it is empty or full (the main window never hands it more than full).
TEST_F(CustomControlsTest, ProgressBarCornersAtItsEdges) {
    QWidget window;
    window.resize(240, 60);
    auto* bar = new CustomProgressbar(&window);
    bar->setStyleSheet(QStringLiteral("QProgressBar { border: 1px solid rgb(255, 0, 0); background-color: "
                                      "rgb(0, 0, 128); } QProgressBar::chunk { background-color: rgb(0, 255, 0); }"));
    bar->setTextVisible(false);
    bar->setGeometry(10, 10, 200, 21);
    bar->setRange(0, 100);
    window.show();

    const QRgb border = 0xFFFF0000, empty = 0xFF000080, chunk = 0xFF00FF00;
    struct Case {
        const char* name;
        int value;
        QRgb right;  // the pixel just inside the right border
    };
    const Case cases[] = {{"empty", 0, empty}, {"full", 100, chunk}, {"near empty", 1, empty}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bar->setValue(c.value);
        const QImage image = Grab(*bar);
        const int r = image.width() - 1, b = image.height() - 1;
        for (QPoint corner : {QPoint(0, 0), QPoint(r, 0), QPoint(0, b), QPoint(r, b)})
            EXPECT_EQ(image.pixel(corner), CustomProgressbar::kCornerColour);
        EXPECT_EQ(image.pixel(1, 0), border);
        EXPECT_EQ(image.pixel(r, 1), border);
        EXPECT_EQ(image.pixel(r - 1, b), border);
        EXPECT_EQ(image.pixel(r - 1, b / 2), c.right);
        EXPECT_EQ(image.pixel(1, b / 2), c.value > 0 ? chunk : empty);
    }

    bar->hide();
    EXPECT_EQ(Grab(*bar).pixel(0, 0), border);  // a hidden bar is the framework's alone
}

}  // namespace
}  // namespace Vel
