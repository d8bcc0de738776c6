// The wire format between the device client (programs) and the device manager
// (orvex-devmgr), on a Unix SOCK_SEQPACKET socket: one request packet, one
// reply packet, all integers little-endian. docs/device-protocol.md is the
// prose version of this file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/uniquefd.h"

namespace orvex::devwire {

// Largest buffer one call may carry in each direction. Bounding it keeps a
// request inside one packet and lets a host refuse a hostile size up front.
inline constexpr uint32_t MaxBuffer = 64 * 1024;

// The first packet on every connection, host to client: the outcome of the
// driver's Open.
//   0 u32 HelloMagic   4 u32 ProtocolVersion   8 u32 Error (0 = opened)
inline constexpr uint32_t HelloMagic = 0x5856524Fu;  // "ORVX"
inline constexpr uint32_t ProtocolVersion = 1;
inline constexpr size_t HelloSize = 12;

enum class Op : uint8_t { IoControl = 1, Read = 2, Write = 3, Seek = 4 };

// Request flags.
inline constexpr uint8_t FlagIn = 0x01;        // input buffer present (else null)
inline constexpr uint8_t FlagOut = 0x02;       // output buffer present (else null)
inline constexpr uint8_t FlagAliased = 0x04;   // input and output are one buffer
inline constexpr uint8_t FlagReturned = 0x08;  // byte-count pointer present (else null)
inline constexpr uint8_t KnownFlags = FlagIn | FlagOut | FlagAliased | FlagReturned;

// Request, client to host:
//   0 u8 Op   1 u8 Flags   2 u16 reserved, 0
//   4 u32 Code (IoControl: control code; Seek: distance, two's complement)
//   8 u32 Arg (Seek: move method; otherwise 0)
//  12 u32 InSize   16 u32 OutSize   20 u32 Returned (*returned before the call)
//  24 payload: the input bytes (InSize, when FlagIn and not FlagAliased), then
//     the output buffer's current bytes (OutSize, when FlagOut; with
//     FlagAliased the one buffer, max(InSize, OutSize) bytes)
// Read carries its buffer as the output buffer, Write as the input buffer.
inline constexpr size_t RequestHeaderSize = 24;
inline constexpr size_t MaxRequestSize = RequestHeaderSize + 2 * size_t{MaxBuffer};

// Reply, host to client:
//   0 u32 Result   4 u32 LastError   8 u32 Returned (*returned after the call)
//  12 u32 OutBytes (OutSize when the output buffer was present, else 0)
//  16 the output buffer's bytes after the call
inline constexpr size_t ReplyHeaderSize = 16;
inline constexpr size_t MaxReplySize = ReplyHeaderSize + size_t{MaxBuffer};

struct Request {
    Op What = Op::IoControl;
    uint8_t Flags = 0;
    uint32_t Code = 0;
    uint32_t Arg = 0;
    uint32_t InSize = 0;
    uint32_t OutSize = 0;
    uint32_t Returned = 0;
    // Views into the packet: the input bytes (empty when absent or aliased)
    // and the output bytes (with FlagAliased, the one shared buffer).
    std::span<const uint8_t> In;
    std::span<const uint8_t> Out;

    bool Has(uint8_t flag) const { return (Flags & flag) != 0; }
    // Bytes of the shared buffer when aliased.
    uint32_t AliasedSize() const { return InSize > OutSize ? InSize : OutSize; }
};

struct Reply {
    uint32_t Result = 0;
    uint32_t LastError = 0;
    uint32_t Returned = 0;
    std::span<const uint8_t> Out;
};

// Builds a request packet. in/out may be null (absent buffers); when in ==
// out and both are present the buffer travels once, flagged as aliased.
// Sizes must already be within MaxBuffer.
std::vector<uint8_t> EncodeRequest(Op op, uint32_t code, uint32_t arg, const uint8_t* in,
                                   uint32_t inSize, const uint8_t* out, uint32_t outSize,
                                   const uint32_t* returned);

// Checks every field and the exact payload length; nullopt when the packet
// is malformed in any way. The request's spans point into packet.
std::optional<Request> ParseRequest(std::span<const uint8_t> packet);

std::vector<uint8_t> EncodeReply(uint32_t result, uint32_t lastError, uint32_t returned,
                                 std::span<const uint8_t> out);
// expectedOut: the number of output bytes the request asked for; a reply
// that carries any other count is malformed.
std::optional<Reply> ParseReply(std::span<const uint8_t> packet, uint32_t expectedOut);

std::array<uint8_t, HelloSize> EncodeHello(uint32_t error);
// The Error field of a well-formed hello, nullopt otherwise.
std::optional<uint32_t> ParseHello(std::span<const uint8_t> packet);

// The wire's sockets are owned descriptors like any other.
using orvex::UniqueFd;

// Sends one packet without raising SIGPIPE; false when the peer is gone.
bool SendPacket(int fd, std::span<const uint8_t> packet);
// Receives one packet into buffer (retrying on EINTR). Returns its size; 0
// when the peer closed; -1 on error; -2 when the packet did not fit.
ptrdiff_t ReceivePacket(int fd, std::span<uint8_t> buffer);

}  // namespace orvex::devwire
