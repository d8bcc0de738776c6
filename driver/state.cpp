#include "common/calibration.h"
#include "driver/driver.h"

namespace orvex {

void RecomputeSpans(DriverState& s) {
    // The reader thread divides by these spans without a lock, so the choice
    // between the computed spans and the fallback is made before anything is
    // stored; whichever set is stored holds no zero.
    const CalibrationPoints p{s.CalibrationX1, s.CalibrationX2, s.CalibrationX3,
                              s.CalibrationY1, s.CalibrationY2, s.CalibrationY3};
    if (!HasZeroSpan(p)) {
        s.SpanX1 = CalibrationSpan(p[0], p[1]);
        s.SpanX2 = CalibrationSpan(p[1], p[2]);
        s.SpanY1 = CalibrationSpan(p[3], p[4]);
        s.SpanY2 = CalibrationSpan(p[4], p[5]);
        return;
    }

    // The fallback's spans are 512 each, not the 512 and 513 its points
    // would give.
    s.CalibrationX1 = StartCalibration[0];
    s.CalibrationX2 = StartCalibration[1];
    s.CalibrationX3 = StartCalibration[2];
    s.SpanX1 = 512;
    s.SpanX2 = 512;
    s.CalibrationY1 = StartCalibration[3];
    s.CalibrationY2 = StartCalibration[4];
    s.CalibrationY3 = StartCalibration[5];
    s.SpanY1 = 512;
    s.SpanY2 = 512;
    s.PanelDirection = 0;
}

}  // namespace orvex
