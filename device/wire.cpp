#include "device/wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/orvex.h"

namespace orvex::devwire {

std::vector<uint8_t> EncodeRequest(Op op, uint32_t code, uint32_t arg, const uint8_t* in,
                                   uint32_t inSize, const uint8_t* out, uint32_t outSize,
                                   const uint32_t* returned) {
    uint8_t flags = 0;
    if (in != nullptr)
        flags |= FlagIn;
    if (out != nullptr)
        flags |= FlagOut;
    const bool aliased = in != nullptr && in == out;
    if (aliased)
        flags |= FlagAliased;
    if (returned != nullptr)
        flags |= FlagReturned;

    size_t payload = 0;
    const uint32_t shared = inSize > outSize ? inSize : outSize;
    if (aliased) {
        payload = shared;
    } else {
        if (in != nullptr)
            payload += inSize;
        if (out != nullptr)
            payload += outSize;
    }
    std::vector<uint8_t> packet(RequestHeaderSize + payload);
    packet[0] = static_cast<uint8_t>(op);
    packet[1] = flags;
    PutU32(packet, 4, code);
    PutU32(packet, 8, arg);
    PutU32(packet, 12, inSize);
    PutU32(packet, 16, outSize);
    PutU32(packet, 20, returned != nullptr ? *returned : 0);
    uint8_t* p = packet.data() + RequestHeaderSize;
    if (aliased) {
        std::copy(in, in + shared, p);
    } else {
        if (in != nullptr)
            p = std::copy(in, in + inSize, p);
        if (out != nullptr)
            std::copy(out, out + outSize, p);
    }
    return packet;
}

std::optional<Request> ParseRequest(std::span<const uint8_t> packet) {
    if (packet.size() < RequestHeaderSize)
        return std::nullopt;
    Request r;
    const uint8_t op = packet[0];
    if (op < static_cast<uint8_t>(Op::IoControl) || op > static_cast<uint8_t>(Op::Seek)) {
        return std::nullopt;
    }
    r.What = static_cast<Op>(op);
    r.Flags = packet[1];
    if ((r.Flags & ~KnownFlags) != 0 || GetU16(packet, 2) != 0)
        return std::nullopt;
    r.Code = GetU32(packet, 4);
    r.Arg = GetU32(packet, 8);
    r.InSize = GetU32(packet, 12);
    r.OutSize = GetU32(packet, 16);
    r.Returned = GetU32(packet, 20);
    if (r.InSize > MaxBuffer || r.OutSize > MaxBuffer)
        return std::nullopt;
    if (!r.Has(FlagReturned) && r.Returned != 0)
        return std::nullopt;

    // Each operation carries only the buffers its entry point takes.
    switch (r.What) {
        case Op::IoControl:
            if (r.Has(FlagAliased) && !(r.Has(FlagIn) && r.Has(FlagOut)))
                return std::nullopt;
            break;
        case Op::Read:
            if ((r.Flags & ~FlagOut) != 0 || r.InSize != 0 || r.Code != 0 || r.Arg != 0) {
                return std::nullopt;
            }
            break;
        case Op::Write:
            if ((r.Flags & ~FlagIn) != 0 || r.OutSize != 0 || r.Code != 0 || r.Arg != 0) {
                return std::nullopt;
            }
            break;
        case Op::Seek:
            if (r.Flags != 0 || r.InSize != 0 || r.OutSize != 0)
                return std::nullopt;
            break;
    }

    const auto payload = packet.subspan(RequestHeaderSize);
    size_t inBytes = 0, outBytes = 0;
    if (r.Has(FlagAliased)) {
        outBytes = r.AliasedSize();
    } else {
        if (r.Has(FlagIn))
            inBytes = r.InSize;
        if (r.Has(FlagOut))
            outBytes = r.OutSize;
    }
    if (payload.size() != inBytes + outBytes)
        return std::nullopt;
    r.In = payload.subspan(0, inBytes);
    r.Out = payload.subspan(inBytes, outBytes);
    return r;
}

std::vector<uint8_t> EncodeReply(uint32_t result, uint32_t lastError, uint32_t returned,
                                 std::span<const uint8_t> out) {
    std::vector<uint8_t> packet(ReplyHeaderSize + out.size());
    PutU32(packet, 0, result);
    PutU32(packet, 4, lastError);
    PutU32(packet, 8, returned);
    PutU32(packet, 12, static_cast<uint32_t>(out.size()));
    std::copy(out.begin(), out.end(), packet.begin() + ReplyHeaderSize);
    return packet;
}

std::optional<Reply> ParseReply(std::span<const uint8_t> packet, uint32_t expectedOut) {
    if (packet.size() < ReplyHeaderSize)
        return std::nullopt;
    const uint32_t outBytes = GetU32(packet, 12);
    if (outBytes != expectedOut || packet.size() != ReplyHeaderSize + size_t{outBytes}) {
        return std::nullopt;
    }
    return Reply{GetU32(packet, 0), GetU32(packet, 4), GetU32(packet, 8),
                 packet.subspan(ReplyHeaderSize)};
}

std::array<uint8_t, HelloSize> EncodeHello(uint32_t error) {
    std::array<uint8_t, HelloSize> packet{};
    PutU32(packet, 0, HelloMagic);
    PutU32(packet, 4, ProtocolVersion);
    PutU32(packet, 8, error);
    return packet;
}

std::optional<uint32_t> ParseHello(std::span<const uint8_t> packet) {
    if (packet.size() != HelloSize || GetU32(packet, 0) != HelloMagic ||
        GetU32(packet, 4) != ProtocolVersion) {
        return std::nullopt;
    }
    return GetU32(packet, 8);
}

bool SendPacket(int fd, std::span<const uint8_t> packet) {
    for (;;) {
        const ssize_t n = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<size_t>(n) == packet.size();
        if (errno != EINTR)
            return false;
    }
}

ptrdiff_t ReceivePacket(int fd, std::span<uint8_t> buffer) {
    for (;;) {
        iovec iov{buffer.data(), buffer.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if ((msg.msg_flags & MSG_TRUNC) != 0)
            return -2;
        return n;
    }
}

}  // namespace orvex::devwire
