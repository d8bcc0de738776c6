// Pushes arbitrary byte streams through both framers, in chunks whose sizes
// the input chooses, and checks them against a straightforward scan of the
// whole stream written independently of the byte-at-a-time state machines.
//
// Input layout: byte 0 seeds the chunk sizes, byte 1 picks the largest chunk
// (1..16); the rest is the stream as it would arrive from the port.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "driver/driver.h"

namespace {

using orvex::FramerEL;
using orvex::FramerTS;
using orvex::Report;

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

bool Same(const Report& a, const Report& b) {
    return a.X == b.X && a.Y == b.Y && a.Touch == b.Touch;
}

// An event of the EL framer: a report, or a checksum error (Bad).
struct ElEvent {
    bool Bad;
    Report R;
};

// Chunk sizes from a tiny linear congruential generator: deterministic for
// one input, so a crash reproduces.
class Chunks {
  public:
    Chunks(uint8_t seed, uint8_t largest)
        : State_(seed * 2654435761u + 1), Largest_(static_cast<uint32_t>(largest % 16) + 1) {}
    size_t Next() {
        State_ = State_ * 1103515245u + 12345u;
        return (State_ >> 16) % Largest_ + 1;
    }

  private:
    uint32_t State_;
    uint32_t Largest_;
};

// --- independent scans of the whole stream

std::vector<Report> ScanTS(std::span<const uint8_t> s) {
    std::vector<Report> out;
    size_t i = 0;
    while (i < s.size()) {
        if ((s[i] & 0x80) == 0) {
            ++i;
            continue;
        }
        // A start byte: the next four must all have bit 7 clear. The first
        // that does not is swallowed along with the report.
        size_t j = 1;
        while (j <= 4 && i + j < s.size() && (s[i + j] & 0x80) == 0)
            ++j;
        if (j == 5) {
            uint32_t x = (static_cast<uint32_t>(s[i + 1]) << 6) | s[i + 2];
            uint32_t y = (static_cast<uint32_t>(s[i + 3]) << 6) | s[i + 4];
            out.push_back(Report{static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                                 static_cast<uint8_t>((s[i] & 0x20) ? 8 : 0)});
            i += 5;
        } else {
            i += j + 1;
        }
    }
    return out;
}

std::vector<ElEvent> ScanEL(std::span<const uint8_t> s) {
    std::vector<ElEvent> out;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] != 0x55) {
            ++i;
            continue;
        }
        if (i + 1 >= s.size())
            break;
        if (s[i + 1] != 0x54) {
            i += 2;  // the byte after a lone 0x55 is never a start
            continue;
        }
        if (i + 9 >= s.size())
            break;
        unsigned sum = 0xAA;
        for (size_t k = 0; k < 9; ++k)
            sum += s[i + k];
        if ((sum & 0xFF) != s[i + 9]) {
            out.push_back(ElEvent{true, {}});
        } else {
            int32_t rawX = s[i + 3] | (s[i + 4] << 8);
            int32_t rawY = s[i + 5] | (s[i + 6] << 8);
            out.push_back(ElEvent{false, Report{static_cast<uint16_t>(rawX / 4),
                                                static_cast<uint16_t>((1023 - rawY / 4) & 0xFFFF),
                                                static_cast<uint8_t>((s[i + 2] & 0x04) ? 0 : 8)}});
        }
        i += 10;
    }
    return out;
}

// --- the framers, byte by byte and in chunks

template <class Framer, class Event, class PushFn>
std::vector<Event> Run(std::span<const uint8_t> s, Chunks* chunks, PushFn push) {
    std::vector<Event> out;
    Framer f;
    size_t i = 0;
    while (i < s.size()) {
        size_t n = chunks ? chunks->Next() : 1;
        if (n > s.size() - i)
            n = s.size() - i;
        // Between reads only the framer object survives: hand it over as a
        // copy so any state kept elsewhere would show up as a mismatch.
        Framer carried = f;
        for (size_t k = 0; k < n; ++k)
            push(carried, s[i + k], out);
        f = carried;
        i += n;
    }
    return out;
}

void PushTS(FramerTS& f, uint8_t b, std::vector<Report>& out) {
    if (auto r = f.Push(b))
        out.push_back(*r);
}

void PushEL(FramerEL& f, uint8_t b, std::vector<ElEvent>& out) {
    Report r{0xDEAD, 0xBEEF, 0x77};
    switch (f.Push(b, &r)) {
        case FramerEL::Result::Report:
            out.push_back(ElEvent{false, r});
            break;
        case FramerEL::Result::ChecksumError:
            // The framer must not hand out a report it rejected.
            Check(r.X == 0xDEAD && r.Y == 0xBEEF && r.Touch == 0x77);
            out.push_back(ElEvent{true, {}});
            break;
        case FramerEL::Result::None:
            Check(r.X == 0xDEAD);
            break;
    }
}

void CheckSequencesTS(const std::vector<Report>& a, const std::vector<Report>& b) {
    Check(a.size() == b.size());
    for (size_t i = 0; i < a.size(); ++i)
        Check(Same(a[i], b[i]));
}

void CheckSequencesEL(const std::vector<ElEvent>& a, const std::vector<ElEvent>& b) {
    Check(a.size() == b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        Check(a[i].Bad == b[i].Bad);
        if (!a[i].Bad)
            Check(Same(a[i].R, b[i].R));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const std::span<const uint8_t> stream(data + 2, size - 2);

    // TS.
    Chunks tsChunks(data[0], data[1]);
    auto tsBytes = Run<FramerTS, Report>(stream, nullptr, PushTS);
    auto tsChunked = Run<FramerTS, Report>(stream, &tsChunks, PushTS);
    CheckSequencesTS(tsBytes, tsChunked);
    CheckSequencesTS(tsBytes, ScanTS(stream));
    for (const Report& r : tsBytes) {
        // Two 7-bit parts OR-ed after a 6-bit shift cannot exceed 13 bits.
        Check(r.X <= 0x1FFF && r.Y <= 0x1FFF);
        Check(r.Touch == 0 || r.Touch == 8);
    }

    // EL.
    Chunks elChunks(data[0], data[1]);
    auto elBytes = Run<FramerEL, ElEvent>(stream, nullptr, PushEL);
    auto elChunked = Run<FramerEL, ElEvent>(stream, &elChunks, PushEL);
    CheckSequencesEL(elBytes, elChunked);
    CheckSequencesEL(elBytes, ScanEL(stream));
    for (const ElEvent& e : elBytes) {
        if (e.Bad)
            continue;
        Check(e.R.X <= 0x3FFF);
        Check(e.R.Touch == 0 || e.R.Touch == 8);
    }

    // The decoders and the checksum on raw, unframed bytes.
    if (stream.size() >= 11) {
        const uint8_t* p = stream.data();
        Report ts = orvex::DecodeReportTS(std::span<const uint8_t, 5>(p, 5));
        Check(ts.X <= 0x3FFF && ts.Y <= 0x3FFF);
        Report el = orvex::DecodePacketEL(std::span<const uint8_t, 10>(p, 10));
        Check(el.X <= 0x3FFF);
        unsigned sum = 0xAA;
        const size_t covered = p[0] == 0x16 ? 10 : 9;
        for (size_t k = 0; k < covered; ++k)
            sum += p[k];
        Check(orvex::PacketChecksum(stream.first(11)) == (sum & 0xFF));
    }
    // Short buffers must never be read past their end.
    for (size_t n = 0; n < 9 && n <= stream.size(); ++n) {
        (void)orvex::PacketChecksum(stream.first(n));
    }
    return 0;
}
