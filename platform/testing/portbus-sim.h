// Test double of the port bus: the PC speaker's hardware as the driver sees
// it, i.e. channel 2 of an 8254 timer (data port 0x42, control port 0x43) and
// the system control port 0x61, with every access recorded in order.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/portbus.h"

namespace orvex {

class TimerService;

class SimulatedPortBus final : public PortBus {
  public:
    struct Access {
        bool Write;
        uint32_t Port;
        uint8_t Value;
        uint64_t TimeUs;
        // Two accesses are the same access whatever their times.
        bool SameAs(const Access& o) const {
            return Write == o.Write && Port == o.Port && Value == o.Value;
        }
    };

    static constexpr uint32_t SystemControlPort = 0x61;
    static constexpr uint32_t Channel2Port = 0x42;
    static constexpr uint32_t TimerControlPort = 0x43;
    static constexpr uint32_t TimerInputHz = 1193182;

    // Times come from the clock's NowMicroseconds; without one, from a
    // counter that advances by one per access.
    explicit SimulatedPortBus(TimerService* clock = nullptr, uint8_t initialPort61 = 0x00);

    bool TranslateBusAddress(uint32_t interfaceType, uint32_t busNumber, uint64_t busAddress,
                             uint32_t* addressSpace, uint64_t* translated) override;
    uint32_t MapIoSpace(uint64_t physical, uint32_t bytes, bool cached) override;
    uint8_t ReadPortUchar(uint32_t port) override;
    void WritePortUchar(uint32_t port, uint8_t value) override;

    // Configuration.
    void SetPort61(uint8_t value);
    void SetTranslationFails(bool fails);
    // Translation turns every address into memory space, which MapIoSpace
    // then maps to mapResult (0 = the mapping fails).
    void SetTranslateToMemory(bool toMemory, uint32_t mapResult);

    // Observation.
    std::vector<Access> Accesses() const;
    void Clear();  // forgets the recorded accesses, not the hardware state
    uint8_t Port61() const;
    uint8_t ControlWord() const;  // last control word written for channel 2
    // The divisor most recently loaded into channel 2 (0 counts as 65536),
    // and whether a load is half done.
    uint16_t Divisor() const;
    bool DivisorLoaded() const;
    bool LatchHalfWritten() const;
    uint32_t FrequencyHz() const;
    // Gate and speaker data bits both on, with a divisor loaded.
    bool Sounding() const;

  private:
    uint64_t NowLocked();
    void WriteChannel2Locked(uint8_t value);

    mutable std::mutex Lock_;
    TimerService* Clock_;
    uint64_t Counter_ = 0;
    std::vector<Access> Accesses_;

    uint8_t Port61_;
    uint8_t ControlWord_ = 0;
    uint8_t AccessMode_ = 3;   // bits 5-4 of the control word: 1 low, 2 high, 3 low then high
    bool ExpectHigh_ = false;  // in mode 3: the low byte has been written
    bool ReadHigh_ = false;    // read-back toggle of port 0x42
    uint16_t PendingLow_ = 0;
    uint16_t Divisor_ = 0;
    bool Loaded_ = false;

    bool TranslationFails_ = false;
    bool ToMemory_ = false;
    uint32_t MapResult_ = 0;
};

}  // namespace orvex
