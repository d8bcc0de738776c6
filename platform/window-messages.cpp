#include "platform/window-messages.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/orvex.h"
#include "platform/access.h"
#include "platform/uniquefd.h"

namespace orvex {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr->sun_path, path.data(), path.size());
    return true;
}

void SetError(std::string* error, const std::string& what) {
    if (error)
        *error = what + ": " + std::strerror(errno);
}

// A socket file whose owner has gone refuses connections; one still bound
// accepts them. Only the former may be removed.
bool IsStaleSocket(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe)
        return false;
    sockaddr_un addr;
    if (!MakeAddress(path, &addr))
        return false;
    if (::connect(probe.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return false;
    return errno == ECONNREFUSED;
}

constexpr char WindowFolder[] = "windows";  // below the root

// A window's socket file is named by its handle, in eight hex digits.
std::string WindowSocketName(uint32_t window) {
    char name[16];
    std::snprintf(name, sizeof name, "%08X", window);
    return name;
}

}  // namespace

std::string WindowFolderPath(const std::string& root) {
    return root + "/" + WindowFolder;
}

std::string WindowSocketPath(const std::string& root, uint32_t window) {
    return WindowFolderPath(root) + "/" + WindowSocketName(window);
}

bool PostWindowMessage(const std::string& root, uint32_t window, uint32_t message, uint32_t wParam,
                       uint32_t lParam) {
    // The host may run with more rights than the programs that bind here.
    // Checking a path and then sending to it would let a link swapped in
    // between steer the datagram to any socket of the system; instead the
    // socket file is opened step by step without following a link, checked
    // on its descriptor, and the datagram goes to that very file.
    UniqueFd top(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!top)
        return false;
    UniqueFd folder(
        ::openat(top.Get(), WindowFolder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder)
        return false;
    UniqueFd target(
        ::openat(folder.Get(), WindowSocketName(window).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!target || ::fstat(target.Get(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    sockaddr_un addr;
    if (!MakeAddress("/proc/self/fd/" + std::to_string(target.Get()), &addr))
        return false;
    UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock)
        return false;
    std::array<uint8_t, WindowMessage::Size> bytes{};
    PutU32(bytes, 0, window);
    PutU32(bytes, 4, message);
    PutU32(bytes, 8, wParam);
    PutU32(bytes, 12, lParam);
    ssize_t n;
    do {
        n = ::sendto(sock.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

std::unique_ptr<WindowMessageBox> WindowMessageBox::Bind(const std::string& root, uint32_t window,
                                                         std::string* error) {
    const std::string folder = WindowFolderPath(root);
    // Programs of the platform's group bind their handles here; the sticky
    // bit keeps one from removing another's socket. Outside a shared root
    // the folder is its owner's alone. A folder of someone else keeps the
    // mode they chose.
    const FileSharing sharing = CurrentFileSharing(root);
    std::string why;
    if (!PrepareFolder(folder, WindowFolderMode, sharing, &why)) {
        if (error)
            *error = why;
        return nullptr;
    }
    const std::string path = WindowSocketPath(root, window);
    sockaddr_un addr;
    if (!MakeAddress(path, &addr)) {
        SetError(error, "socket path too long: " + path);
        return nullptr;
    }
    UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        SetError(error, "cannot create a socket");
        return nullptr;
    }
    for (int attempt = 0;; ++attempt) {
        if (::bind(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            break;
        if (errno == EADDRINUSE && attempt == 0) {
            if (IsStaleSocket(path)) {
                ::unlink(path.c_str());
                continue;
            }
            errno = EADDRINUSE;  // the probe overwrote it
        }
        SetError(error, "cannot bind " + path);
        return nullptr;
    }
    // The host runs as root or as this user; the group may send too. In a
    // folder shared with the group (set-group-id, group-writable, however
    // the root above it is laid out) the socket has the folder's group, and
    // the host may hold nothing more than that group: the service's root
    // has no right to override modes.
    struct stat st {};
    const bool groupFolder =
        ::stat(folder.c_str(), &st) == 0 && (st.st_mode & S_ISGID) && (st.st_mode & S_IWGRP);
    (void)::chmod(path.c_str(), groupFolder ? 0660 : EffectiveMode(0660, sharing));
    return std::make_unique<WindowMessageBox>(Token{}, sock.Release(), window, path);
}

WindowMessageBox::~WindowMessageBox() {
    ::unlink(Path_.c_str());
    ::close(Fd_);
}

std::optional<WindowMessage> WindowMessageBox::Receive(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd p{Fd_, POLLIN, 0};
        int r = ::poll(&p, 1, wait);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (r == 0)
            return std::nullopt;
        // One byte more than a message, so an oversized datagram is seen as
        // such instead of being silently cut to size.
        std::array<uint8_t, WindowMessage::Size + 1> bytes{};
        ssize_t n = ::recv(Fd_, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return std::nullopt;
        }
        if (n != static_cast<ssize_t>(WindowMessage::Size))
            continue;
        return WindowMessage{GetU32(bytes, 0), GetU32(bytes, 4), GetU32(bytes, 8),
                             GetU32(bytes, 12)};
    }
}

}  // namespace orvex
