#include "device/client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "device/wire.h"
#include "platform/lasterror.h"

namespace orvex {

namespace {

using devwire::UniqueFd;
using Clock = std::chrono::steady_clock;

// How long any one call (OpenDevice's hello included) waits for the host.
// The driver answers every call at once; a host that has not answered by
// then is stopped, deadlocked or swapped out, and the calibrator must not
// hold the screen and the keyboard while it waits.
constexpr auto CallLimit = std::chrono::seconds(2);

enum class Ready { Yes, TimedOut, Failed };

// Waits until the socket is ready for events or the deadline passes. A
// hang-up or an error counts as ready: the next send or receive reports it.
Ready WaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Ready::TimedOut;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return Ready::Yes;
        if (n < 0 && errno != EINTR)
            return Ready::Failed;
    }
}

// Receives one packet on a non-blocking socket by the deadline: its size,
// 0 when the peer closed, -1 on error, -2 when it did not fit, -3 when the
// deadline passed.
constexpr ptrdiff_t ReceiveTimedOut = -3;
ptrdiff_t ReceiveBy(int fd, std::span<uint8_t> buffer, Clock::time_point deadline) {
    for (;;) {
        const Ready r = WaitReady(fd, POLLIN, deadline);
        if (r != Ready::Yes)
            return r == Ready::TimedOut ? ReceiveTimedOut : -1;
        const ptrdiff_t n = devwire::ReceivePacket(fd, buffer);
        if (n != -1 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n;
    }
}

// Sends one packet on a non-blocking socket by the deadline.
Ready SendBy(int fd, std::span<const uint8_t> packet, Clock::time_point deadline) {
    for (;;) {
        errno = 0;
        if (devwire::SendPacket(fd, packet))
            return Ready::Yes;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Ready::Failed;
        const Ready r = WaitReady(fd, POLLOUT, deadline);
        if (r != Ready::Yes)
            return r;
    }
}

class SocketDeviceHandle final : public DeviceHandle {
  public:
    explicit SocketDeviceHandle(UniqueFd fd) : Fd_(std::move(fd)) {}

    uint32_t IoControl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                       uint32_t outSize, uint32_t* returned) override {
        return Call(devwire::Op::IoControl, code, 0, in, inSize, out, outSize, returned, 0);
    }

    uint32_t Read(uint8_t* buffer, uint32_t count) override {
        return Call(devwire::Op::Read, 0, 0, nullptr, 0, buffer, count, nullptr, 0);
    }

    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        return Call(devwire::Op::Write, 0, 0, buffer, count, nullptr, 0, nullptr, 0);
    }

    // Seek's failure value is -1, not 0.
    uint32_t Seek(int32_t distance, uint32_t method) override {
        return Call(devwire::Op::Seek, static_cast<uint32_t>(distance), method, nullptr, 0, nullptr,
                    0, nullptr, 0xFFFFFFFFu);
    }

  private:
    uint32_t Call(devwire::Op op, uint32_t code, uint32_t arg, const uint8_t* in, uint32_t inSize,
                  uint8_t* out, uint32_t outSize, uint32_t* returned, uint32_t failure) {
        if (inSize > devwire::MaxBuffer || outSize > devwire::MaxBuffer) {
            // Refused here, before anything is sent: the handle stays usable.
            SetLastError(ERROR_INVALID_PARAMETER);
            return failure;
        }
        const auto request =
            devwire::EncodeRequest(op, code, arg, in, inSize, out, outSize, returned);
        const uint32_t expectedOut = out != nullptr ? outSize : 0;

        // One call at a time per handle, so replies cannot cross.
        std::lock_guard g(Lock_);
        if (Broken_)
            return Broken(failure);
        const auto deadline = Clock::now() + CallLimit;
        const Ready sent = SendBy(Fd_.Get(), request, deadline);
        if (sent != Ready::Yes)
            return sent == Ready::TimedOut ? TimedOut(failure) : Broken(failure);
        Reply_.resize(devwire::MaxReplySize + 1);
        const ptrdiff_t n = ReceiveBy(Fd_.Get(), Reply_, deadline);
        if (n == ReceiveTimedOut)
            return TimedOut(failure);
        if (n <= 0)
            return Broken(failure);
        const auto reply =
            devwire::ParseReply(std::span(Reply_).first(static_cast<size_t>(n)), expectedOut);
        if (!reply)
            return Broken(failure);
        if (out != nullptr)
            std::copy(reply->Out.begin(), reply->Out.end(), out);
        if (returned != nullptr)
            *returned = reply->Returned;
        SetLastError(reply->LastError);
        return reply->Result;
    }

    uint32_t Broken(uint32_t failure) {
        // A host that went away, or one that answered nonsense, leaves the
        // stream out of step: every later call fails the same way.
        Broken_ = true;
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return failure;
    }

    uint32_t TimedOut(uint32_t failure) {
        // The late reply would be taken as the next call's: the connection
        // is given up. Closing it lets the host close the driver's handle
        // once it runs again.
        Broken_ = true;
        Fd_.Reset();
        SetLastError(ERROR_TIMEOUT);
        return failure;
    }

    UniqueFd Fd_;
    std::mutex Lock_;
    bool Broken_ = false;
    std::vector<uint8_t> Reply_;
};

// "ORX1:" -> "ORX1". Only letters and digits: the name becomes a file name.
bool SocketName(std::u16string_view name, std::string* out) {
    if (!name.empty() && name.back() == u':')
        name.remove_suffix(1);
    if (name.empty() || name.size() > 32)
        return false;
    out->clear();
    for (char16_t c : name) {
        const bool ok =
            (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
        if (!ok)
            return false;
        out->push_back(static_cast<char>(c));
    }
    return true;
}

}  // namespace

std::unique_ptr<DeviceHandle> OpenDevice(std::u16string_view name, const std::string& root) {
    std::string device;
    if (!SocketName(name, &device)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    const std::string path = root + "/dev/" + device;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    const auto deadline = Clock::now() + CallLimit;
    // A host that stopped accepting leaves its backlog full, and connect
    // then waits for room: as long as the send time-out allows.
    const timeval limit{std::chrono::duration_cast<std::chrono::seconds>(CallLimit).count(), 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int rc;
    do {
        rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR && Clock::now() < deadline);
    if (rc != 0) {
        // No socket, or a stale one that no host listens on: no such device.
        const int err = errno;
        SetLastError(err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK ? ERROR_FILE_NOT_FOUND
                     : err == EAGAIN || err == EINPROGRESS || err == EINTR   ? ERROR_TIMEOUT
                                                                             : ErrorFromErrno(err));
        return nullptr;
    }
    // From here on every wait is bounded by poll, never by blocking.
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }

    std::array<uint8_t, devwire::HelloSize + 1> hello{};
    const ptrdiff_t n = ReceiveBy(fd.Get(), hello, deadline);
    if (n == ReceiveTimedOut) {
        SetLastError(ERROR_TIMEOUT);
        return nullptr;
    }
    const auto error =
        n > 0 ? devwire::ParseHello(std::span(hello).first(static_cast<size_t>(n))) : std::nullopt;
    if (!error) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    if (*error != ERROR_SUCCESS) {
        SetLastError(*error);  // the driver refused the open
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return std::make_unique<SocketDeviceHandle>(std::move(fd));
}

}  // namespace orvex
