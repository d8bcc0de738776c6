#include <algorithm>

#include "driver/driver.h"

namespace orvex {

namespace {

constexpr uint8_t Channel2SquareWave = 0xB6;  // channel 2, low then high byte, mode 3, binary
constexpr uint8_t GateAndSpeaker = 0x03;      // port 0x61 bits 0 and 1
constexpr uint32_t SelfTestDivisor = 2280;
constexpr int32_t SelfTestMilliseconds = 40;
// A beep sleeps in slices no longer than this, so a stop is seen soon.
constexpr uint32_t SleepSliceMicroseconds = 50000;

}  // namespace

uint32_t MapIoPort(Driver& d, uint64_t physical, uint32_t addressSpace, uint32_t size) {
    if (d.Sys.Ports == nullptr)
        return 0;
    uint32_t space = addressSpace;
    uint64_t translated = 0;
    if (!d.Sys.Ports->TranslateBusAddress(InterfaceTypeIsa, 0, physical, &space, &translated))
        return 0;
    if (space == 0)
        return d.Sys.Ports->MapIoSpace(translated, size, false);
    return static_cast<uint32_t>(translated);
}

void MapSpeakerPorts(Driver& d) {
    const auto& e = DriverState::SpeakerPorts;
    d.State.SpeakerControlPort = MapIoPort(d, e[0].PhysicalAddress, e[0].AddressSpace, e[0].Size);
    d.State.TimerChannel2Port = MapIoPort(d, e[1].PhysicalAddress, e[1].AddressSpace, e[1].Size);
    d.State.TimerControlPort = MapIoPort(d, e[2].PhysicalAddress, e[2].AddressSpace, e[2].Size);
}

void SpeakerBeep(Driver& d, uint32_t divisor, int32_t milliseconds) {
    PortBus* bus = d.Sys.Ports;
    if (bus == nullptr)
        return;
    // The self-test beep of a control code can meet a touch beep of the
    // reader thread; one beep at a time keeps the 8254's byte latch and the
    // saved port byte of each beep intact.
    std::lock_guard g(d.BeepLock);
    const uint32_t control = d.State.SpeakerControlPort;
    const uint32_t channel2 = d.State.TimerChannel2Port;
    const uint32_t timerControl = d.State.TimerControlPort;
    // Unmapped (or failed to map): port 0 is not ours to write.
    if (control == 0 || channel2 == 0 || timerControl == 0)
        return;

    const uint8_t saved = bus->ReadPortUchar(control);
    bus->WritePortUchar(timerControl, Channel2SquareWave);
    bus->WritePortUchar(channel2, static_cast<uint8_t>(divisor));
    bus->WritePortUchar(channel2, static_cast<uint8_t>(divisor >> 8));
    const uint8_t now = bus->ReadPortUchar(control);
    bus->WritePortUchar(control, static_cast<uint8_t>(now | GateAndSpeaker));
    // No beep may hold the reader thread for long: the touch beep's length
    // is capped before it gets here, a negative one is none, and a stop of
    // the driver silences the speaker at once instead of after the whole beep.
    uint32_t left = milliseconds > 0 ? static_cast<uint32_t>(milliseconds) * 1000u : 0u;
    if (d.Sys.Timers) {
        do {
            const uint32_t slice = std::min(left, SleepSliceMicroseconds);
            d.Sys.Timers->SleepMicroseconds(slice);
            left -= slice;
        } while (left > 0 && !d.State.StopRequested);
    }
    bus->WritePortUchar(control, saved);
}

void TouchBeep(Driver& d) {
    const uint32_t tone = d.State.FeedbackTone;
    const uint32_t duration = d.State.FeedbackDuration;
    SpeakerBeep(d, tone, static_cast<int32_t>(CapFeedbackDuration(duration) * 10u));
}

void SelfTestBeep(Driver& d) {
    SpeakerBeep(d, SelfTestDivisor, SelfTestMilliseconds);
}

}  // namespace orvex
