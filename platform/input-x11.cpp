// The X11 backend: pointer events through the XTest extension on an X
// display, and posted messages as client messages to X windows.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/input.h"
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

class X11Input final : public Input {
  public:
    X11Input(std::string root, Display* display) : Root_(std::move(root)), Display_(display) {
        int screen = DefaultScreen(display);
        Screen_ = screen;
        Width_ = static_cast<uint32_t>(DisplayWidth(display, screen));
        Height_ = static_cast<uint32_t>(DisplayHeight(display, screen));
        CommandAtom_ = XInternAtom(display, "ORVEX_WM_COMMAND", False);
        // Without this, a lost server connection ends the whole host; with it
        // the pointer goes quiet and posted messages still reach programs.
        XSetIOErrorExitHandler(display, &X11Input::ConnectionLost, this);
    }

    ~X11Input() override {
        // A display whose connection broke is left alone: Xlib would try to
        // talk to the dead server while closing it.
        if (Broken_.load())
            (void)Display_.release();
    }

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
            XTestFakeMotionEvent(d, Screen_, Scale(x, Width_), Scale(y, Height_), CurrentTime);
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
    // 0..65535 onto 0..size-1, rounded to the nearest pixel.
    static int Scale(uint32_t v, uint32_t size) {
        if (v > 0xFFFF)
            v = 0xFFFF;
        if (size == 0)
            return 0;
        return static_cast<int>((static_cast<uint64_t>(v) * (size - 1) + 32767) / 65535);
    }

    static void ConnectionLost(Display*, void* self) {
        static_cast<X11Input*>(self)->Broken_.store(true);
    }

    std::string Root_;
    std::mutex Lock_;
    std::unique_ptr<Display, DisplayClose> Display_;
    int Screen_ = 0;
    uint32_t Width_ = 0, Height_ = 0;
    Atom CommandAtom_ = None;
    std::atomic<bool> Broken_{false};
};

}  // namespace

std::unique_ptr<Input> CreateX11Input(const std::string& root, std::string* error,
                                      const std::string& display) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<Input> {
        if (error)
            *error = why;
        return nullptr;
    };
    const char* name = display.empty() ? std::getenv("DISPLAY") : display.c_str();
    if (!name || !*name)
        return fail("DISPLAY is not set");
    // Calls come from the reader thread only, but the host may have other
    // threads that touch Xlib; this must precede every other Xlib call.
    XInitThreads();
    XSetErrorHandler(IgnoreXError);
    XSetIOErrorHandler(QuietIoError);
    std::unique_ptr<Display, DisplayClose> d(XOpenDisplay(name));
    if (!d)
        return fail(std::string("no X display answers at ") + name);
    int event = 0, err = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d.get(), &event, &err, &major, &minor)) {
        return fail(std::string("display ") + name + " has no XTEST extension");
    }
    return std::make_unique<X11Input>(root, d.release());
}

}  // namespace orvex
