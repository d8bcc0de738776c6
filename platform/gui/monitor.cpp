#include "platform/gui/monitor.h"

#include <QGuiApplication>
#include <QScreen>

#include "platform/input-screen-layout.h"

namespace orvex {

namespace {

QRect ToQRect(const ScreenRect& r) {
    return QRect(r.X, r.Y, r.Width, r.Height);
}

// The display's RandR layout, when Qt draws on X; names there are the ones
// the pointer backend looks up.
bool RandrLayout(ScreenLayout* layout) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    std::string ignored;
    return QueryRandrLayout({}, layout, &ignored);
}

QScreen* ScreenShowing(const QRect& r) {
    if (QScreen* s = QGuiApplication::screenAt(r.center()))
        return s;
    return QGuiApplication::primaryScreen();
}

}  // namespace

PanelMonitor FindPanelMonitor(const std::string& name) {
    QScreen* primary = QGuiApplication::primaryScreen();
    if (name.empty()) {
        // The pointer's own choice among the display's monitors; Qt's idea
        // of the primary screen need not be the same one.
        ScreenLayout layout;
        if (RandrLayout(&layout)) {
            const PanelPlacement p = PlacePanel(layout, name);
            if (p.Chosen) {
                const QRect r = ToQRect(p.Rect);
                QScreen* shown = ScreenShowing(r);
                for (QScreen* s : QGuiApplication::screens()) {
                    if (s->name() == QString::fromStdString(*p.Chosen))
                        shown = s;
                }
                return {r, shown, PanelMonitor::Source::FirstMonitor};
            }
        }
        return {primary ? primary->geometry() : QRect(), primary,
                PanelMonitor::Source::PrimaryScreen};
    }
    const QString wanted = QString::fromStdString(name);
    for (QScreen* s : QGuiApplication::screens()) {
        if (s->name() == wanted)
            return {s->geometry(), s, PanelMonitor::Source::QtScreen};
    }
    ScreenLayout layout;
    const bool haveLayout = RandrLayout(&layout);
    if (haveLayout) {
        const PanelPlacement p = PlacePanel(layout, name);
        if (p.Found) {
            const QRect r = ToQRect(p.Rect);
            return {r, ScreenShowing(r), PanelMonitor::Source::RandrMonitor};
        }
    }
    // The pointer covers the whole X screen while its monitor is missing;
    // a calibration must be made on the same rectangle to fit it.
    QRect whole =
        haveLayout ? ToQRect(layout.Screen) : (primary ? primary->virtualGeometry() : QRect());
    return {whole, primary, PanelMonitor::Source::WholeScreen};
}

PanelMonitor FindPanelMonitor(Registry& reg) {
    return FindPanelMonitor(PanelMonitorName(reg));
}

}  // namespace orvex
