// Test double of the timer service: a virtual clock that only moves when the
// test (or a sleep) moves it.
//
// SleepMicroseconds returns at once, advances the clock by the time asked for
// and keeps a list of the sleeps. Advance moves the clock and runs every timer
// that falls due on the way, on the calling thread, in time order (timers due
// at the same moment in the order they were set); a timer that a callback sets
// again fires in the same Advance if it falls due within it. Readiness answers
// are set per service (default: ready) and every query is logged.
// Everything may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/timer.h"

namespace orvex {

class ManualTimerService final : public TimerService {
  public:
    explicit ManualTimerService(uint64_t startMicroseconds = 0);
    ~ManualTimerService() override;
    ManualTimerService(const ManualTimerService&) = delete;
    ManualTimerService& operator=(const ManualTimerService&) = delete;

    void SleepMicroseconds(uint32_t microseconds) override;
    std::unique_ptr<OneShotTimer> CreateTimer(std::function<void()> function) override;
    bool IsServiceReady(uint32_t service) override;
    uint64_t NowMicroseconds() override;

    void Advance(uint64_t milliseconds);
    void AdvanceMicroseconds(uint64_t microseconds);

    void SetServiceReady(uint32_t service, bool ready);
    // The answer for services that were never set.
    void SetDefaultReady(bool ready);
    std::vector<uint32_t> ReadinessQueries() const;
    void ClearReadinessQueries();

    std::vector<uint32_t> Sleeps() const;
    void ClearSleeps();

    size_t PendingTimers() const;
    // Clock time at which the earliest pending timer falls due.
    std::optional<uint64_t> NextDueMicroseconds() const;

    struct Internals;

  private:
    std::shared_ptr<Internals> S_;
    mutable std::mutex Lock_;  // readiness and sleep logs
    std::map<uint32_t, bool> Ready_;
    bool DefaultReady_ = true;
    std::vector<uint32_t> Queries_;
    std::vector<uint32_t> Sleeps_;
};

}  // namespace orvex
