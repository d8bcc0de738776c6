#include "tests/support/driver_fixture.h"

#include <ios>

namespace orvex {
void PrintTo(const RecordingInput::Call& c, std::ostream* os) {
    *os << (c.What == RecordingInput::Call::Mouse ? "Mouse(" : "Post(") << std::hex << "0x" << c.A
        << std::dec << ", " << c.B << ", " << c.C << ", " << c.D << ")";
}
}  // namespace orvex

namespace orvex::test {

namespace {

Platform MakePlatform(TestDriver& t) {
    Platform p;
    p.Debug = &t.Debug;
    p.Pointer = &t.Pointer;
    p.Ports = &t.Ports;
    p.Timers = &t.Timers;
    p.Programs = &t.Programs;
    return p;
}

}  // namespace

TestDriver::TestDriver() : Sys(MakePlatform(*this)) {}

std::vector<RecordingInput::Call> TestDriver::Report(uint16_t rawX, uint16_t rawY, uint8_t touch) {
    Pointer.Clear();
    ProcessPoint(D, rawX, rawY, touch);
    return Pointer.Calls();
}

void TestDriver::Calibrate(uint16_t x1, uint16_t x2, uint16_t x3, uint16_t y1, uint16_t y2,
                           uint16_t y3, uint32_t direction) {
    DriverState& s = D.State;
    s.CalibrationX1 = x1;
    s.CalibrationX2 = x2;
    s.CalibrationX3 = x3;
    s.CalibrationY1 = y1;
    s.CalibrationY2 = y2;
    s.CalibrationY3 = y3;
    s.PanelDirection = direction;
    RecomputeSpans(s);
}

RecordingInput::Call Mouse(uint32_t flags, uint32_t x, uint32_t y) {
    return {RecordingInput::Call::Mouse, flags, x, y, 0};
}

RecordingInput::Call Post(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam) {
    return {RecordingInput::Call::Post, window, message, wParam, lParam};
}

}  // namespace orvex::test
