#include "xorg_display.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace orvex::test {

namespace {

using namespace std::chrono_literals;

// Enough video memory for the framebuffer; no input devices, so the server
// asks nothing of udev and touches no real hardware. The one output shows
// the whole framebuffer: the server keeps the pointer inside what its
// outputs show, and the two monitors are parts of it.
constexpr const char* Config = R"(Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoEnableDevices" "false"
    Option "DontVTSwitch" "true"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 16384
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0 - 1000.0
    VertRefresh 5.0 - 200.0
    Modeline "1440x600" 68.75 1440 1496 1640 1840 600 603 613 624 -hsync +vsync
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1440x600"
        Virtual 1440 600
    EndSubSection
EndSection
)";

// The server's verdict on the last request, in place of Xlib's default
// handler, which ends the process.
std::atomic<int> LastXError{0};
int RecordXError(Display*, XErrorEvent* e) {
    LastXError = e->error_code;
    return 0;
}

// Runs request and waits for the server to carry it out; true when it did
// without an error.
template <class F>
bool Request(Display* d, F request) {
    LastXError = 0;
    auto previous = XSetErrorHandler(RecordXError);
    request();
    XSync(d, False);
    XSetErrorHandler(previous);
    return LastXError == 0;
}

std::string LogTail(const std::string& path) {
    std::string log = ReadWholeFile(path);
    return log.size() > 1500 ? log.substr(log.size() - 1500) : log;
}

}  // namespace

TwoMonitorXorg::~TwoMonitorXorg() {
    if (Control_)
        XCloseDisplay(Control_);
    // A server ended by SIGTERM removes its lock file and socket; SIGKILL
    // (the child's own last resort) would leave them behind.
    if (Server_.Running()) {
        Server_.Signal(SIGTERM);
        (void)Server_.Wait(10s);
    }
}

bool TwoMonitorXorg::Start(std::string* why) {
    std::string server = "/usr/lib/xorg/Xorg";
    if (::access(server.c_str(), X_OK) != 0)
        server = "/usr/bin/Xorg";
    if (::access(server.c_str(), X_OK) != 0) {
        *why = "Xorg is not installed";
        return false;
    }
    if (!std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so")) {
        *why = "the dummy video driver is not installed";
        return false;
    }
    const std::string config = Dir_.File("xorg.conf");
    std::ofstream(config) << Config;
    std::filesystem::create_directory(Dir_.File("xorg.conf.d"));
    const std::string out = Dir_.File("xorg.out"), log = Dir_.File("xorg.log");
    // The server picks a free display and writes its number to stdout. It
    // ends when its last client goes: the fixture holds a connection for as
    // long as it lives, so a test program that crashes leaves no server.
    if (!Server_.Start(
            {server, "-displayfd", "1", "-config", config, "-configdir", Dir_.File("xorg.conf.d"),
             "-logfile", log, "-terminate", "-nolisten", "tcp", "-novtswitch", "-sharevts"},
            out, Dir_.File("xorg.err"))) {
        *why = "cannot start " + server;
        return false;
    }
    const bool ready = WaitUntil(
        [&] { return ReadWholeFile(out).find('\n') != std::string::npos || !Server_.Running(); },
        20s);
    if (!ready || !Server_.Running()) {
        *why = "Xorg with the dummy driver did not start here:\n" + LogTail(log) +
               ReadWholeFile(Dir_.File("xorg.err"));
        return false;
    }
    Name_ = ":" + std::to_string(std::stoi(ReadWholeFile(out)));
    Control_ = XOpenDisplay(Name_.c_str());
    if (!Control_) {
        *why = "Xorg started but does not answer at " + Name_;
        return false;
    }
    int major = 0, minor = 0;
    if (!XRRQueryVersion(Control_, &major, &minor) || (major == 1 && minor < 5)) {
        *why = "this Xorg has no RandR monitors";
        return false;
    }
    // As xrandr --fb 1440x600: the millimetres only keep the DPI sane.
    if (!Request(Control_, [&] {
            XRRSetScreenSize(Control_, DefaultRootWindow(Control_), Screen.Width, Screen.Height,
                             381, 159);
        })) {
        *why = "Xorg refuses a 1440x600 screen";
        return false;
    }
    if (!SetMonitor("LEFT", Left) || !SetMonitor("RIGHT", Right)) {
        *why = "cannot define the two monitors";
        return false;
    }
    return true;
}

bool TwoMonitorXorg::SetMonitor(const std::string& name, const ScreenRect& r, bool primary) {
    XRRMonitorInfo* m = XRRAllocateMonitor(Control_, 0);
    if (!m)
        return false;
    m->name = XInternAtom(Control_, name.c_str(), False);
    m->x = r.X;
    m->y = r.Y;
    m->width = r.Width;
    m->height = r.Height;
    m->mwidth = r.Width * 254 / 960;  // 96 dpi
    m->mheight = r.Height * 254 / 960;
    m->primary = primary ? True : False;
    // The server refuses to redefine a monitor without outputs, so an old
    // one of that name goes first; the grab keeps other clients from seeing
    // the moment in between.
    XGrabServer(Control_);
    (void)DeleteMonitor(name);
    const bool ok =
        Request(Control_, [&] { XRRSetMonitor(Control_, DefaultRootWindow(Control_), m); });
    XUngrabServer(Control_);
    XSync(Control_, False);
    XFree(m);
    return ok;
}

bool TwoMonitorXorg::DeleteMonitor(const std::string& name) {
    return Request(Control_, [&] {
        XRRDeleteMonitor(Control_, DefaultRootWindow(Control_),
                         XInternAtom(Control_, name.c_str(), False));
    });
}

std::pair<int, int> PointerOnScreen(_XDisplay* viewer) {
    Window root, child;
    int wx, wy;
    unsigned mask;
    std::pair<int, int> at{-1, -1};
    XQueryPointer(viewer, DefaultRootWindow(viewer), &root, &child, &at.first, &at.second, &wx, &wy,
                  &mask);
    return at;
}

}  // namespace orvex::test
