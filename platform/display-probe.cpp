#include "platform/display-probe.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/uniquefd.h"

// Last: Xlib's macros (None, Status, ...) would break the headers above.
#include <X11/Xlib.h>

namespace orvex {

namespace {

std::string Variable(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// The value after a "-name value" or "-name=value" argument, else empty.
std::string Argument(const std::vector<std::string>& args, const std::string& name) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == name && i + 1 < args.size())
            return args[i + 1];
        if (args[i].starts_with(name + "="))
            return args[i].substr(name.size() + 1);
    }
    return {};
}

bool XDisplayAnswers(const std::string& name) {
    const std::unique_ptr<Display, int (*)(Display*)> d(XOpenDisplay(name.c_str()), XCloseDisplay);
    return d != nullptr;
}

// A compositor listens on $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY (or on the
// absolute path given), as the client library looks for it.
bool WaylandAnswers(const std::string& display, const std::string& runtime) {
    if (!Variable("WAYLAND_SOCKET").empty())
        return true;  // handed a connected socket by the compositor itself
    const std::string path = display.starts_with("/") ? display : runtime + "/" + display;
    if (!display.starts_with("/") && runtime.empty())
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd && ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

DisplayChoice ChooseDisplay(const std::vector<std::string>& args, bool waylandAvailable) {
    DisplayChoice c;
    c.WaylandAvailable = waylandAvailable;
    c.XDisplayArgument = Argument(args, "-display");
    std::string given = Argument(args, "-platform");
    if (given.empty())
        given = Variable("QT_QPA_PLATFORM");
    if (!given.empty()) {
        size_t start = 0;
        for (;;) {
            const size_t end = given.find(';', start);
            c.Platforms.push_back(given.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        return c;
    }
    if (std::getenv("WAYLAND_DISPLAY") != nullptr || Variable("XDG_SESSION_TYPE") == "wayland")
        c.Platforms.push_back("wayland");
    c.Platforms.push_back("xcb");
    return c;
}

std::string UnreachableDisplay(const DisplayChoice& choice) {
    std::string tried;
    bool x = false, wayland = false;
    auto add = [](std::string& list, const std::string& item) {
        list += (list.empty() ? "" : " or ") + item;
    };
    for (const std::string& platform : choice.Platforms) {
        const std::string base = platform.substr(0, platform.find(':'));
        if (base == "xcb") {
            const std::string name =
                !choice.XDisplayArgument.empty() ? choice.XDisplayArgument : Variable("DISPLAY");
            if (!name.empty() && XDisplayAnswers(name))
                return {};
            add(tried, name.empty() ? "an X display (DISPLAY is not set)"
                                    : "the X display \"" + name + "\"");
            x = true;
        } else if (base.starts_with("wayland")) {
            if (!choice.WaylandAvailable)
                continue;  // the toolkit skips it too
            std::string name = Variable("WAYLAND_DISPLAY");
            if (name.empty())
                name = "wayland-0";
            const std::string runtime = Variable("XDG_RUNTIME_DIR");
            if (WaylandAnswers(name, runtime))
                return {};
            add(tried,
                "the Wayland display \"" + name + "\"" +
                    (runtime.empty() && !name.starts_with("/") ? " (XDG_RUNTIME_DIR is not set)"
                                                               : ""));
            wayland = true;
        } else if (!base.empty()) {
            return {};  // offscreen, minimal, a framebuffer: no display to reach
        }
    }
    if (tried.empty())
        return {};  // nothing this probe knows how to ask: the toolkit decides
    const std::string set =
        x && wayland ? "set DISPLAY or WAYLAND_DISPLAY to the display of a running desktop session"
        : x          ? "set DISPLAY to the X display of a running desktop session (such as :0)"
                     : "set WAYLAND_DISPLAY to the socket of a running Wayland compositor (such "
                       "as wayland-0)";
    return "cannot connect to " + tried + "; " + set;
}

}  // namespace orvex
