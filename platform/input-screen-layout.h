// Where on the screen the touch panel sits. A kiosk may drive several
// monitors with one X screen; the panel covers one of them, named by
// Platform\Input "Monitor" as the window system names its monitors. Both the
// pointer backend and the calibrator place themselves with these helpers, so
// the rectangle a calibration was made on is the one touches land on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

class Registry;

struct ScreenRect {
    int X = 0, Y = 0, Width = 0, Height = 0;
    bool operator==(const ScreenRect&) const = default;
};

// "800x600+640+0", the way the window system's tools write a geometry.
std::string DescribeRect(const ScreenRect& r);

struct MonitorInfo {
    std::string Name;
    ScreenRect Rect;
    bool Primary = false;
};

struct ScreenLayout {
    ScreenRect Screen;  // the whole X screen
    std::vector<MonitorInfo> Monitors;
};

// The rectangle the panel covers: the named monitor, or the whole screen when
// no monitor of that name exists (Found says which). With no name, a screen
// of two or more monitors gives its primary monitor, or its first when none
// is primary (Chosen names it), since a calibration is made on one monitor
// and must be used on that one; a screen of one monitor gives all of it.
struct PanelPlacement {
    ScreenRect Rect;
    bool Found = false;
    std::optional<std::string> Chosen;  // no name given: the monitor picked, if any
    bool ChosenPrimary = false;
};
PanelPlacement PlacePanel(const ScreenLayout& layout, std::string_view monitor);

// What the pointer covers, for the host's log: "monitor RIGHT 800x600+640+0",
// "primary monitor RIGHT 800x600+640+0", "whole screen 1440x600+0+0", ...
std::string DescribePlacement(const PanelPlacement& p, std::string_view monitor);

// One axis of an absolute pointer position, 0..0xFFFF, onto size pixels: 0 is
// the first pixel, 0xFFFF the last, rounded to the nearest in between. Larger
// values count as 0xFFFF. The result is relative to the rectangle's origin.
int MapAbsolute(uint32_t value, int size);

// Platform\Input "Monitor", or empty when it is missing, empty or unusable
// (then *unusable, if given, says which). A name longer than the window
// system would ever give, or one with control characters, is unusable.
std::string PanelMonitorName(Registry& reg, bool* unusable = nullptr);
inline constexpr size_t MaxMonitorNameLength = 255;

// The RandR monitors of an X display ($DISPLAY when display is empty), read
// once over a connection of its own. False, with *error saying why, when no
// display answers. A server without RandR monitors gives only the screen.
bool QueryRandrLayout(const std::string& display, ScreenLayout* layout, std::string* error);

}  // namespace orvex
