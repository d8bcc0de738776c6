// The calibration screens as pixels: the program's drawing steps on its Qt
// canvas, checked at a few telling points; and the pointer events the Qt
// front turns into window messages.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMouseEvent>
#include <vector>

#include "calibrator/front.h"
#include "calibrator/text.h"
#include "platform/gui/app.h"

using namespace orvex;

namespace {

class CalibratorCanvas : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "calibrator_canvas_test";
        static char* argv[] = {name, nullptr};
        App = CreateGuiApplication(argc, argv, "ORVEXCAL");
    }
    static void TearDownTestSuite() { App.reset(); }
    static inline std::unique_ptr<QApplication> App;
};

TEST_F(CalibratorCanvas, CrossPromptFullBarAndPressedButton) {
    CalibratorState s;
    s.ScreenWidth = 640;
    s.ScreenHeight = 480;
    QtCalibratorHost host(s, QSize(640, 480), std::string());
    s.MainWindow = &host;
    const QImage& image = host.Image();
    auto at = [&](int x, int y) { return image.pixel(x, y) & 0xFFFFFF; };

    PaintWindow(s);
    PlaceTargets(s);
    DrawEscHint(s);
    ResetCountdown(s);
    int red = 0;  // the title, in red, in its band
    for (int y = 70; y < 170; ++y)
        for (int x = 0; x < 640; ++x)
            red += at(x, y) == 0xFF0000;
    EXPECT_GT(red, 50);

    s.HasMemoryBitmap = host.Canvas().CreateMemoryBitmap(34, 34);
    DrawTarget(s, 3);  // centre (624, 464)
    EXPECT_EQ(at(624, 464), 0x000000u);
    EXPECT_EQ(at(623, 451), 0x000000u);  // two pixels wide, 14 up
    EXPECT_EQ(at(611, 463), 0x000000u);
    EXPECT_EQ(at(624, 478), 0xFFFFFFu);  // the end point is not drawn
    EXPECT_EQ(at(630, 470), 0xFFFFFFu);
    EraseTarget(s, 3);
    EXPECT_EQ(at(624, 464), 0xFFFFFFu);

    ShowPrompt(s, text::TouchTarget);
    EXPECT_EQ(at(195, 215), 0x008000u);  // the green box's corners
    EXPECT_EQ(at(444, 264), 0x008000u);
    EXPECT_EQ(at(194, 215), 0xFFFFFFu);

    s.CountdownActive = 1;
    for (int i = 0; i < 30; ++i)
        CountdownTick(s);
    const Rect bar = s.CountdownBar;
    EXPECT_EQ(at(bar.left, bar.top), 0x000000u);  // the frame
    EXPECT_EQ(at(bar.left + 2, bar.top + 2), 0xFF0000u);
    EXPECT_EQ(at(bar.right - 3, bar.bottom - 3), 0xFF0000u);

    s.ReviewMode = 1;
    DrawReviewScreen(s);
    DrawButtonDown(s, ReviewButtonRect(s, ReviewButton::Save), text::Save);
    EXPECT_EQ(at(195, 345), 0x808080u);
    EXPECT_EQ(at(271, 379), 0x808080u);
    EXPECT_EQ(at(280, 345), 0xC0C0C0u);  // UNDO, up
    EXPECT_EQ(at(200, 216), 0x000080u);  // the navy heading
}

TEST_F(CalibratorCanvas, AQuickSecondTapIsAButtonDownToo) {
    CalibratorState s;
    s.ScreenWidth = 640;
    s.ScreenHeight = 480;
    QtCalibratorHost host(s, QSize(640, 480), std::string());
    host.Window().show();
    const QPointF at(230, 360);
    auto deliver = [&](QEvent::Type type, Qt::MouseButtons held) {
        QMouseEvent e(type, at, host.Window().mapToGlobal(at), Qt::LeftButton, held,
                      Qt::NoModifier);
        QCoreApplication::sendEvent(&host.Window(), &e);
    };
    // Two taps at one spot within the double-click time, as Qt delivers them.
    deliver(QEvent::MouseButtonPress, Qt::LeftButton);
    deliver(QEvent::MouseButtonRelease, Qt::NoButton);
    deliver(QEvent::MouseButtonDblClick, Qt::LeftButton);
    deliver(QEvent::MouseButtonRelease, Qt::NoButton);
    std::vector<uint32_t> messages;
    WindowMessage m;
    while (host.PeekMessage(&m)) {
        messages.push_back(m.Message);
        EXPECT_EQ(m.LParam, PointerLParam(230, 360));
    }
    EXPECT_EQ(messages,
              (std::vector<uint32_t>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDOWN, WM_LBUTTONUP}));
}

}  // namespace
