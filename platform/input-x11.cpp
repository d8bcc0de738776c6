// The X11 backend: pointer events through the XTest extension on an X
// display, and posted messages as client messages to X windows.
//
// The absolute range covers one RandR monitor when one is named (the panel's
// own, on a machine with several) and the whole screen otherwise. A thread
// of the backend's own watches the display's layout over a second
// connection, so a resolution change or a monitor coming and going is
// followed at once while the reader thread never waits on a round trip: it
// only reads the rectangle the watcher last stored.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/input-randr-xlib.h"
#include "platform/input-screen-layout.h"
#include "platform/input.h"
#include "platform/uniquefd.h"
#include "platform/window-messages.h"

namespace orvex {

namespace {

// Errors from the server arrive asynchronously, mostly BadWindow for a
// handle that names no X window (a program that listens on its socket
// instead). Xlib's default handler would end the host for that.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}
int QuietIoError(Display*) {
    return 0;
}

struct DisplayClose {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

// A rectangle in one word, in the protocol's own field sizes (16-bit signed
// origin, 16-bit unsigned size), so the reader thread always sees a whole one.
uint64_t Pack(const ScreenRect& r) {
    auto u16 = [](int v, int lo, int hi) {
        return static_cast<uint64_t>(static_cast<uint16_t>(std::clamp(v, lo, hi)));
    };
    return u16(r.X, -32768, 32767) | u16(r.Y, -32768, 32767) << 16 | u16(r.Width, 0, 65535) << 32 |
           u16(r.Height, 0, 65535) << 48;
}
ScreenRect Unpack(uint64_t v) {
    return {static_cast<int16_t>(v & 0xFFFF), static_cast<int16_t>((v >> 16) & 0xFFFF),
            static_cast<int>((v >> 32) & 0xFFFF), static_cast<int>(v >> 48)};
}

using LogLine = std::function<void(const std::string&)>;

// Keeps *rect on the panel's rectangle for as long as it lives.
class LayoutWatcher {
  public:
    LayoutWatcher(DisplayPtr display, bool monitors, std::string monitor, LogLine log,
                  std::atomic<uint64_t>* rect, bool found, std::string described)
        : Display_(std::move(display)),
          Monitors_(monitors),
          Monitor_(std::move(monitor)),
          Log_(std::move(log)),
          Rect_(rect),
          Found_(found),
          Last_(Unpack(rect->load())),
          Described_(std::move(described)),
          Stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        XSetIOErrorExitHandler(Display_.get(), &LayoutWatcher::ConnectionLost, this);
        Thread_ = std::thread([this] { Run(); });
    }

    ~LayoutWatcher() {
        uint64_t one = 1;
        // Fails only on counter overflow, which one write cannot cause.
        (void)!::write(Stop_.Get(), &one, sizeof one);
        {
            // A server that stopped answering in the middle of a round trip
            // would hold the thread forever; cutting the connection ends
            // the call it is stuck in.
            std::unique_lock lock(DoneLock_);
            if (!DoneCv_.wait_for(lock, std::chrono::seconds(2), [&] { return Done_; }))
                ::shutdown(ConnectionNumber(Display_.get()), SHUT_RDWR);
        }
        Thread_.join();
        // Closing a broken connection would talk to the dead server again.
        if (Lost_.load())
            (void)Display_.release();
    }

    LayoutWatcher(const LayoutWatcher&) = delete;
    LayoutWatcher& operator=(const LayoutWatcher&) = delete;

  private:
    void Run() {
        Display* d = Display_.get();
        for (;;) {
            bool changed = false;
            // Every event selected means the layout may have changed; a burst
            // (a mode set sends one per output) is read once.
            while (!Lost_.load() && XPending(d) > 0) {
                XEvent ev;
                XNextEvent(d, &ev);
                changed = true;
            }
            if (Lost_.load())
                break;
            if (changed) {
                Refresh();
                continue;
            }
            pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {Stop_.Get(), POLLIN, 0}};
            int r = ::poll(fds, 2, -1);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 || fds[1].revents != 0 || (fds[0].revents & POLLNVAL))
                break;
        }
        std::lock_guard g(DoneLock_);
        Done_ = true;
        DoneCv_.notify_all();
    }

    void Refresh() {
        ScreenLayout layout;
        if (!ReadRandrLayout(Display_.get(), Monitors_, &layout) || Lost_.load())
            return;
        PanelPlacement p = PlacePanel(layout, Monitor_);
        Rect_->store(Pack(p.Rect));
        if (Lost_.load())
            return;
        if (Monitor_.empty()) {
            // Unnamed, the pointer goes wherever the layout's primary (or
            // first) monitor goes; the log says so when that changes.
            const std::string where = DescribePlacement(p, Monitor_);
            if (where != Described_)
                Say("the pointer now covers the " + where);
            Described_ = where;
            return;
        }
        if (p.Found != Found_ || (p.Found && p.Rect != Last_)) {
            if (!p.Found) {
                Say("input monitor " + Monitor_ +
                    " is absent; the pointer covers the whole screen " + DescribeRect(p.Rect));
            } else if (!Found_) {
                Say("input monitor " + Monitor_ + " is back at " + DescribeRect(p.Rect));
            } else {
                Say("input monitor " + Monitor_ + " is now at " + DescribeRect(p.Rect));
            }
        }
        Found_ = p.Found;
        Last_ = p.Rect;
    }

    void Say(const std::string& line) {
        if (Log_)
            Log_(line);
    }

    static void ConnectionLost(Display*, void* self) {
        static_cast<LayoutWatcher*>(self)->Lost_.store(true);
    }

    DisplayPtr Display_;
    const bool Monitors_;
    const std::string Monitor_;
    LogLine Log_;
    std::atomic<uint64_t>* Rect_;
    bool Found_;             // watcher thread only
    ScreenRect Last_;        // watcher thread only
    std::string Described_;  // watcher thread only
    UniqueFd Stop_;
    std::atomic<bool> Lost_{false};
    std::mutex DoneLock_;
    std::condition_variable DoneCv_;
    bool Done_ = false;
    std::thread Thread_;
};

class X11Input final : public Input {
  public:
    X11Input(std::string root, Display* display, const ScreenRect& rect)
        : Root_(std::move(root)), Display_(display), Rect_(Pack(rect)) {
        Screen_ = DefaultScreen(display);
        CommandAtom_ = XInternAtom(display, "ORVEX_WM_COMMAND", False);
        // Without this, a lost server connection ends the whole host; with it
        // the pointer goes quiet and posted messages still reach programs.
        XSetIOErrorExitHandler(display, &X11Input::ConnectionLost, this);
    }

    ~X11Input() override {
        Watcher_.reset();
        // A display whose connection broke is left alone: Xlib would try to
        // talk to the dead server while closing it.
        if (Broken_.load())
            (void)Display_.release();
    }

    std::atomic<uint64_t>* PanelRect() { return &Rect_; }
    void Watch(std::unique_ptr<LayoutWatcher> watcher) { Watcher_ = std::move(watcher); }

    void MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t /*data*/,
                    uintptr_t /*extraInfo*/) override {
        constexpr uint32_t ButtonFlags =
            MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_RIGHTUP;
        std::lock_guard g(Lock_);
        if (Broken_.load())
            return;
        Display* d = Display_.get();
        // XTest moves only to absolute screen positions; a relative move has no
        // place here, its buttons still do.
        if ((flags & MOUSEEVENTF_ABSOLUTE) && (flags & (MOUSEEVENTF_MOVE | ButtonFlags))) {
            const ScreenRect r = Unpack(Rect_.load(std::memory_order_relaxed));
            XTestFakeMotionEvent(d, Screen_, r.X + MapAbsolute(x, r.Width),
                                 r.Y + MapAbsolute(y, r.Height), CurrentTime);
        }
        if (flags & MOUSEEVENTF_LEFTDOWN)
            XTestFakeButtonEvent(d, 1, True, CurrentTime);
        if (flags & MOUSEEVENTF_LEFTUP)
            XTestFakeButtonEvent(d, 1, False, CurrentTime);
        if (flags & MOUSEEVENTF_RIGHTDOWN)
            XTestFakeButtonEvent(d, 3, True, CurrentTime);
        if (flags & MOUSEEVENTF_RIGHTUP)
            XTestFakeButtonEvent(d, 3, False, CurrentTime);
        XFlush(d);
    }

    void PostMessage(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override {
        {
            std::lock_guard g(Lock_);
            // Window 0 is X's "the window under the pointer": never a target.
            if (!Broken_.load() && window != 0) {
                XEvent ev{};
                ev.xclient.type = ClientMessage;
                ev.xclient.window = window;
                ev.xclient.message_type = CommandAtom_;
                ev.xclient.format = 32;
                ev.xclient.data.l[0] = static_cast<long>(message);
                ev.xclient.data.l[1] = static_cast<long>(wParam);
                ev.xclient.data.l[2] = static_cast<long>(lParam);
                // Not checked: a post never waits, and a handle that is no X
                // window only draws an error that IgnoreXError swallows.
                (void)XSendEvent(Display_.get(), window, False, NoEventMask, &ev);
                XFlush(Display_.get());
            }
        }
        (void)PostWindowMessage(Root_, window, message, wParam, lParam);
    }

  private:
    static void ConnectionLost(Display*, void* self) {
        static_cast<X11Input*>(self)->Broken_.store(true);
    }

    std::string Root_;
    std::mutex Lock_;
    DisplayPtr Display_;
    int Screen_ = 0;
    Atom CommandAtom_ = 0;
    std::atomic<bool> Broken_{false};
    std::atomic<uint64_t> Rect_;
    std::unique_ptr<LayoutWatcher> Watcher_;  // after Rect_, which it writes
};

}  // namespace

std::unique_ptr<Input> CreateX11Input(const std::string& root, std::string* error,
                                      const std::string& display, const std::string& monitor,
                                      std::function<void(const std::string&)> log,
                                      std::string* placement) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<Input> {
        if (error)
            *error = why;
        return nullptr;
    };
    const char* name = display.empty() ? std::getenv("DISPLAY") : display.c_str();
    if (!name || !*name)
        return fail("DISPLAY is not set");
    // Calls come from the reader thread and the layout watcher, and the host
    // may have other threads that touch Xlib; this must precede every other
    // Xlib call.
    XInitThreads();
    XSetErrorHandler(IgnoreXError);
    XSetIOErrorHandler(QuietIoError);
    DisplayPtr d(XOpenDisplay(name));
    if (!d)
        return fail(std::string("no X display answers at ") + name);
    int event = 0, err = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d.get(), &event, &err, &major, &minor)) {
        return fail(std::string("display ") + name + " has no XTEST extension");
    }

    // The layout is read over the watcher's connection, after its events are
    // selected, so no change can fall between the first reading and the
    // watch.
    const int screen = DefaultScreen(d.get());
    ScreenLayout layout;
    layout.Screen = {0, 0, DisplayWidth(d.get(), screen), DisplayHeight(d.get(), screen)};
    DisplayPtr w(XOpenDisplay(name));
    bool monitors = false;
    if (w) {
        Window rootWindow = DefaultRootWindow(w.get());
        XSelectInput(w.get(), rootWindow, StructureNotifyMask);
        int rrEvent = 0, rrError = 0;
        if (XRRQueryExtension(w.get(), &rrEvent, &rrError)) {
            XRRSelectInput(
                w.get(), rootWindow,
                RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
            monitors = RandrMonitorsSupported(w.get());
        }
        if (!ReadRandrLayout(w.get(), monitors, &layout))
            w.reset();
    }
    const PanelPlacement p = PlacePanel(layout, monitor);
    const std::string described = DescribePlacement(p, monitor);
    if (placement) {
        *placement = described;
        if (!w)
            *placement += " (not followed: no second connection to the display)";
    }
    auto input = std::make_unique<X11Input>(root, d.release(), p.Rect);
    if (w) {
        input->Watch(std::make_unique<LayoutWatcher>(std::move(w), monitors, monitor,
                                                     std::move(log), input->PanelRect(), p.Found,
                                                     described));
    }
    return input;
}

}  // namespace orvex
