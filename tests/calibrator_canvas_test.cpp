// The calibration screens as pixels: the program's drawing steps on its Qt
// canvas, checked at a few telling points.
#include <gtest/gtest.h>

#include "calibrator/front.h"
#include "calibrator/text.h"
#include "platform/gui/app.h"

using namespace orvex;

namespace {

TEST(CalibratorCanvas, CrossPromptFullBarAndPressedButton) {
    int argc = 1;
    char name[] = "calibrator_canvas_test";
    char* argv[] = {name, nullptr};
    auto app = CreateGuiApplication(argc, argv, "ORVEXCAL");
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

}  // namespace
