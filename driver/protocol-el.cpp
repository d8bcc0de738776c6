// The EL protocol: the controller answers command packets and sends its
// touches as 10-byte packets, each with a checksum. Detection probes for it
// with command packets; the reader takes PacketSizeEL bytes at a time.
//
//   byte | content
//   -----+------------------------------------------------
//    0   | 0x55 'U'
//    1   | 0x54 'T' (touch report)
//    2   | status: bit 2 = 1 not touching, other bits ignored
//    3-4 | X, 16-bit little-endian (10-bit value << 2)
//    5-6 | Y, 16-bit little-endian (10-bit value << 2, inverted)
//    7-8 | unused
//    9   | PacketChecksum of bytes 0..8
//
// After a 0x55 that is not followed by 0x54 the framer starts over with the
// NEXT byte: "55 55 54 ..." loses that packet. That is the controller
// protocol's documented resynchronisation, so we keep it.
//
// Command packets have the same form (0x55, eight parameter bytes, checksum);
// replies that begin with 0x16 are one byte longer. Everything but the probe
// is pure, so the reader, detection, the fuzzer and the benchmarks share it.
#include <span>

#include "driver/driver.h"

namespace orvex {

uint8_t PacketChecksum(std::span<const uint8_t> packet) {
    // Command replies that begin with 0x16 are one byte longer, and their
    // checksum covers that byte too.
    size_t covered = (!packet.empty() && packet[0] == 0x16) ? 10 : 9;
    // A caller that hands in fewer bytes than the form needs gets the sum of
    // what is there rather than a read past its buffer.
    if (covered > packet.size())
        covered = packet.size();
    uint8_t sum = 0xAA;
    for (size_t i = 0; i < covered; ++i)
        sum = static_cast<uint8_t>(sum + packet[i]);
    return sum;
}

Report DecodePacketEL(std::span<const uint8_t, 10> packet) {
    uint32_t rawX = static_cast<uint32_t>(packet[3]) | (static_cast<uint32_t>(packet[4]) << 8);
    uint32_t rawY = static_cast<uint32_t>(packet[5]) | (static_cast<uint32_t>(packet[6]) << 8);
    auto x = static_cast<uint16_t>(rawX >> 2);
    // The controller's Y axis runs the other way. For raw Y >= 4096 the
    // difference goes negative; its low 16 bits are far above 1023, which
    // ProcessPoint then limits to 1023 (the panel's edge).
    int32_t flipped = 1023 - static_cast<int32_t>(rawY >> 2);
    auto y = static_cast<uint16_t>(static_cast<uint32_t>(flipped) & 0xFFFF);
    // Bit 2 of the status byte is set while the panel is NOT touched.
    auto touch = static_cast<uint8_t>(~(packet[2] << 1) & 0x08);
    return Report{x, y, touch};
}

FramerEL::Result FramerEL::Push(uint8_t b, Report* out) {
    Buffer_[Position_] = b;
    switch (Position_) {
        case 0:
            if (b == 0x55)
                Position_ = 1;
            return Result::None;
        case 1:
            Position_ = (b == 0x54) ? 2 : 0;
            return Result::None;
        case 9: {
            Position_ = 0;
            if (b != PacketChecksum(std::span<const uint8_t>(Buffer_, 9))) {
                return Result::ChecksumError;
            }
            Report r = DecodePacketEL(std::span<const uint8_t, 10>(Buffer_));
            if (out)
                *out = r;
            return Result::Report;
        }
        default:
            ++Position_;
            return Result::None;
    }
}

namespace {

// Reading a reply: at most 55 bytes into the 56-byte buffer, read until the
// line falls silent; succeeds only when the first read succeeded and brought
// at least one byte.
bool ReadReplyEL(Driver& d, const CommTimeouts& base, const LineTiming& timing,
                 uint8_t (&buffer)[56], uint32_t* count) {
    SerialPort& io = *d.PortHandle;
    *count = 0;
    uint32_t got = 0;
    ReadsWaitAtMost(io, base, timing.ReplyMs);
    if (!io.Read(buffer, 55, &got) || got == 0)
        return false;
    *count = got;
    ReadsWaitAtMost(io, base, timing.SilenceMs);
    while (*count < 55) {
        got = 0;
        // A later read that fails ends the reply with what came before it.
        if (!io.Read(buffer + *count, 55 - *count, &got) || got == 0)
            break;
        *count += got;
    }
    return true;
}

}  // namespace

uint32_t SendPacketEL(Driver& d, const uint8_t (&params)[8]) {
    uint8_t packet[10];
    packet[0] = 0x55;
    for (size_t i = 0; i < 8; ++i)
        packet[1 + i] = params[i];
    packet[9] = PacketChecksum(std::span<const uint8_t>(packet, 9));
    uint32_t written = 0;
    bool ok = d.PortHandle->Write(packet, sizeof packet, &written);
    return ok && written == sizeof packet ? 1 : 0;
}

ReplyEL FindReplyEL(std::span<const uint8_t> bytes, uint8_t wanted, uint32_t offset) {
    const size_t n = bytes.size();
    size_t o = offset;
    while (o + 10 <= n) {
        size_t length;
        if (bytes[o] == 0x16) {
            length = 11;
        } else if (bytes[o] == 0x55) {
            length = 10;
        } else {
            ++o;
            continue;
        }
        if (o + length <= n) {
            auto packet = bytes.subspan(o, length);
            if (packet[length - 1] == PacketChecksum(packet) && packet[1] == wanted) {
                return {true, static_cast<uint32_t>(o), static_cast<uint32_t>(length)};
            }
        }
        // A candidate that does not match is skipped whole.
        o += length;
    }
    return {false, 0, 0};
}

uint32_t ProbeEL(Driver& d, const CommTimeouts& base, uint32_t rate) {
    static constexpr uint8_t First[8] = {0x51, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    static constexpr uint8_t Second[8] = {0x54, 0x4B, 0x34, 0x38, 0x31, 0x37, 0x4D, 0x00};
    static constexpr uint8_t Third[8] = {0x54, 0x4B, 0x34, 0x38, 0x31, 0x37, 0x4D, 0xFF};
    static constexpr uint8_t Identity[5] = {0x74, 0x6B, 0x48, 0x17, 0x6D};
    constexpr uint8_t Ack = 0x41;

    uint8_t reply[56] = {};
    uint32_t count = 0;
    const LineTiming timing = TimingAt(rate);

    if (!SendPacketEL(d, First))
        return 0;
    if (!ReadReplyEL(d, base, timing, reply, &count))
        return 0;
    // Any answer at all counts as an EL controller; the acknowledgement only
    // decides whether the identity exchange follows.
    ReplyEL r = FindReplyEL(std::span<const uint8_t>(reply, count), Ack, 0);
    if (!r.Found)
        return 1;

    if (!SendPacketEL(d, Second))
        return 0;
    if (!ReadReplyEL(d, base, timing, reply, &count))
        return 0;
    r = FindReplyEL(std::span<const uint8_t>(reply, count), Ack, 0);
    if (!r.Found)
        return 1;

    // The packet that ends where the acknowledgement begins.
    int64_t q = static_cast<int64_t>(r.Offset) - static_cast<int64_t>(r.Length);
    if (q < 0)
        return 1;
    for (size_t i = 0; i < 5; ++i) {
        if (reply[static_cast<size_t>(q) + 1 + i] != Identity[i])
            return 1;
    }
    return SendPacketEL(d, Third);
}

}  // namespace orvex
