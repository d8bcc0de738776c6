// orvexcal-screenshots: renders the calibration program's screens through
// its own drawing code into docs/images/ (run from the source tree; it takes
// no options). Works on Qt's offscreen platform, which it picks itself when
// no platform is chosen.
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "calibrator/front.h"
#include "calibrator/text.h"
#include "platform/gui/app.h"

namespace orvex {
namespace {

// Message boxes are drawn over the screen instead of being waited on.
class ScreenshotHost final : public QtCalibratorHost {
  public:
    using QtCalibratorHost::QtCalibratorHost;
    void MessageBox(std::u16string_view text, std::u16string_view caption) override {
        LastText = text;
        LastCaption = caption;
    }
    std::u16string LastText, LastCaption;
};

bool Save(const QImage& image, const std::string& name) {
    const std::string path = "docs/images/" + name;
    if (!image.save(QString::fromStdString(path), "PNG")) {
        std::fprintf(stderr, "orvexcal-screenshots: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("%s\n", path.c_str());
    return true;
}

void Ticks(CalibratorState& s, int n) {
    for (int i = 0; i < n; ++i)
        CountdownTick(s);
}

int Main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto app = CreateGuiApplication(argc, argv, "ORVEXCAL");
    if (!app)
        return 1;
    std::filesystem::create_directories("docs/images");

    CalibratorState s;
    s.ScreenWidth = 640;
    s.ScreenHeight = 480;
    s.VersionText = std::u16string(text::VersionPrefix) + u"6.0.1.1";
    ScreenshotHost host(s, QSize(s.ScreenWidth, s.ScreenHeight), std::string());
    s.MainWindow = &host;
    bool ok = true;

    // The first target, as a pass shows it.
    PaintWindow(s);
    PlaceTargets(s);
    DrawEscHint(s);
    ResetCountdown(s);
    s.HasMemoryBitmap = host.Canvas().CreateMemoryBitmap(34, 34);
    DrawTarget(s, 1);
    s.CountdownActive = 1;
    ShowPrompt(s, text::TouchTarget);
    Ticks(s, 4);
    ok &= Save(host.Image(), "calibrator-target.png");

    // A finger already on the panel at the start.
    EraseTarget(s, 1);
    ResetCountdown(s);
    ShowPrompt(s, text::LiftOffToStart);
    Ticks(s, 12);
    ok &= Save(host.Image(), "calibrator-lift-off.png");

    // Thirty seconds without a touch: the bar is full and red.
    Ticks(s, 18);
    ok &= Save(host.Image(), "calibrator-countdown.png");

    // The review screen with SAVE held down.
    s.CountdownActive = 0;
    s.ReviewMode = 1;
    ResetCountdown(s);
    DrawReviewScreen(s);
    DrawButtonDown(s, ReviewButtonRect(s, ReviewButton::Save), text::Save);
    ok &= Save(host.Image(), "calibrator-review.png");

    // Four samples that fit no orientation.
    s.ReviewMode = 0;
    host.Canvas().FillRect(ReviewArea(s), ColorWhite);
    ResetCountdown(s);
    ShowPrompt(s, text::LiftOffToNextStep);
    for (int i = 1; i <= 4; ++i) {
        s.SampleX[i] = 0xFFFF;
        s.SampleY[i] = 0xFFFF;
    }
    CheckPanelDirection(s);
    auto box = MakeCalibratorMessageBox(host.LastCaption, host.LastText, &host.Window());
    box->adjustSize();
    QImage screen = host.Image().copy();
    {
        const QPixmap boxImage = box->grab();
        QPainter p(&screen);
        p.drawPixmap((screen.width() - boxImage.width()) / 2,
                     (screen.height() - boxImage.height()) / 2, boxImage);
    }
    ok &= Save(screen, "calibrator-direction-error.png");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace orvex

int main(int argc, char** argv) {
    return orvex::Main(argc, argv);
}
