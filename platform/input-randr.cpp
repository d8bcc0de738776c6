#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/input-randr-xlib.h"

namespace orvex {

namespace {

// No real machine has more; a server that claims more gets the first ones.
constexpr int MaxMonitors = 64;

struct XFreeDeleter {
    void operator()(void* p) const {
        if (p)
            XFree(p);
    }
};

}  // namespace

bool RandrMonitorsSupported(Display* d) {
    int event = 0, error = 0;
    if (!XRRQueryExtension(d, &event, &error))
        return false;
    int major = 0, minor = 0;
    if (!XRRQueryVersion(d, &major, &minor))
        return false;
    return major > 1 || (major == 1 && minor >= 5);
}

bool ReadRandrLayout(Display* d, bool monitors, ScreenLayout* layout) {
    Window root = DefaultRootWindow(d);
    Window rootReturn = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, root, &rootReturn, &x, &y, &width, &height, &border, &depth))
        return false;
    ScreenLayout result;
    result.Screen = {0, 0, static_cast<int>(width), static_cast<int>(height)};
    if (monitors) {
        int count = 0;
        XRRMonitorInfo* list = XRRGetMonitors(d, root, True, &count);
        if (list) {
            count = std::clamp(count, 0, MaxMonitors);
            std::vector<Atom> atoms(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i)
                atoms[static_cast<size_t>(i)] = list[i].name;
            // One round trip for every name; a name the server cannot give
            // stays null and its monitor nameless.
            std::vector<char*> names(static_cast<size_t>(count), nullptr);
            if (count > 0)
                (void)XGetAtomNames(d, atoms.data(), count, names.data());
            for (int i = 0; i < count; ++i) {
                std::unique_ptr<char, XFreeDeleter> name(names[static_cast<size_t>(i)]);
                result.Monitors.push_back({name ? std::string(name.get()) : std::string(),
                                           {list[i].x, list[i].y, list[i].width, list[i].height},
                                           list[i].primary != 0});
            }
            XRRFreeMonitors(list);
        }
    }
    *layout = std::move(result);
    return true;
}

namespace {

void QueryConnectionLost(Display*, void* lost) {
    static_cast<std::atomic<bool>*>(lost)->store(true);
}

}  // namespace

bool QueryRandrLayout(const std::string& display, ScreenLayout* layout, std::string* error) {
    const char* name = display.empty() ? std::getenv("DISPLAY") : display.c_str();
    if (!name || !*name) {
        if (error)
            *error = "DISPLAY is not set";
        return false;
    }
    Display* d = XOpenDisplay(name);
    if (!d) {
        if (error)
            *error = std::string("no X display answers at ") + name;
        return false;
    }
    // A server that goes away mid-query must not end the caller, which is
    // what Xlib's default handler would do.
    std::atomic<bool> lost{false};
    XSetIOErrorExitHandler(d, QueryConnectionLost, &lost);
    bool ok = ReadRandrLayout(d, RandrMonitorsSupported(d), layout) && !lost.load();
    if (lost.load()) {
        // Closing would talk to the dead server again; the connection is
        // left behind instead, once.
        if (error)
            *error = std::string("the X display at ") + name + " went away";
        return false;
    }
    XCloseDisplay(d);
    if (!ok && error)
        *error = std::string("the X display at ") + name + " gave no screen size";
    return ok;
}

}  // namespace orvex
