// Timer service: sleeps in microseconds (NdisMSleep), one-shot timers
// (NdisInitializeTimer / NdisSetTimer) and the readiness query of system
// services. The clock is the service's own, so test doubles can control it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace orvex {

class OneShotTimer {
  public:
    // Destroying a timer cancels it and waits for a callback that is running
    // on another thread, so the callback never outlives its owner.
    virtual ~OneShotTimer() = default;
    // Arms the timer to call its function once after the delay. Setting a
    // pending timer again restarts the delay.
    virtual void Set(uint32_t milliseconds) = 0;
    // Disarms; returns true when the timer was pending. Waits for a callback
    // in progress on another thread. Safe to call from within the callback.
    virtual bool Cancel() = 0;
    virtual bool Pending() const = 0;
};

class TimerService {
  public:
    virtual ~TimerService() = default;
    virtual void SleepMicroseconds(uint32_t microseconds) = 0;
    // The thread sleep of the core library (Sleep), as opposed to the driver
    // kit's NdisMSleep above; the same wait, told apart only where calls are
    // shown.
    virtual void SleepMilliseconds(uint32_t milliseconds) {
        SleepMicroseconds(milliseconds * 1000);
    }
    virtual std::unique_ptr<OneShotTimer> CreateTimer(std::function<void()> function) = 0;
    virtual bool IsServiceReady(uint32_t service) = 0;
    // Monotonic time of this service's clock.
    virtual uint64_t NowMicroseconds() = 0;
};

// Real time: a timer thread per service; every service is reported ready.
std::unique_ptr<TimerService> CreateRealTimerService();

// Shows each sleep as a text line on fd (standard output by default) before
// sleeping it on real; everything else is real's.
std::unique_ptr<TimerService> CreateLoggingTimerService(std::unique_ptr<TimerService> real,
                                                        int fd = 1);

}  // namespace orvex
