#include "driver/driver.h"

namespace orvex {

namespace {

constexpr uint32_t PollMilliseconds = 1000;
constexpr uint32_t ShowNormal = 1;

}  // namespace

Driver::~Driver() {
    StopRightButtonLauncher(*this);
}

void ArmRightButtonLauncher(Driver& d) {
    if (d.Sys.Timers == nullptr)
        return;
    std::lock_guard g(d.LauncherLock);
    if (!d.RightButtonTimer) {
        d.RightButtonTimer = d.Sys.Timers->CreateTimer([&d] { RightButtonTimerProc(d); });
        if (!d.RightButtonTimer)
            return;
    }
    // A start-up code that arrives while the launcher is still waiting must
    // neither restart its wait nor make a second one.
    if (d.RightButtonTimer->Pending())
        return;
    d.RightButtonTimer->Set(PollMilliseconds);
}

void RightButtonTimerProc(Driver& d) {
    TimerService* timers = d.Sys.Timers;
    // All three are asked before any answer counts.
    const bool ready85 = timers->IsServiceReady(85);
    const bool ready80 = timers->IsServiceReady(80);
    const bool ready81 = timers->IsServiceReady(81);
    if (ready85 && ready80 && ready81) {
        // A failed start is not retried: the launcher is done either way.
        (void)LaunchProgram(d, 0, RightButtonHelperPath, u"");
        return;
    }
    // StopRightButtonLauncher takes the timer out under this lock before it
    // waits for us, so we never re-arm a timer that is being torn down and
    // never hold the lock it needs while it waits.
    std::lock_guard g(d.LauncherLock);
    if (d.RightButtonTimer)
        d.RightButtonTimer->Set(PollMilliseconds);
}

bool LaunchProgram(Driver& d, uint32_t /*owner*/, std::u16string_view file,
                   std::u16string_view parameters) {
    if (d.Sys.Programs == nullptr)
        return false;
    return d.Sys.Programs->ShellExecute(file, parameters, ShowNormal);
}

void StopRightButtonLauncher(Driver& d) {
    std::unique_ptr<OneShotTimer> timer;
    {
        std::lock_guard g(d.LauncherLock);
        timer = std::move(d.RightButtonTimer);
    }
    // Destroying the timer cancels it and waits for a callback in progress;
    // the lock is released so that callback can finish.
    timer.reset();
}

}  // namespace orvex
