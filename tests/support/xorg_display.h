// A private Xorg server on the dummy video driver: one X screen of 1440x600
// that carries two monitors, LEFT 640x480+0+0 and RIGHT 800x600+640+0, the
// way a kiosk with a second monitor looks to X clients. Monitors can be
// removed and defined again while it runs.
#pragma once

#include <string>
#include <utility>

#include "platform/input-screen-layout.h"
#include "process.h"
#include "temp_root.h"

struct _XDisplay;

namespace orvex::test {

class TwoMonitorXorg {
  public:
    static constexpr ScreenRect Left{0, 0, 640, 480};
    static constexpr ScreenRect Right{640, 0, 800, 600};
    static constexpr ScreenRect Screen{0, 0, 1440, 600};

    TwoMonitorXorg() = default;
    ~TwoMonitorXorg();
    TwoMonitorXorg(const TwoMonitorXorg&) = delete;
    TwoMonitorXorg& operator=(const TwoMonitorXorg&) = delete;

    // Starts the server and lays out its screen. False, with *why, where
    // Xorg cannot run (not installed, no rights, no dummy driver).
    bool Start(std::string* why);
    // ":N", for DISPLAY.
    const std::string& Name() const { return Name_; }

    // As xrandr --setmonitor NAME (with primary, as NAME's primary flag) and
    // --delmonitor NAME; true once the server has carried them out.
    bool SetMonitor(const std::string& name, const ScreenRect& r, bool primary = false);
    bool DeleteMonitor(const std::string& name);

  private:
    TempRoot Dir_;
    ChildProcess Server_;
    std::string Name_;
    _XDisplay* Control_ = nullptr;
};

// Where the server has the pointer, in screen pixels; (-1, -1) when it
// cannot say.
std::pair<int, int> PointerOnScreen(_XDisplay* viewer);

}  // namespace orvex::test
