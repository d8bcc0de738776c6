// Starting and stopping the driver, and bringing back a port that went away.
//
//   loaded --DriverInit--> detecting --found--> running (reader thread)
//                              |                    |  port lost
//                              | not found          v
//                              v               recovering --found again--> running
//                          serving codes only       |
//   any state --DriverDeinit--> stopped <-----------+
#include <new>

#include "common/orvex.h"
#include "driver/driver.h"

namespace orvex {

namespace {

// Only the value of g_hORVEXSER matters to callers; it is the low half of
// the context block's address, never 0.
uint32_t ContextHandle(const Driver& d) {
    auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d.Context.get()));
    return value != 0 ? value : 1;
}

}  // namespace

void SetPortHandle(Driver& d, std::unique_ptr<SerialPort> port) {
    std::unique_ptr<SerialPort> old;
    {
        std::lock_guard g(d.PortLock);
        old = std::move(d.PortHandle);
        d.PortHandle = std::move(port);
    }
    if (old)
        old->Close();
}

uint32_t DriverInit(Driver& d) {
    DriverState& s = d.State;

    // A second start without a stop in between first ends the old reader.
    if (d.ReaderThread.joinable())
        DriverDeinit(d);

    try {
        d.Context = std::make_unique<uint32_t>(0);
    } catch (const std::bad_alloc&) {
        DebugPrint(d, "ORVEXSER: Error allocating memory for g_hORVEXSER, ORX_Init failed\n\r");
        return 0;
    }
    ClosePort(d);
    d.StopEvent = std::make_unique<Event>();
    s.StopRequested = 0;

    if (!DetectController(d)) {
        // No controller: the device still serves its control codes with the
        // load values.
        return ContextHandle(d);
    }

    LoadCalibration(d, DriverKeyPath);
    LoadPanelDirection(d, DriverKeyPath);
    LoadFeedback(d, DriverKeyPath);

    try {
        d.ReaderThread = std::thread(
            s.Protocol == ReportProtocol::EL ? ReadThread_EL : ReadThread_TS, std::ref(d));
    } catch (const std::exception&) {
        // Give back what this start acquired; nothing is left running.
        ClosePort(d);
        d.StopEvent.reset();
        d.Context.reset();
        return 0;
    }
    return ContextHandle(d);
}

uint32_t DriverDeinit(Driver& d) {
    d.State.StopRequested = 1;
    d.ReaderWake.Set();  // cuts short a reader that is backing off
    const bool reader = d.ReaderThread.joinable();
    {
        std::lock_guard g(d.PortLock);
        if (d.PortHandle) {
            // Clearing the mask makes a pending wait return so the reader
            // sees the request; closing also ends a read under way. The port
            // object itself lives on until the thread has ended, so the
            // thread never reaches a dead handle.
            d.PortHandle->SetCommMask(0);
            if (reader)
                d.PortHandle->Close();
        }
    }
    // Nobody could signal the event without a reader, so there is nothing to
    // wait for then.
    if (reader && d.StopEvent)
        d.StopEvent->Wait(2000);
    // However long it takes: the thread must be gone before the port and
    // the driver's state go away.
    if (reader)
        d.ReaderThread.join();
    StopRightButtonLauncher(d);
    FinishRegistryFlushes(d);
    d.StopEvent.reset();
    ClosePort(d);
    return 1;
}

namespace {

// While the port is gone it is looked for often and quietly. A port that is
// there but silent costs a whole detection walk, which resets the controller
// through its lines, so those walks back off, to one a minute.
constexpr uint32_t LookFirstMs = 100;
constexpr uint32_t LookLongestMs = 2000;
constexpr uint32_t WalkPauseFirstMs = 5000;
constexpr uint32_t WalkPauseLongestMs = 60000;

// Waits on the timer service's clock until ms have passed or the driver is
// being stopped (ReaderWake); without a timer service, in real time.
class RecoveryPause {
  public:
    explicit RecoveryPause(Driver& d) : D_(d) {
        if (d.Sys.Timers)
            Timer_ = d.Sys.Timers->CreateTimer([&d] { d.ReaderWake.Set(); });
    }
    void Wait(uint32_t ms) {
        if (!Timer_) {
            D_.ReaderWake.Wait(ms);
            return;
        }
        Timer_->Set(ms);
        while (!D_.State.StopRequested && !D_.ReaderWake.Wait(1000)) {
        }
        Timer_->Cancel();
    }

  private:
    Driver& D_;
    std::unique_ptr<OneShotTimer> Timer_;
};

}  // namespace

bool RecoverPort(Driver& d) {
    DriverState& s = d.State;
    ClosePort(d);

    RecoveryPause pause(d);
    DoublingPause look(LookFirstMs, LookLongestMs);
    DoublingPause walkPause(WalkPauseFirstMs, WalkPauseLongestMs);
    uint32_t delayMs = look.Take();
    while (!s.StopRequested) {
        pause.Wait(delayMs);
        if (s.StopRequested)
            break;

        // Look quietly whether the device is back before detection, which
        // reports every step of its walk.
        auto name = PortName(s);
        if (!name)
            break;
        if (auto probe = d.Sys.Serial->Open(*name)) {
            probe->Close();
        } else {
            // Gone (again): when it shows up, it is a fresh plug-in.
            delayMs = look.Take();
            walkPause.Reset();
            continue;
        }
        // A fruitless walk would print its version, detecting and not-found
        // lines again and again; only a walk that finds the controller says
        // so.
        HeldDebugLines held(d);
        if (DetectController(d)) {
            if (s.StopRequested)
                break;
            held.Release();
            DebugPrint(d, "ORVEXSER: Touch controller is back, resuming\r\n");
            return true;
        }
        delayMs = walkPause.Take();
    }
    return false;
}

}  // namespace orvex
