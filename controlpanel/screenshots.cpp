// orvexcpl-screenshots: renders the settings dialog, through the program's
// own code, on Qt's offscreen platform into <dir>/orvexcpl.png (dir defaults
// to docs/images under the current directory).
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "controlpanel/dialog.h"
#include "platform/gui/app.h"

int main(int argc, char** argv) {
    using namespace orvex;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string dir = argc > 1 ? argv[1] : "docs/images";
    auto app = CreateGuiApplication(argc, argv, "orvexcpl");

    // A typical configuration: beep on touch-down at the default pitch.
    SettingsModel model;
    model.Settings.RunRightButton = 1;
    model.Settings.FeedbackSound = SoundOnTouchDown;
    model.Settings.FeedbackTone = 2000;
    model.Settings.FeedbackDuration = 2;
    SettingsDialog dialog(model, nullptr);

    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = dir + "/orvexcpl.png";
    if (!SaveScreenshot(dialog, path)) {
        std::fprintf(stderr, "orvexcpl-screenshots: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%s\n", path.c_str());
    return 0;
}
