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
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/input-randr-xlib.h"
#include "platform/input-screen-layout.h"
#include "platform/input-x11-link.h"
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

// A display's name and how to get in.
struct Target {
    std::string Name;
    int Number = -1;
    std::string Authority;  // empty: Xlib's own file
};

// Both connections to one display: the reader thread's, for XTest and
// client messages, and the watcher's, for layout events. Either one's
// failure means the server is gone.
struct Link {
    DisplayPtr Inject;
    DisplayPtr Watch;
    int Screen = 0;
    Atom CommandAtom = 0;
    bool Monitors = false;
    std::atomic<bool> Broken{false};

    ~Link() {
        // Closing a broken connection would talk to the dead server again.
        if (Broken.load()) {
            (void)Inject.release();
            (void)Watch.release();
        }
    }
    static void ConnectionLost(Display*, void* self) {
        static_cast<Link*>(self)->Broken.store(true);
    }
};

// Xlib keeps one authorization for the whole process; connections are made
// one at a time so each offers its own display's cookie.
std::mutex ConnectLock;

// Both connections, or null with *why. The server is asked first over a
// socket of our own, so a server that would hang Xlib, or refuse it with a
// message on standard error, costs a bounded wait and one line of ours.
std::unique_ptr<Link> Connect(const Target& t, std::string* why, ScreenLayout* layout) {
    X11Cookie cookie;
    if (!ReadX11Cookie(t.Authority, t.Number, &cookie, why))
        return nullptr;
    // The probe's connection is held until Xlib's are made, so the server
    // does not start over in between.
    UniqueFd probe;
    if (ProbeX11Display(t.Number, cookie, std::chrono::seconds(2), why, &probe) !=
        X11Probe::Admitted)
        return nullptr;
    std::lock_guard g(ConnectLock);
    // With no cookie of its own, Xlib finds its usual one, which the probe
    // offered too.
    OfferX11Cookie(cookie);
    auto link = std::make_unique<Link>();
    link->Inject.reset(XOpenDisplay(t.Name.c_str()));
    link->Watch.reset(XOpenDisplay(t.Name.c_str()));
    if (!link->Inject || !link->Watch) {
        *why = "X display " + t.Name + " admitted the first look but not Xlib's connection";
        return nullptr;
    }
    XSetIOErrorExitHandler(link->Inject.get(), &Link::ConnectionLost, link.get());
    XSetIOErrorExitHandler(link->Watch.get(), &Link::ConnectionLost, link.get());
    Display* d = link->Inject.get();
    int event = 0, err = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d, &event, &err, &major, &minor)) {
        *why = "display " + t.Name + " has no XTEST extension";
        return nullptr;
    }
    link->Screen = DefaultScreen(d);
    link->CommandAtom = XInternAtom(d, "ORVEX_WM_COMMAND", False);

    // The layout is read over the watcher's connection, after its events are
    // selected, so no change can fall between the first reading and the
    // watch.
    Display* w = link->Watch.get();
    *layout = {};
    layout->Screen = {0, 0, DisplayWidth(w, DefaultScreen(w)), DisplayHeight(w, DefaultScreen(w))};
    Window rootWindow = DefaultRootWindow(w);
    XSelectInput(w, rootWindow, StructureNotifyMask);
    int rrEvent = 0, rrError = 0;
    if (XRRQueryExtension(w, &rrEvent, &rrError)) {
        XRRSelectInput(
            w, rootWindow,
            RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        link->Monitors = RandrMonitorsSupported(w);
    }
    if (!ReadRandrLayout(w, link->Monitors, layout) || link->Broken.load()) {
        *why = "X display " + t.Name + " went away while its layout was read";
        return nullptr;
    }
    return link;
}

class X11Input final : public Input {
  public:
    X11Input(std::string root, Target target, const X11InputOptions& options)
        : Root_(std::move(root)),
          Target_(std::move(target)),
          Monitor_(options.Monitor),
          Log_(options.Log),
          Retry_(options.RetryInterval),
          Stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    ~X11Input() override {
        if (Thread_.joinable()) {
            uint64_t one = 1;
            // Fails only on counter overflow, which one write cannot cause.
            (void)!::write(Stop_.Get(), &one, sizeof one);
            {
                // A server that stopped answering in the middle of a round
                // trip would hold the thread forever; cutting the connection
                // ends the call it is stuck in.
                std::unique_lock lock(DoneLock_);
                if (!DoneCv_.wait_for(lock, std::chrono::seconds(2), [&] { return Done_; })) {
                    const int fd = WatchFd_.load();
                    if (fd >= 0)
                        ::shutdown(fd, SHUT_RDWR);
                }
            }
            Thread_.join();
        }
        std::lock_guard g(Lock_);
        Link_.reset();
    }

    X11Input(const X11Input&) = delete;
    X11Input& operator=(const X11Input&) = delete;

    // Starts the watcher, with the display's first link when there is one.
    bool Start(std::unique_ptr<Link> link, const PanelPlacement& placed,
               const std::string& described) {
        if (!Stop_)
            return false;
        Rect_.store(Pack(placed.Rect));
        Found_ = placed.Found;
        Last_ = placed.Rect;
        Described_ = described;
        Ever_ = link != nullptr;
        Link_ = std::move(link);
        Thread_ = std::thread([this] { Run(); });
        return true;
    }

    void MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t /*data*/,
                    uintptr_t /*extraInfo*/) override {
        constexpr uint32_t ButtonFlags =
            MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_RIGHTUP;
        std::lock_guard g(Lock_);
        // Between servers there is nowhere to put a touch.
        if (!Link_ || Link_->Broken.load())
            return;
        Display* d = Link_->Inject.get();
        // XTest moves only to absolute screen positions; a relative move has no
        // place here, its buttons still do.
        if ((flags & MOUSEEVENTF_ABSOLUTE) && (flags & (MOUSEEVENTF_MOVE | ButtonFlags))) {
            const ScreenRect r = Unpack(Rect_.load(std::memory_order_relaxed));
            XTestFakeMotionEvent(d, Link_->Screen, r.X + MapAbsolute(x, r.Width),
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
            if (Link_ && !Link_->Broken.load() && window != 0) {
                XEvent ev{};
                ev.xclient.type = ClientMessage;
                ev.xclient.window = window;
                ev.xclient.message_type = Link_->CommandAtom;
                ev.xclient.format = 32;
                ev.xclient.data.l[0] = static_cast<long>(message);
                ev.xclient.data.l[1] = static_cast<long>(wParam);
                ev.xclient.data.l[2] = static_cast<long>(lParam);
                // Not checked: a post never waits, and a handle that is no X
                // window only draws an error that IgnoreXError swallows.
                (void)XSendEvent(Link_->Inject.get(), window, False, NoEventMask, &ev);
                XFlush(Link_->Inject.get());
            }
        }
        (void)PostWindowMessage(Root_, window, message, wParam, lParam);
    }

  private:
    // The watcher: follows the layout while the display is there, and looks
    // for it once every Retry_ while it is not.
    void Run() {
        for (;;) {
            // Only this thread replaces the link, so it reads it unlocked.
            Link* link = Link_.get();
            if (!link) {
                pollfd stop{Stop_.Get(), POLLIN, 0};
                const int r = ::poll(&stop, 1, static_cast<int>(Retry_.count()));
                if (r < 0 && errno != EINTR)
                    break;
                if (r > 0)
                    break;
                Reconnect();
                continue;
            }
            WatchFd_.store(ConnectionNumber(link->Watch.get()));
            const bool stopped = Follow(link);
            WatchFd_.store(-1);
            if (stopped)
                break;
            {
                std::lock_guard g(Lock_);
                link->Broken.store(true);
                Link_.reset();
            }
            Say("X display " + Target_.Name +
                " went away; pointer events are dropped until it is back");
        }
        std::lock_guard g(DoneLock_);
        Done_ = true;
        DoneCv_.notify_all();
    }

    // Reads the watch connection's events until the server goes (false) or
    // the backend stops (true).
    bool Follow(Link* link) {
        Display* d = link->Watch.get();
        for (;;) {
            bool changed = false;
            // Every event selected means the layout may have changed; a burst
            // (a mode set sends one per output) is read once.
            while (!link->Broken.load() && XPending(d) > 0) {
                XEvent ev;
                XNextEvent(d, &ev);
                changed = true;
            }
            if (link->Broken.load())
                return false;
            if (changed) {
                ScreenLayout layout;
                if (ReadRandrLayout(d, link->Monitors, &layout) && !link->Broken.load())
                    Place(layout);
                continue;
            }
            pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {Stop_.Get(), POLLIN, 0}};
            const int r = ::poll(fds, 2, -1);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 || fds[1].revents != 0)
                return true;
            if (fds[0].revents & (POLLNVAL | POLLERR))
                return false;
        }
    }

    void Reconnect() {
        std::string why;
        ScreenLayout layout;
        auto link = Connect(Target_, &why, &layout);
        if (!link)
            return;
        const PanelPlacement p = PlacePanel(layout, Monitor_);
        Rect_.store(Pack(p.Rect));
        Found_ = p.Found;
        Last_ = p.Rect;
        Described_ = DescribePlacement(p, Monitor_);
        {
            std::lock_guard g(Lock_);
            Link_ = std::move(link);
        }
        Say("X display " + Target_.Name + (Ever_ ? " is back" : " answers") +
            "; the pointer covers the " + Described_);
        Ever_ = true;
    }

    void Place(const ScreenLayout& layout) {
        PanelPlacement p = PlacePanel(layout, Monitor_);
        Rect_.store(Pack(p.Rect));
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

    const std::string Root_;
    const Target Target_;
    const std::string Monitor_;
    const LogLine Log_;
    const std::chrono::milliseconds Retry_;
    std::mutex Lock_;
    std::unique_ptr<Link> Link_;  // replaced by the watcher only, under Lock_
    std::atomic<uint64_t> Rect_{0};
    // Watcher thread only (and Start, before it runs).
    bool Found_ = false;
    ScreenRect Last_;
    std::string Described_;
    bool Ever_ = false;
    UniqueFd Stop_;
    std::atomic<int> WatchFd_{-1};
    std::mutex DoneLock_;
    std::condition_variable DoneCv_;
    bool Done_ = false;
    std::thread Thread_;
};

}  // namespace

std::unique_ptr<Input> CreateX11Input(const std::string& root, std::string* error,
                                      const X11InputOptions& options, std::string* placement,
                                      bool* waiting) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<Input> {
        if (error)
            *error = why;
        return nullptr;
    };
    if (waiting)
        *waiting = false;
    Target target;
    if (options.Display.empty()) {
        const char* env = std::getenv("DISPLAY");
        if (!env || !*env)
            return fail("DISPLAY is not set");
        target.Name = env;
    } else {
        target.Name = options.Display;
    }
    if (const std::string problem = X11DisplayProblem(target.Name); !problem.empty())
        return fail(problem);
    target.Number = X11DisplayNumber(target.Name);
    if (const std::string problem = X11AuthorityProblem(options.Authority); !problem.empty())
        return fail(problem);
    target.Authority = options.Authority;

    // Calls come from the reader thread and the watcher, and the host may
    // have other threads that touch Xlib; this must precede every other
    // Xlib call.
    XInitThreads();
    XSetErrorHandler(IgnoreXError);
    XSetIOErrorHandler(QuietIoError);
    std::string why;
    ScreenLayout layout;
    auto link = Connect(target, &why, &layout);
    if (!link && !options.WaitForDisplay)
        return fail(why);
    auto input = std::make_unique<X11Input>(root, target, options);
    PanelPlacement p;
    std::string described;
    if (link) {
        p = PlacePanel(layout, options.Monitor);
        described = DescribePlacement(p, options.Monitor);
    }
    if (!input->Start(std::move(link), p, described))
        return fail(std::string("cannot watch the display: ") + std::strerror(errno));
    if (placement) {
        *placement =
            described.empty() ? "waiting for X display " + target.Name + ": " + why : described;
    }
    if (waiting)
        *waiting = described.empty();
    return input;
}

}  // namespace orvex
