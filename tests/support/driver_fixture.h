// A driver running on test doubles: debug capture, input recorder, simulated
// speaker ports on a controllable clock, and a recording launcher. Registry
// and serial ports stay null unless a test supplies them.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "driver/driver.h"
#include "platform/testing/input-recording.h"
#include "platform/testing/launcher-recording.h"
#include "platform/testing/portbus-sim.h"
#include "platform/testing/timer-manual.h"

namespace orvex {
// Readable failure messages for recorded input calls.
void PrintTo(const RecordingInput::Call& c, std::ostream* os);
}  // namespace orvex

namespace orvex::test {

struct TestDriver {
    TestDriver();
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    // Calls ProcessPoint and returns the input calls it made.
    std::vector<RecordingInput::Call> Report(uint16_t rawX, uint16_t rawY, uint8_t touch);

    // Installs a calibration the way the control code does: six points, the
    // direction, then RecomputeSpans.
    void Calibrate(uint16_t x1, uint16_t x2, uint16_t x3, uint16_t y1, uint16_t y2, uint16_t y3,
                   uint32_t direction = 0);

    CaptureDebugOutput Debug;
    RecordingInput Pointer;
    ManualTimerService Timers;
    SimulatedPortBus Ports{&Timers};
    RecordingLauncher Programs;
    Platform Sys;
    Driver D{Sys};  // declared last: torn down before the doubles it uses
};

RecordingInput::Call Mouse(uint32_t flags, uint32_t x, uint32_t y);
RecordingInput::Call Post(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam);

}  // namespace orvex::test
