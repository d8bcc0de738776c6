#include "device/client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "device/wire.h"
#include "platform/lasterror.h"

namespace orvex {

namespace {

using devwire::UniqueFd;

// How long OpenDevice waits for the host to run the driver's Open. Generous:
// it only guards against a socket whose host hangs.
constexpr int HelloTimeoutSeconds = 10;

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
        if (Broken_ || !devwire::SendPacket(Fd_.Get(), request))
            return Broken(failure);
        Reply_.resize(devwire::MaxReplySize + 1);
        const ptrdiff_t n = devwire::ReceivePacket(Fd_.Get(), Reply_);
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
    int rc;
    do {
        rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        // No socket, or a stale one that no host listens on: no such device.
        const int err = errno;
        SetLastError(err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK ? ERROR_FILE_NOT_FOUND
                                                                             : ErrorFromErrno(err));
        return nullptr;
    }

    timeval limit{HelloTimeoutSeconds, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::array<uint8_t, devwire::HelloSize + 1> hello{};
    const ptrdiff_t n = devwire::ReceivePacket(fd.Get(), hello);
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
    // Driver calls may legitimately take long: no time-out from here on.
    limit = timeval{0, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SetLastError(ERROR_SUCCESS);
    return std::make_unique<SocketDeviceHandle>(std::move(fd));
}

}  // namespace orvex
