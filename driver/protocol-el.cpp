// Report decoding: the controller's two wire formats, their framers and the
// EL checksum. Everything here is pure: the reader thread decides what to do
// with a report, so the same code serves the reader, detection, the fuzzer
// and the benchmarks.
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

Report DecodeReportTS(std::span<const uint8_t, 5> report) {
    // The two 7-bit halves are OR-ed, not added: a low half above 63 overlaps
    // bit 6 of the high half. ProcessPoint limits whatever comes out to 1023.
    auto x = static_cast<uint16_t>((report[1] << 6) | report[2]);
    auto y = static_cast<uint16_t>((report[3] << 6) | report[4]);
    auto touch = static_cast<uint8_t>((report[0] >> 2) & 0x08);
    return Report{x, y, touch};
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

// TS report, 5 bytes; only byte 0 has bit 7 set, which is what keeps the
// stream in step:
//
//   byte | 7 | 6 | 5     | 4 3 2 1 0
//   -----+---+---+-------+----------
//    0   | 1 | - | touch | -            ("-": ignored)
//    1   | 0 | X high part (7 bits)
//    2   | 0 | X low part  (7 bits)
//    3   | 0 | Y high part (7 bits)
//    4   | 0 | Y low part  (7 bits)
//
// A byte with bit 7 set in the middle of a report abandons the report and is
// itself dropped: the controller never sends one there, so it is line noise,
// not a new start.
std::optional<Report> FramerTS::Push(uint8_t b) {
    Buffer_[Position_] = b;
    const bool start = (b & 0x80) != 0;
    switch (Position_) {
        case 0:
            if (start)
                Position_ = 1;
            return std::nullopt;
        case 1:
        case 2:
        case 3:
            Position_ = start ? 0 : static_cast<uint8_t>(Position_ + 1);
            return std::nullopt;
        default:
            Position_ = 0;
            if (start)
                return std::nullopt;
            return DecodeReportTS(std::span<const uint8_t, 5>(Buffer_));
    }
}

// EL packet, 10 bytes:
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

}  // namespace orvex
