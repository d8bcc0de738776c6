// The monitor that carries the touch panel, as the programs see it: the one
// named by Platform\Input "Monitor", the monitor the X11 pointer backend maps
// the panel onto. A calibration made on any other rectangle would be applied
// to the wrong one.
#pragma once

#include <QRect>
#include <string>

class QScreen;

namespace orvex {

class Registry;

struct PanelMonitor {
    enum class Source {
        QtScreen,       // a screen Qt lists under that name
        RandrMonitor,   // a RandR monitor Qt does not list (xrandr --setmonitor)
        PrimaryScreen,  // no monitor named, and one monitor (or no X): Qt's primary screen
        FirstMonitor,   // no monitor named, several: the RandR primary, else the first
        WholeScreen,    // named but absent: all of it, as the pointer then covers
    };
    QRect Rect;                 // in device pixels, the programs' own
    QScreen* Screen = nullptr;  // the Qt screen that shows the rectangle, if any
    Source From = Source::PrimaryScreen;
};

// Looks the name up among Qt's screens first, then, on X, among the
// display's RandR monitors. An empty name means the monitor the pointer
// covers when none is named: on X with several monitors the RandR primary,
// or the first when none is primary; otherwise Qt's primary screen.
PanelMonitor FindPanelMonitor(const std::string& name);
// The same for the name the registry holds.
PanelMonitor FindPanelMonitor(Registry& reg);

}  // namespace orvex
