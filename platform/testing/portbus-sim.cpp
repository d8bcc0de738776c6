#include "platform/testing/portbus-sim.h"

#include "platform/timer.h"

namespace orvex {

SimulatedPortBus::SimulatedPortBus(TimerService* clock, uint8_t initialPort61)
    : Clock_(clock), Port61_(initialPort61) {
    Accesses_.reserve(256);
}

uint64_t SimulatedPortBus::NowLocked() {
    if (Clock_)
        return Clock_->NowMicroseconds();
    return Counter_++;
}

bool SimulatedPortBus::TranslateBusAddress(uint32_t /*interfaceType*/, uint32_t /*busNumber*/,
                                           uint64_t busAddress, uint32_t* addressSpace,
                                           uint64_t* translated) {
    std::lock_guard g(Lock_);
    if (TranslationFails_ || addressSpace == nullptr || translated == nullptr)
        return false;
    if (ToMemory_)
        *addressSpace = 0;
    *translated = busAddress;
    return true;
}

uint32_t SimulatedPortBus::MapIoSpace(uint64_t /*physical*/, uint32_t /*bytes*/, bool /*cached*/) {
    std::lock_guard g(Lock_);
    return ToMemory_ ? MapResult_ : 0;
}

uint8_t SimulatedPortBus::ReadPortUchar(uint32_t port) {
    std::lock_guard g(Lock_);
    uint8_t v = 0xFF;  // nothing answers: floating bus
    if (port == SystemControlPort) {
        v = Port61_;
    } else if (port == Channel2Port) {
        v = static_cast<uint8_t>(ReadHigh_ ? Divisor_ >> 8 : Divisor_);
        if (AccessMode_ == 3)
            ReadHigh_ = !ReadHigh_;
    }
    Accesses_.push_back({false, port, v, NowLocked()});
    return v;
}

void SimulatedPortBus::WriteChannel2Locked(uint8_t value) {
    switch (AccessMode_) {
        case 1:
            Divisor_ = value;
            Loaded_ = true;
            break;
        case 2:
            Divisor_ = static_cast<uint16_t>(value << 8);
            Loaded_ = true;
            break;
        case 3:
            if (!ExpectHigh_) {
                PendingLow_ = value;
                ExpectHigh_ = true;
            } else {
                Divisor_ = static_cast<uint16_t>(PendingLow_ | (value << 8));
                ExpectHigh_ = false;
                Loaded_ = true;
            }
            break;
        default:
            break;  // counter latch: a data write has no effect
    }
}

void SimulatedPortBus::WritePortUchar(uint32_t port, uint8_t value) {
    std::lock_guard g(Lock_);
    Accesses_.push_back({true, port, value, NowLocked()});
    if (port == SystemControlPort) {
        Port61_ = value;
    } else if (port == Channel2Port) {
        WriteChannel2Locked(value);
    } else if (port == TimerControlPort) {
        // Only channel 2 (bits 7-6 = 10) is modelled; a latch command
        // (access bits 00) does not change the programming.
        if ((value >> 6) != 2)
            return;
        uint8_t access = (value >> 4) & 3;
        if (access == 0)
            return;
        ControlWord_ = value;
        AccessMode_ = access;
        ExpectHigh_ = false;
        ReadHigh_ = false;
        Loaded_ = false;  // a new control word stops the counter until loaded
    }
}

void SimulatedPortBus::SetPort61(uint8_t value) {
    std::lock_guard g(Lock_);
    Port61_ = value;
}

void SimulatedPortBus::SetTranslationFails(bool fails) {
    std::lock_guard g(Lock_);
    TranslationFails_ = fails;
}

void SimulatedPortBus::SetTranslateToMemory(bool toMemory, uint32_t mapResult) {
    std::lock_guard g(Lock_);
    ToMemory_ = toMemory;
    MapResult_ = mapResult;
}

std::vector<SimulatedPortBus::Access> SimulatedPortBus::Accesses() const {
    std::lock_guard g(Lock_);
    return Accesses_;
}

void SimulatedPortBus::Clear() {
    std::lock_guard g(Lock_);
    Accesses_.clear();
}

uint8_t SimulatedPortBus::Port61() const {
    std::lock_guard g(Lock_);
    return Port61_;
}

uint8_t SimulatedPortBus::ControlWord() const {
    std::lock_guard g(Lock_);
    return ControlWord_;
}

uint16_t SimulatedPortBus::Divisor() const {
    std::lock_guard g(Lock_);
    return Divisor_;
}

bool SimulatedPortBus::DivisorLoaded() const {
    std::lock_guard g(Lock_);
    return Loaded_;
}

bool SimulatedPortBus::LatchHalfWritten() const {
    std::lock_guard g(Lock_);
    return ExpectHigh_;
}

uint32_t SimulatedPortBus::FrequencyHz() const {
    std::lock_guard g(Lock_);
    if (!Loaded_)
        return 0;
    uint32_t d = Divisor_ == 0 ? 65536u : Divisor_;
    return TimerInputHz / d;
}

bool SimulatedPortBus::Sounding() const {
    std::lock_guard g(Lock_);
    return Loaded_ && (Port61_ & 0x03) == 0x03;
}

}  // namespace orvex
