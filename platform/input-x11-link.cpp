// Local X displays, their authority files and a bounded first handshake.
#include "platform/input-x11-link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/input.h"
#include "platform/uniquefd.h"

// Last: its macros (None, Bool, Status) would clash with the headers above.
#include <X11/Xlib.h>

namespace orvex {

namespace {

constexpr const char* CookieName = "MIT-MAGIC-COOKIE-1";
constexpr uint16_t FamilyLocal = 256, FamilyWild = 65535;

// Digits only, at most maxDigits of them; their value, or -1.
int Digits(std::string_view s, size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits || s.find_first_not_of("0123456789") != s.npos)
        return -1;
    return std::atoi(std::string(s).c_str());
}

// A server's words, made one printable line.
std::string Printable(std::string_view s) {
    std::string out;
    for (char c : s)
        out += (c >= 0x20 && c < 0x7F) ? c : ' ';
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// One record of an authority file: family, address, display number, name,
// data; each but the family a 16-bit big-endian length and its bytes.
struct AuthRecord {
    uint16_t Family = 0;
    std::string_view Address, Number, Name, Data;
};

class AuthReader {
  public:
    explicit AuthReader(std::string_view bytes) : Bytes_(bytes) {}
    std::optional<AuthRecord> Next() {
        AuthRecord r;
        if (!U16(&r.Family) || !Field(&r.Address) || !Field(&r.Number) || !Field(&r.Name) ||
            !Field(&r.Data))
            return std::nullopt;
        return r;
    }

  private:
    bool U16(uint16_t* v) {
        if (Bytes_.size() < 2)
            return false;
        *v = static_cast<uint16_t>(static_cast<uint8_t>(Bytes_[0]) << 8 |
                                   static_cast<uint8_t>(Bytes_[1]));
        Bytes_.remove_prefix(2);
        return true;
    }
    bool Field(std::string_view* f) {
        uint16_t n = 0;
        if (!U16(&n) || Bytes_.size() < n)
            return false;
        *f = Bytes_.substr(0, n);
        Bytes_.remove_prefix(n);
        return true;
    }
    std::string_view Bytes_;
};

// The file's bytes, or nullopt with *why. A path that is no regular file
// (a link, a pipe that would never end) is refused before it is read.
std::optional<std::string> ReadAuthorityFile(const std::string& path, std::string* why,
                                             uid_t* owner = nullptr) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        *why = "cannot open X authority file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(MaxX11AuthorityBytes)) {
        *why = "X authority file " + path + " is no regular file of at most " +
               std::to_string(MaxX11AuthorityBytes / 1024) + " KiB";
        return std::nullopt;
    }
    if (owner)
        *owner = st.st_uid;
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.Get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly n bytes before deadline; false when the server is slower
// or closes first.
bool ReadBefore(int fd, char* out, size_t n, std::chrono::steady_clock::time_point deadline) {
    size_t got = 0;
    while (got < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        const ssize_t k = ::recv(fd, out + got, n - got, 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

// A connected socket to the display: the abstract name first, as Xlib
// tries it, then the file a private network leaves reachable.
UniqueFd ConnectDisplay(int number, std::string* why) {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    for (bool abstract : {true, false}) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd) {
            *why = std::string("cannot make a socket: ") + std::strerror(errno);
            return {};
        }
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const size_t offset = abstract ? 1 : 0;
        std::memcpy(addr.sun_path + offset, path.c_str(), path.size());
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                path.size() + (abstract ? 0 : 1));
        if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) == 0)
            return fd;
        *why = "no X display answers at :" + std::to_string(number) + " (" + path + ": " +
               std::strerror(errno) + ")";
    }
    return {};
}

}  // namespace

int X11DisplayNumber(const std::string& display) {
    if (display.empty() || display.size() > MaxX11DisplayLength)
        return -1;
    const size_t colon = display.find(':');
    if (colon == std::string::npos || (colon != 0 && display.substr(0, colon) != "unix"))
        return -1;
    std::string_view rest = std::string_view(display).substr(colon + 1);
    const size_t dot = rest.find('.');
    if (dot != rest.npos && Digits(rest.substr(dot + 1), 3) < 0)
        return -1;
    const int number = Digits(rest.substr(0, dot), 5);
    return number <= 65535 ? number : -1;
}

std::string X11DisplayProblem(const std::string& display) {
    if (X11DisplayNumber(display) >= 0)
        return {};
    if (display.size() > MaxX11DisplayLength)
        return "X display name longer than " + std::to_string(MaxX11DisplayLength) + " characters";
    return "X display \"" + Printable(display) + "\" is no local display (:N or :N.S)";
}

std::string X11AuthorityProblem(const std::string& path) {
    if (path.empty())
        return {};
    if (path[0] != '/' || path.size() > 4096)
        return "X authority file \"" + Printable(path.substr(0, 256)) + "\" is no absolute path";
    std::string why;
    return ReadAuthorityFile(path, &why) ? std::string() : why;
}

bool ReadX11Cookie(const std::string& path, int number, X11Cookie* cookie, std::string* why) {
    *cookie = {};
    std::string file = path;
    bool optional = false;
    if (file.empty()) {
        // Xlib's own search, where nothing found is nothing to offer.
        const char* env = std::getenv("XAUTHORITY");
        const char* home = std::getenv("HOME");
        file = env && *env ? env : home && *home ? std::string(home) + "/.Xauthority" : "";
        optional = true;
        if (file.empty() || ::access(file.c_str(), F_OK) != 0)
            return true;
    }
    if (const std::string problem = X11AuthorityProblem(file); !problem.empty()) {
        *why = problem;
        return optional;
    }
    uid_t owner = 0;
    auto bytes = ReadAuthorityFile(file, why, &owner);
    if (!bytes)
        return optional;
    char host[256] = {};
    (void)::gethostname(host, sizeof host - 1);
    const std::string wanted = std::to_string(number);
    // This host's entry first, as Xlib picks it; then any local or wild one
    // for the display, since a sandbox or a renamed machine may see another
    // host name than the session that wrote the file.
    int best = 0;
    AuthReader reader(*bytes);
    while (auto r = reader.Next()) {
        if (r->Name != CookieName || r->Number != wanted ||
            (r->Family != FamilyLocal && r->Family != FamilyWild))
            continue;
        const int rank = r->Family == FamilyWild || r->Address == host ? 2 : 1;
        if (rank > best) {
            best = rank;
            *cookie = {CookieName, std::string(r->Data), owner};
        }
    }
    return true;
}

void OfferX11Cookie(const X11Cookie& cookie) {
    if (cookie.Data.empty()) {
        XSetAuthorization(nullptr, 0, nullptr, 0);
        return;
    }
    // Xlib copies both.
    XSetAuthorization(const_cast<char*>(cookie.Name.data()), static_cast<int>(cookie.Name.size()),
                      const_cast<char*>(cookie.Data.data()), static_cast<int>(cookie.Data.size()));
}

X11Probe ProbeX11Display(int number, const X11Cookie& cookie, std::chrono::milliseconds timeout,
                         std::string* why, UniqueFd* keep) {
    UniqueFd fd = ConnectDisplay(number, why);
    if (!fd)
        return X11Probe::Absent;
    const std::string name = ":" + std::to_string(number);
    if (!cookie.Data.empty()) {
        ucred peer{};
        socklen_t len = sizeof peer;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 ||
            (peer.uid != 0 && peer.uid != ::geteuid() && peer.uid != cookie.Owner)) {
            *why = "X display " + name + " is served by uid " + std::to_string(peer.uid) +
                   ", who owns neither this process nor the authority file; its cookie is kept "
                   "from it";
            return X11Probe::Refused;
        }
    }
    // The connection setup: byte order, protocol 11.0, the authorization's
    // name and data, each padded to four bytes.
    auto u16 = [](size_t v) {
        return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
    };
    auto padded = [](std::string s) {
        s.resize((s.size() + 3) / 4 * 4, '\0');
        return s;
    };
    const std::string setup = std::string{'l', '\0'} + u16(11) + u16(0) + u16(cookie.Name.size()) +
                              u16(cookie.Data.size()) + u16(0) + padded(cookie.Name) +
                              padded(cookie.Data);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char head[8];
    if (!SendAll(fd.Get(), setup) || !ReadBefore(fd.Get(), head, sizeof head, deadline)) {
        *why = "X display " + name + " takes connections but does not answer";
        return X11Probe::Absent;
    }
    if (head[0] == 1) {
        if (keep)
            *keep = std::move(fd);
        return X11Probe::Admitted;
    }
    // A refusal carries its reason, of the length its second byte gives.
    std::string reason(static_cast<uint8_t>(head[1]), '\0');
    if (head[0] != 0 || !ReadBefore(fd.Get(), reason.data(), reason.size(), deadline))
        reason = "it asks for more than a cookie";
    *why = "X display " + name + " refused this process: " + Printable(reason);
    return X11Probe::Refused;
}

}  // namespace orvex
