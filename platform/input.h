// Pointer injection and message posting: the window system's mouse_event and
// PostMessageW as the driver uses them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvex {

// mouse_event flags.
inline constexpr uint32_t MOUSEEVENTF_MOVE = 0x0001;
inline constexpr uint32_t MOUSEEVENTF_LEFTDOWN = 0x0002;
inline constexpr uint32_t MOUSEEVENTF_LEFTUP = 0x0004;
inline constexpr uint32_t MOUSEEVENTF_RIGHTDOWN = 0x0008;
inline constexpr uint32_t MOUSEEVENTF_RIGHTUP = 0x0010;
inline constexpr uint32_t MOUSEEVENTF_ABSOLUTE = 0x8000;

class Input {
  public:
    virtual ~Input() = default;
    // Absolute pointer event: x and y on a 0..0xFFFF scale when flags carry
    // MOUSEEVENTF_ABSOLUTE; buttons pressed or released as the flags say.
    virtual void MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t data,
                            uintptr_t extraInfo) = 0;
    // Posts a message to a window; never waits for it to be handled.
    virtual void PostMessage(uint32_t window, uint32_t message, uint32_t wParam,
                             uint32_t lParam) = 0;
};

// The real backends. Each also hands posted messages to programs through the
// window-message sockets under the platform root (platform/window-messages.h).
// A factory returns null, with *error (if given) saying why, when its backend
// cannot be used on this machine.
//
// uinput: an absolute pointer device named UinputDeviceName; *deviceNode (if
// given) receives its /dev/input/eventN path when the kernel reports one.
// The window system maps it onto its outputs itself (config/70-orvex-touch.rules
// tells the compositors that read WL_OUTPUT which one). phys, the serial
// port's device path, becomes the device's physical path, so two panels can
// be told apart: one longer than MaxUinputPhysLength keeps its end behind
// "...", and one with characters outside printable ASCII (or with a space,
// quote or backslash) is left out.
inline constexpr const char* UinputDeviceName = "ORVEX touch panel";
inline constexpr size_t MaxUinputPhysLength = 127;
std::unique_ptr<Input> CreateUinputInput(const std::string& root, std::string* error,
                                         std::string* deviceNode = nullptr,
                                         const std::string& phys = {});
// The physical path CreateUinputInput gives the device for phys; empty when
// it leaves it out.
std::string UinputPhys(const std::string& phys);
// XTest on an X display. The absolute range covers the RandR monitor named
// by Monitor, or the whole screen when no such monitor is present. With
// Monitor empty it covers the primary monitor (the first when none is
// primary) of a screen of several, and the whole of a screen of one
// (PlacePanel). The backend follows the display's layout as it changes, and
// Log (called on a thread of the backend's own) receives one line each time
// the monitor goes missing, comes back or moves, or, with none named, each
// time the rectangle covered changes.
//
// Display names the display (":0"), or is empty for $DISPLAY; Authority
// names an authority file whose cookie for that display is offered, or is
// empty for Xlib's own ($XAUTHORITY). With WaitForDisplay, a display that
// does not answer yet makes no failure: the backend drops pointer events,
// looks again every RetryInterval (sleeping in between) and says in one
// line when the display answers. Either way a display that goes away costs
// one line, and the backend comes back with it.
struct X11InputOptions {
    std::string Display;
    std::string Authority;
    std::string Monitor;
    std::function<void(const std::string&)> Log;
    std::chrono::milliseconds RetryInterval{1000};
    bool WaitForDisplay = false;
};
// *placement (if given) describes the rectangle at start, or the wait;
// *waiting (if given) says the backend waits for its display.
std::unique_ptr<Input> CreateX11Input(const std::string& root, std::string* error,
                                      const X11InputOptions& options,
                                      std::string* placement = nullptr, bool* waiting = nullptr);
// Registry values are anybody's words: why a display name or an authority
// file path will not be used, or empty when it will. The host reaches only
// local displays, so a name is ":N" or ":N.S" (a "unix" host allowed), at
// most MaxX11DisplayLength long.
inline constexpr size_t MaxX11DisplayLength = 64;
std::string X11DisplayProblem(const std::string& display);
std::string X11AuthorityProblem(const std::string& path);
// The virtual-pointer protocol of a Wayland compositor at the socket
// Socket (an absolute path), or at $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY when it
// is empty. The pointer covers the output named Monitor, or the whole layout
// when none is named or it is absent. The backend follows outputs and the
// compositor itself: log (called on a thread of the backend's own) receives
// one line when the compositor goes away and one when it is back (looked for
// every RetryInterval), and one each time the named output goes or returns.
// With WaitForCompositor, a compositor that is not there yet makes no
// failure: the backend looks for it as for one that went away, and says in
// one line when it answers.
// *placement (if given) describes what the pointer covers at start, or the
// wait; *noProtocol (if given) says the compositor answered without the
// protocol.
struct WaylandInputOptions {
    std::string Socket;
    std::string Monitor;
    std::function<void(const std::string&)> Log;
    std::chrono::milliseconds RetryInterval{1000};
    bool WaitForCompositor = false;
};
std::unique_ptr<Input> CreateWaylandInput(const std::string& root, std::string* error,
                                          const WaylandInputOptions& options,
                                          std::string* placement = nullptr,
                                          bool* noProtocol = nullptr);
// The compositor socket the backend would use for a configured value (see
// above); empty when there is none.
std::string WaylandSocketPath(const std::string& configured);
// One text line per call on fd (standard output by default). Never fails.
std::unique_ptr<Input> CreateLogInput(const std::string& root, int fd = 1);

}  // namespace orvex
