// Sleeps shown as text: with the log port bus, the beep's wait belongs
// between its port lines, or the log would not tell how long a tone sounded.
#include <cinttypes>
#include <cstdio>

#include "platform/fdline.h"
#include "platform/timer.h"

namespace orvex {

namespace {

class LoggingTimerService final : public TimerService {
  public:
    LoggingTimerService(std::unique_ptr<TimerService> real, int fd)
        : Real_(std::move(real)), Fd_(fd) {}

    void SleepMicroseconds(uint32_t microseconds) override {
        char line[48];
        int n = std::snprintf(line, sizeof line, "NdisMSleep(%" PRIu32 ")\n", microseconds);
        // The sleep matters more than its line.
        (void)WriteWholeLine(Fd_, FormattedText(line, sizeof line, n));
        Real_->SleepMicroseconds(microseconds);
    }
    // Only the driver kit's sleep is shown; the core library's is not.
    void SleepMilliseconds(uint32_t milliseconds) override {
        Real_->SleepMilliseconds(milliseconds);
    }
    std::unique_ptr<OneShotTimer> CreateTimer(std::function<void()> function) override {
        return Real_->CreateTimer(std::move(function));
    }
    bool IsServiceReady(uint32_t service) override { return Real_->IsServiceReady(service); }
    uint64_t NowMicroseconds() override { return Real_->NowMicroseconds(); }

  private:
    std::unique_ptr<TimerService> Real_;
    int Fd_;
};

}  // namespace

std::unique_ptr<TimerService> CreateLoggingTimerService(std::unique_ptr<TimerService> real,
                                                        int fd) {
    return std::make_unique<LoggingTimerService>(std::move(real), fd);
}

}  // namespace orvex
