// Finding the controller on its COM port.
//
// At each rate of the table the controller is reset through the modem lines:
//
//   SetCommState(rate, 8N1) -> RTS off, DTR on -> sleep 150 ms -> drain
//   -> RTS on -> sleep 10 ms -> [signature wait] -> [EL probe]
//
// A TS controller announces itself with the 4-byte model signature once RTS
// comes on (protocol-ts.cpp); an EL controller answers command packets
// (protocol-el.cpp). The signature match position is deliberately carried
// from one rate to the next.
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

}  // namespace

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

std::optional<std::u16string> PortName(const DriverState& s) {
    char name[32];
    int n = std::snprintf(name, sizeof name, "COM%d:", static_cast<int>(s.Port.Load()));
    if (n < 0 || static_cast<size_t>(n) + 1 > PortNameChars)
        return std::nullopt;
    return std::u16string(name, name + n);
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
            const SignatureResult wait =
                WaitForSignatureTS(io, base, timing, model, received, match);
            if (wait == SignatureResult::ReadFailed) {
                DebugPrint(d, "ORVEXSER: ReadFile error %d\r\n", static_cast<int>(GetLastError()));
                io.SetCommState(saved);
                ClosePort(d);
                return 0;
            }
            if (wait == SignatureResult::Found) {
                DebugPrint(d, "ORVEXSER: TouchScreen found on %s %dBPS, %c%c%c%c\r\n", name,
                           static_cast<int>(entry.Rate), model[0], model[1], model[2], model[3]);
                s.Protocol = ReportProtocol::TS;
                return ConfigureReading(d);
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
