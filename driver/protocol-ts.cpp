// The TS protocol: the controller sends 5-byte reports unasked, and after
// RTS rises it announces itself with its 4-byte model signature ("[TS]"
// unless the registry names another model). The reader takes ReportSizeTS
// bytes at a time.
//
//   byte | 7 | 6 | 5     | 4 3 2 1 0
//   -----+---+---+-------+----------
//    0   | 1 | - | touch | -            ("-": ignored)
//    1   | 0 | X high part (7 bits)
//    2   | 0 | X low part  (7 bits)
//    3   | 0 | Y high part (7 bits)
//    4   | 0 | Y low part  (7 bits)
//
// Only byte 0 has bit 7 set, which is what keeps the stream in step. A byte
// with bit 7 set in the middle of a report abandons the report and is itself
// dropped: the controller never sends one there, so it is line noise, not a
// new start.
#include <span>

#include "driver/driver.h"

namespace orvex {

Report DecodeReportTS(std::span<const uint8_t, 5> report) {
    // The two 7-bit halves are OR-ed, not added: a low half above 63 overlaps
    // bit 6 of the high half. ProcessPoint limits whatever comes out to 1023.
    auto x = static_cast<uint16_t>((report[1] << 6) | report[2]);
    auto y = static_cast<uint16_t>((report[3] << 6) | report[4]);
    auto touch = static_cast<uint8_t>((report[0] >> 2) & 0x08);
    return Report{x, y, touch};
}

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

SignatureResult WaitForSignatureTS(SerialPort& io, const CommTimeouts& base,
                                   const LineTiming& timing, const uint8_t (&model)[4],
                                   uint8_t& received, unsigned& match) {
    // The signature follows the rise of RTS: the first read waits for the
    // controller to answer, later ones for the line to fall silent.
    ReadsWaitAtMost(io, base, timing.FirstByteMs);
    for (bool first = true;; first = false) {
        uint32_t got = 0;
        if (!io.Read(&received, 1, &got))
            return SignatureResult::ReadFailed;
        // Also after a read that brought nothing: the buffer still holds the
        // previous byte and is compared once more.
        match = received == model[match] ? match + 1 : 0;
        if (match == 4)
            return SignatureResult::Found;
        if (got == 0)
            return SignatureResult::Silent;
        if (first)
            ReadsWaitAtMost(io, base, timing.SilenceMs);
    }
}

}  // namespace orvex
