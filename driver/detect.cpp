// Finding the controller on its COM port.
//
// At each rate of the table the controller is reset through the modem lines:
//
//   SetCommState(rate, 8N1) -> RTS off, DTR on -> sleep 150 ms -> drain
//   -> RTS on -> sleep 10 ms -> [signature wait] -> [EL probe]
//
// A TS controller announces itself with the 4-byte model signature once RTS
// comes on; an EL controller answers command packets. The signature match
// position is deliberately carried from one rate to the next.
#include <algorithm>
#include <cstdio>

#include "common/orvex.h"
#include "driver/driver.h"

namespace orvex {

namespace {

struct RateEntry {
    uint32_t Rate;
    bool SignatureWait;
    bool ProbeEl;
};

constexpr RateEntry RateTable[] = {
    {38400, true, false}, {9600, true, true},  {19200, true, true},
    {4800, false, true},  {2400, false, true}, {1200, false, true},
};

// The design keeps the port name in six wide characters with the zero;
// anything longer is refused rather than written past its buffer.
constexpr size_t PortNameChars = 6;

void SleepMs(Driver& d, uint32_t ms) {
    d.Sys.Timers->SleepMilliseconds(ms);
}

// How long the detection reads wait, on a line that takes time.
//
// A character takes 10 bits on the wire (start, 8 data, stop). A write
// returns once the port has the bytes, before they have left, so an answer
// cannot begin before the command has crossed the wire, and its first byte
// cannot be read before it has crossed back. A read that expects an answer
// therefore waits for its first byte
//     (command characters + 1) x character time + AnswerAllowanceMs,
// where the allowance covers the controller's own answer time (a few ms)
// plus the latency of a USB serial adapter (up to 16 ms) and our scheduling.
// After a byte, reading goes on until the line has been silent for
// SilentCharacters character times, but never less than the 20 ms a port
// has as opened: 20 ms from 38400 down to 2400 BPS, 34 ms at 1200.
constexpr uint32_t AnswerAllowanceMs = 40;
constexpr uint32_t SilentCharacters = 4;
constexpr uint32_t AsOpenedIntervalMs = 20;
constexpr uint32_t CommandCharacters = 10;

struct LineTiming {
    uint32_t FirstByteMs;  // after a command, or after RTS (no command)
    uint32_t ReplyMs;      // after an EL command
    uint32_t SilenceMs;
};

LineTiming TimingAt(uint32_t rate) {
    auto charsMs = [rate](uint32_t chars) {
        return static_cast<uint32_t>((uint64_t{chars} * 10 * 1000 + rate - 1) / rate);
    };
    return {charsMs(1) + AnswerAllowanceMs, charsMs(CommandCharacters + 1) + AnswerAllowanceMs,
            std::max(charsMs(SilentCharacters), AsOpenedIntervalMs)};
}

// Makes the next reads return as soon as a byte is there, or after ms
// without one. The result is not examined: a port that refuses keeps its
// earlier time-outs, which end reads just the same.
void ReadsWaitAtMost(SerialPort& io, const CommTimeouts& base, uint32_t ms) {
    CommTimeouts t = base;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = ms;
    io.SetCommTimeouts(t);
}

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

std::optional<std::u16string> PortName(const DriverState& s) {
    char name[32];
    int n = std::snprintf(name, sizeof name, "COM%d:", static_cast<int>(s.Port.Load()));
    if (n < 0 || static_cast<size_t>(n) + 1 > PortNameChars)
        return std::nullopt;
    return std::u16string(name, name + n);
}

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

uint32_t ConfigureReading(Driver& d) {
    SerialPort& port = *d.PortHandle;
    CommTimeouts timeouts;
    if (!port.GetCommTimeouts(&timeouts)) {
        DebugPrint(d, "ORVEXSER: GetCommTimeouts error %d\r\n", static_cast<int>(GetLastError()));
        return 0;
    }
    // A read hands over whatever has arrived and never waits for the rest of
    // a report: all-zero time-outs would make it wait for the whole chunk, so
    // after stray bytes every report would sit in the port until the next one
    // came (a lift-off until the next touch). The reader waits for received
    // characters between reads, so it never spins.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!port.SetCommTimeouts(timeouts)) {
        DebugPrint(d, "ORVEXSER: SetCommTimeouts error %d\r\n", static_cast<int>(GetLastError()));
        return 0;
    }
    if (!port.SetCommMask(EV_RXCHAR)) {
        DebugPrint(d, "ORVEXSER: Error from SetCommMask  %d\r\n", static_cast<int>(GetLastError()));
        return 0;
    }
    return 1;
}

uint32_t DetectController(Driver& d) {
    DriverState& s = d.State;
    LoadPortSettings(d, DriverKeyPath);

    const int port = static_cast<int>(s.Port.Load());
    char name[32];
    std::snprintf(name, sizeof name, "COM%d:", port);
    const uint8_t model[4] = {s.Model[0], s.Model[1], s.Model[2], s.Model[3]};

    DebugPrint(d, "ORVEXSER: Driver Version %s\r\n", DriverVersion);
    DebugPrint(d, "ORVEXSER: Detecting %c%c%c%c device on COM%d...\r\n", model[0], model[1],
               model[2], model[3], port);

    std::unique_ptr<SerialPort> opened;
    if (auto wide = PortName(s)) {
        opened = d.Sys.Serial->Open(*wide);
    } else {
        SetLastError(ERROR_INVALID_NAME);
    }
    if (!opened) {
        DebugPrint(d, "ORVEXSER: Failed to open %s Error %d\r\n", name,
                   static_cast<int>(GetLastError()));
        ClosePort(d);
        return 0;
    }
    SetPortHandle(d, std::move(opened));
    SerialPort& io = *d.PortHandle;

    io.SetupComm(1024, 1024);  // the kernel sizes its own queues; result not examined

    Dcb dcb;
    if (!io.GetCommState(&dcb)) {
        DebugPrint(d, "ORVEXSER: GetCommState error %d\r\n", static_cast<int>(GetLastError()));
        ClosePort(d);
        return 0;
    }
    const Dcb saved = dcb;
    // The write time-outs stay as the port has them (none, for a port that
    // cannot say); the result is not examined.
    CommTimeouts base;
    io.GetCommTimeouts(&base);

    uint8_t received = 0;  // keeps the last byte of the drain or the signature wait
    unsigned match = 0;    // not reset between rates

    for (const RateEntry& entry : RateTable) {
        dcb.BaudRate = entry.Rate;
        dcb.ByteSize = 8;
        dcb.Parity = 0;
        dcb.StopBits = 0;
        if (!io.SetCommState(dcb)) {
            DebugPrint(d, "ORVEXSER: SetCommState error %d\r\n", static_cast<int>(GetLastError()));
            ClosePort(d);
            return 0;
        }
        // Results of the line controls are not examined.
        io.LineControl(IOCTL_SERIAL_CLR_RTS);
        io.LineControl(IOCTL_SERIAL_SET_DTR);
        SleepMs(d, 150);

        const LineTiming timing = TimingAt(entry.Rate);
        ReadsWaitAtMost(io, base, timing.SilenceMs);
        for (;;) {
            uint32_t got = 0;
            io.Read(&received, 1, &got);  // result not examined: no byte ends the drain
            if (got == 0)
                break;
        }

        io.LineControl(IOCTL_SERIAL_SET_RTS);
        SleepMs(d, 10);

        if (entry.SignatureWait) {
            // The signature follows the rise of RTS: the first read waits for
            // the controller to answer, later ones for the line to fall silent.
            ReadsWaitAtMost(io, base, timing.FirstByteMs);
            for (bool first = true;; first = false) {
                uint32_t got = 0;
                if (!io.Read(&received, 1, &got)) {
                    DebugPrint(d, "ORVEXSER: ReadFile error %d\r\n",
                               static_cast<int>(GetLastError()));
                    io.SetCommState(saved);
                    ClosePort(d);
                    return 0;
                }
                // Also after a read that brought nothing: the buffer still
                // holds the previous byte and is compared once more.
                match = received == model[match] ? match + 1 : 0;
                if (match == 4) {
                    DebugPrint(d, "ORVEXSER: TouchScreen found on %s %dBPS, %c%c%c%c\r\n", name,
                               static_cast<int>(entry.Rate), model[0], model[1], model[2],
                               model[3]);
                    s.Protocol = ReportProtocol::TS;
                    return ConfigureReading(d);
                }
                if (got == 0)
                    break;
                if (first)
                    ReadsWaitAtMost(io, base, timing.SilenceMs);
            }
        }

        if (entry.ProbeEl && ProbeEL(d, base, entry.Rate)) {
            DebugPrint(d, "ORVEXSER: TouchScreen found on %s %dBPS, [EL]\r\n", name,
                       static_cast<int>(entry.Rate));
            s.Protocol = ReportProtocol::EL;
            return ConfigureReading(d);
        }
    }

    DebugPrint(d, "ORVEXSER: No TouchScreen found. Returning serial port to original status.\r\n");
    io.SetCommState(saved);
    ClosePort(d);
    return 0;
}

}  // namespace orvex
