// A simulated serial touch controller: the behaviour the driver's detection
// and reader threads meet on the wire, with no operating-system object
// behind it. The orvexsim program drives it from a pseudo-terminal; tests
// drive it from an in-process far end of a simulated serial port.
//
// The model is not thread-safe: one caller at a time. Output is handed to the
// sink synchronously, from inside the call that produced it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "common/orvex.h"

namespace orvex {

// The rates a controller can be strapped to.
inline constexpr uint32_t SimRates[] = {38400, 19200, 9600, 4800, 2400, 1200};
bool IsSimRate(uint32_t rate);

struct SimConfig {
    ReportProtocol Protocol = ReportProtocol::TS;
    uint32_t Rate = 9600;
    // The two letters between the brackets of the TS signature.
    std::array<uint8_t, 2> Model = {'T', 'S'};
    // Heard at a wrong rate, a real controller's output is noise rather than
    // silence; with this set, an RTS rise at a wrong rate produces a few
    // garbage bytes.
    bool Garble = false;
};

// Wire encodings. Coordinates are raw 10-bit values (larger ones are limited
// to 1023).
uint8_t SimChecksum(std::span<const uint8_t> packet);
std::array<uint8_t, 5> EncodeReportTS(uint16_t x, uint16_t y, bool touching);
// The driver turns the controller's Y axis around, so the packet carries
// (1023 - y) for the driver to see y.
std::array<uint8_t, 10> EncodePacketEL(uint16_t x, uint16_t y, bool touching);
// The acknowledgement of an EL command: 0x55 'A', the command byte being
// acknowledged, zeros, checksum.
std::array<uint8_t, 10> EncodeAckEL(uint8_t command);
// What the controller says of itself when asked (command 'T' with a last
// parameter byte of 0): a packet whose bytes 1..5 are the identity the host
// checks before its last command. It goes out just before the acknowledgement.
std::array<uint8_t, 10> EncodeIdentityEL();

class SimController {
  public:
    using Sink = std::function<void(std::span<const uint8_t>)>;

    SimController(const SimConfig& config, Sink sink);

    const SimConfig& Config() const { return Config_; }

    // The host's line settings as last seen. Call whenever they may have
    // changed; repeating an unchanged state has no effect.
    void OnLineState(uint32_t rate, bool rts, bool dtr);
    // Bytes the host wrote, at the line's current rate.
    void OnBytesFromHost(std::span<const uint8_t> bytes);

    // One report; returns whether it went out (only while speaking).
    bool Touch(uint16_t x, uint16_t y);
    bool Lift(uint16_t x, uint16_t y);

    // Back to power-on: lines off, nothing received, counters kept.
    void Reset();

    // The line is at the controller's rate.
    bool Speaking() const { return LineRate_ == Config_.Rate; }
    // The host has done what detection does with this controller since the
    // line last changed: TS, the signature went out and RTS is still on; EL,
    // a command was acknowledged. Whether the host then stays is for the
    // caller to judge with Generation().
    bool Engaged() const;
    // Changes with every change of line state and every command received,
    // so that a caller can tell that the host has settled.
    uint32_t Generation() const { return Generation_; }

    uint32_t LineRate() const { return LineRate_; }
    bool Rts() const { return Rts_; }
    bool Dtr() const { return Dtr_; }

    struct Counters {
        uint32_t Signatures = 0;
        uint32_t Garbles = 0;
        uint32_t Acks = 0;
        uint32_t BadCommands = 0;  // framed command packets with a bad checksum
        uint32_t Reports = 0;
        uint32_t DroppedReports = 0;  // touches while not speaking
    };
    const Counters& Count() const { return Count_; }
    // The command byte (byte 1) of the last acknowledged command.
    uint8_t LastCommand() const { return LastCommand_; }

  private:
    void Send(std::span<const uint8_t> bytes);
    // Dropped (and counted so) while the controller is not speaking.
    bool SendReport(uint16_t x, uint16_t y, bool touching);
    void SendGarbage();
    void TakeCommandByte(uint8_t b);

    SimConfig Config_;
    Sink Sink_;
    uint32_t LineRate_ = 0;
    bool Rts_ = false;
    bool Dtr_ = false;
    bool SignatureLive_ = false;
    bool AckLive_ = false;
    uint32_t Generation_ = 0;
    uint8_t LastCommand_ = 0;
    // A command packet being assembled (EL).
    std::array<uint8_t, 10> Command_ = {};
    size_t CommandLength_ = 0;
    Counters Count_;
};

}  // namespace orvex
