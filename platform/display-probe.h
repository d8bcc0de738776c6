// Whether a window-system program can reach its display, asked before the
// toolkit starts: a toolkit that cannot connect ends the process with an
// abort and a core dump, where a person needs one line saying what to set.
#pragma once

#include <string>
#include <vector>

namespace orvex {

struct DisplayChoice {
    // The platforms the toolkit would try, in its order ("wayland", "xcb",
    // "offscreen", ...; a name may carry ":options").
    std::vector<std::string> Platforms;
    // The X display asked for on the command line (-display), else empty.
    std::string XDisplayArgument;
    // Whether the toolkit can talk to a Wayland compositor at all.
    bool WaylandAvailable = false;
};

// The toolkit's own choice from the environment: QT_QPA_PLATFORM (or the
// -platform argument) when given, else Wayland first in a Wayland session,
// then X.
DisplayChoice ChooseDisplay(const std::vector<std::string>& args, bool waylandAvailable);

// Empty when one of the platforms connects, or needs no display; else the
// reason, naming the displays tried and the variable to set, as one line
// without a program name or a line end.
std::string UnreachableDisplay(const DisplayChoice& choice);

}  // namespace orvex
