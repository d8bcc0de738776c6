#include "tools/orvexsim/controller.h"

#include <algorithm>
#include <utility>

namespace orvex {

namespace {

constexpr uint8_t ElStart = 0x55;
constexpr uint8_t ElTouchReport = 0x54;
constexpr uint8_t ElAck = 0x41;
constexpr uint8_t ElNotTouching = 0x04;
constexpr uint16_t RawMax = 1023;

uint16_t Limit(uint16_t v) {
    return std::min(v, RawMax);
}

}  // namespace

bool IsSimRate(uint32_t rate) {
    return std::find(std::begin(SimRates), std::end(SimRates), rate) != std::end(SimRates);
}

uint8_t SimChecksum(std::span<const uint8_t> packet) {
    // Packets that begin with 0x16 are one byte longer and their checksum
    // covers one more byte.
    const size_t covered = (!packet.empty() && packet[0] == 0x16) ? 10 : 9;
    uint8_t sum = 0xAA;
    for (size_t i = 0; i < covered && i < packet.size(); ++i)
        sum = static_cast<uint8_t>(sum + packet[i]);
    return sum;
}

std::array<uint8_t, 5> EncodeReportTS(uint16_t x, uint16_t y, bool touching) {
    x = Limit(x);
    y = Limit(y);
    return {static_cast<uint8_t>(0x80 | (touching ? 0x20 : 0x00)), static_cast<uint8_t>(x >> 6),
            static_cast<uint8_t>(x & 0x3F), static_cast<uint8_t>(y >> 6),
            static_cast<uint8_t>(y & 0x3F)};
}

std::array<uint8_t, 10> EncodePacketEL(uint16_t x, uint16_t y, bool touching) {
    const uint16_t wx = static_cast<uint16_t>(Limit(x) << 2);
    const uint16_t wy = static_cast<uint16_t>((RawMax - Limit(y)) << 2);
    std::array<uint8_t, 10> p = {ElStart,
                                 ElTouchReport,
                                 touching ? uint8_t{0x00} : ElNotTouching,
                                 static_cast<uint8_t>(wx),
                                 static_cast<uint8_t>(wx >> 8),
                                 static_cast<uint8_t>(wy),
                                 static_cast<uint8_t>(wy >> 8),
                                 0,
                                 0,
                                 0};
    p[9] = SimChecksum(p);
    return p;
}

std::array<uint8_t, 10> EncodeAckEL(uint8_t command) {
    std::array<uint8_t, 10> p = {ElStart, ElAck, command, 0, 0, 0, 0, 0, 0, 0};
    p[9] = SimChecksum(p);
    return p;
}

std::array<uint8_t, 10> EncodeIdentityEL() {
    std::array<uint8_t, 10> p = {ElStart, 0x74, 0x6B, 0x48, 0x17, 0x6D, 0, 0, 0, 0};
    p[9] = SimChecksum(p);
    return p;
}

SimController::SimController(const SimConfig& config, Sink sink)
    : Config_(config), Sink_(std::move(sink)) {}

void SimController::OnLineState(uint32_t rate, bool rts, bool dtr) {
    if (rate == LineRate_ && rts == Rts_ && dtr == Dtr_)
        return;
    const bool rtsRose = rts && !Rts_;
    if (rate != LineRate_) {
        // Whatever was half received at the old rate is lost, and whatever
        // the host learned about us at the old rate no longer holds.
        CommandLength_ = 0;
        SignatureLive_ = false;
        AckLive_ = false;
    }
    if (!rts)
        SignatureLive_ = false;
    LineRate_ = rate;
    Rts_ = rts;
    Dtr_ = dtr;
    ++Generation_;

    if (!rtsRose)
        return;
    if (Speaking()) {
        if (Config_.Protocol == ReportProtocol::TS) {
            const uint8_t signature[4] = {'[', Config_.Model[0], Config_.Model[1], ']'};
            Send(signature);
            ++Count_.Signatures;
            SignatureLive_ = true;
        }
    } else if (Config_.Garble && rate != 0) {
        SendGarbage();
    }
}

void SimController::SendGarbage() {
    // Roughly what a receiver makes of a few characters sent at another
    // rate: a fast receiver sees runs of zeros and ones, a slow one a few
    // smeared characters. Never 0x55 or '[', so the noise cannot start a
    // packet or a signature of its own.
    static constexpr uint8_t FastLine[] = {0x00, 0xE0, 0x80, 0xFE, 0x00, 0xF8};
    static constexpr uint8_t SlowLine[] = {0x9F, 0xE6, 0x0F};
    if (LineRate_ > Config_.Rate) {
        Send(FastLine);
    } else {
        Send(SlowLine);
    }
    ++Count_.Garbles;
}

void SimController::OnBytesFromHost(std::span<const uint8_t> bytes) {
    // Heard at a wrong rate, the host's bytes are noise to the controller,
    // and a TS controller takes no commands at all.
    if (!Speaking() || Config_.Protocol != ReportProtocol::EL)
        return;
    for (uint8_t b : bytes)
        TakeCommandByte(b);
}

void SimController::TakeCommandByte(uint8_t b) {
    if (CommandLength_ == 0 && b != ElStart)
        return;
    Command_[CommandLength_++] = b;
    if (CommandLength_ < Command_.size())
        return;

    if (SimChecksum(Command_) == Command_[9]) {
        CommandLength_ = 0;
        LastCommand_ = Command_[1];
        if (Command_[1] == ElTouchReport && Command_[8] == 0x00)
            Send(EncodeIdentityEL());
        Send(EncodeAckEL(Command_[1]));
        ++Count_.Acks;
        AckLive_ = true;
        ++Generation_;
        return;
    }
    // A bad packet: the start may have been a data byte, so look for the
    // next start byte among what was received and frame from there.
    ++Count_.BadCommands;
    size_t next = 1;
    while (next < Command_.size() && Command_[next] != ElStart)
        ++next;
    std::copy(Command_.begin() + static_cast<std::ptrdiff_t>(next), Command_.end(),
              Command_.begin());
    CommandLength_ = Command_.size() - next;
}

bool SimController::Engaged() const {
    if (!Speaking())
        return false;
    return Config_.Protocol == ReportProtocol::TS ? SignatureLive_ && Rts_ : AckLive_;
}

bool SimController::Touch(uint16_t x, uint16_t y) {
    return SendReport(x, y, true);
}

bool SimController::Lift(uint16_t x, uint16_t y) {
    return SendReport(x, y, false);
}

bool SimController::SendReport(uint16_t x, uint16_t y, bool touching) {
    if (!Speaking()) {
        ++Count_.DroppedReports;
        return false;
    }
    if (Config_.Protocol == ReportProtocol::TS) {
        Send(EncodeReportTS(x, y, touching));
    } else {
        Send(EncodePacketEL(x, y, touching));
    }
    ++Count_.Reports;
    return true;
}

void SimController::Reset() {
    LineRate_ = 0;
    Rts_ = false;
    Dtr_ = false;
    SignatureLive_ = false;
    AckLive_ = false;
    CommandLength_ = 0;
    ++Generation_;
}

void SimController::Send(std::span<const uint8_t> bytes) {
    if (Sink_)
        Sink_(bytes);
}

}  // namespace orvex
