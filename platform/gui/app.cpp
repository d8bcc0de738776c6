#include "platform/gui/app.h"

#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QPixmap>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/display-probe.h"

namespace orvex {

namespace {

// Qt moves on to the next platform when the Wayland one is not installed.
bool WaylandPluginInstalled() {
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                         QStringLiteral("/platforms"));
    return !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

}  // namespace

std::unique_ptr<QApplication> CreateGuiApplication(int& argc, char** argv, const char* name) {
    // Qt aborts (a core dump) when its platform cannot connect; a person who
    // started the program from a terminal without a display needs to know
    // what to set instead.
    const std::vector<std::string> args(argv, argv + argc);
    const std::string unreachable =
        UnreachableDisplay(ChooseDisplay(args, WaylandPluginInstalled()));
    if (!unreachable.empty()) {
        std::fprintf(stderr, "%s: %s\n", QString::fromUtf8(name).toLower().toUtf8().constData(),
                     unreachable.c_str());
        return nullptr;
    }
    // Qt 6 always scales by the screen's device pixel ratio unless told not
    // to; the programs draw in the screen's own pixels, which the driver's
    // calibration maps onto.
    setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
    unsetenv("QT_SCALE_FACTOR");
    unsetenv("QT_SCREEN_SCALE_FACTORS");
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::Round);
    QCoreApplication::setApplicationName(QString::fromUtf8(name));
    auto app = std::make_unique<QApplication>(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromUtf8(name).toLower());
    return app;
}

QString ToQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::unique_ptr<QMessageBox> MakeMessageBox(std::u16string_view caption, std::u16string_view text,
                                            QWidget* owner) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, ToQString(caption),
                                             ToQString(text), QMessageBox::Ok, owner);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

void ShowMessageBox(std::u16string_view caption, std::u16string_view text, QWidget* owner) {
    MakeMessageBox(caption, text, owner)->exec();
}

bool SaveScreenshot(QWidget& widget, const std::string& path) {
    if (!widget.isVisible()) {
        widget.show();
    }
    widget.ensurePolished();
    QCoreApplication::processEvents();
    return widget.grab().save(QString::fromStdString(path), "PNG");
}

}  // namespace orvex
