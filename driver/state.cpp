#include "driver/driver.h"

namespace orvex {

namespace {

uint16_t Span(uint16_t low, uint16_t high) {
    // 32-bit arithmetic on the zero-extended points, then the low 16 bits:
    // points in reverse order give large spans, which are accepted.
    return static_cast<uint16_t>(uint32_t{high} - uint32_t{low} + 1u);
}

}  // namespace

void RecomputeSpans(DriverState& s) {
    // The reader thread divides by these spans without a lock, so the choice
    // between the computed spans and the fallback is made before anything is
    // stored; whichever set is stored holds no zero.
    const uint16_t x1 = s.CalibrationX1, x2 = s.CalibrationX2, x3 = s.CalibrationX3;
    const uint16_t y1 = s.CalibrationY1, y2 = s.CalibrationY2, y3 = s.CalibrationY3;
    const uint16_t spanX1 = Span(x1, x2), spanX2 = Span(x2, x3);
    const uint16_t spanY1 = Span(y1, y2), spanY2 = Span(y2, y3);

    if (spanX1 != 0 && spanX2 != 0 && spanY1 != 0 && spanY2 != 0) {
        s.SpanX1 = spanX1;
        s.SpanX2 = spanX2;
        s.SpanY1 = spanY1;
        s.SpanY2 = spanY2;
        return;
    }

    s.CalibrationX1 = 0;
    s.CalibrationX2 = 511;
    s.CalibrationX3 = 1023;
    s.SpanX1 = 512;
    s.SpanX2 = 512;
    s.CalibrationY1 = 0;
    s.CalibrationY2 = 511;
    s.CalibrationY3 = 1023;
    s.SpanY1 = 512;
    s.SpanY2 = 512;
    s.PanelDirection = 0;
}

}  // namespace orvex
