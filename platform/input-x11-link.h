// Reaching a local X display before Xlib does: the display's name, the
// cookie an authority file holds for it, and a bounded look at whether the
// server lets this process in. Xlib and xcb would wait forever on a socket
// that accepts and never answers, and write a refusing server's reason to
// standard error on every attempt; a backend that retries once a second
// asks here first.
//
//   X11Cookie cookie;
//   std::string why;
//   if (ReadX11Cookie("/run/lightdm/root/:0", 0, &cookie, &why) &&
//       ProbeX11Display(0, cookie, std::chrono::seconds(2), &why) == X11Probe::Admitted)
//       OfferX11Cookie(cookie), then XOpenDisplay(":0")
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/uniquefd.h"

namespace orvex {

// The display number of a local display name (":0", ":0.1", "unix:0"); -1
// when the name is no such thing (X11DisplayProblem says why).
int X11DisplayNumber(const std::string& display);

// An authority file's MIT-MAGIC-COOKIE-1 for one display. Empty Data: the
// file holds none for it (the server may still admit the process by who it
// is, as "xhost +SI:localuser:root" allows). Owner: who owns the file, the
// one user besides root and this process trusted to run the server the
// cookie is for.
struct X11Cookie {
    std::string Name;
    std::string Data;
    uid_t Owner = 0;
};
inline constexpr size_t MaxX11AuthorityBytes = 64 * 1024;
// Reads path (no link, a regular file of at most MaxX11AuthorityBytes). An
// empty path means $XAUTHORITY, else ~/.Xauthority, where a missing file is
// no error. False with *why when the file cannot be used.
bool ReadX11Cookie(const std::string& path, int number, X11Cookie* cookie, std::string* why);

// Makes Xlib offer cookie on the connections it opens from now on, in this
// whole process (none: Xlib's own search); callers that may run at once
// hold one lock around this and their XOpenDisplay.
void OfferX11Cookie(const X11Cookie& cookie);

enum class X11Probe { Admitted, Refused, Absent };
// Opens the display's socket (the abstract one, then /tmp/.X11-unix/XN),
// offers the cookie and waits at most timeout for the server's verdict.
// *why says what was found when it is not Admitted. A cookie goes only to a
// server run by root, by this process's user or by the cookie file's owner:
// a socket in the world-writable /tmp/.X11-unix may be anyone's.
// With keep, an admitted connection stays open in *keep: a server whose
// last client leaves starts over, and may turn away whoever connects while
// it re-reads its authority file.
X11Probe ProbeX11Display(int number, const X11Cookie& cookie, std::chrono::milliseconds timeout,
                         std::string* why, UniqueFd* keep = nullptr);

}  // namespace orvex
