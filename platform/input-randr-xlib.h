// The screen layout read over an Xlib connection the caller owns. Only for
// platform sources: Xlib's macros (None, Bool, Status) must not leak into
// the rest of the code base.
#pragma once

#include <X11/Xlib.h>

#include "platform/input-screen-layout.h"

namespace orvex {

// RandR 1.5 or later, the first version that lists monitors.
bool RandrMonitorsSupported(Display* d);

// The root window's size and, when monitors is true, the active RandR
// monitors. A few round trips on d. False when the server did not answer.
bool ReadRandrLayout(Display* d, bool monitors, ScreenLayout* layout);

}  // namespace orvex
