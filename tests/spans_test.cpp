// Calibration spans: the computed spans, the fallback and the load values.
#include <gtest/gtest.h>

#include "tests/support/driver_fixture.h"

using namespace orvex;
using orvex::test::TestDriver;

namespace {

struct Spans {
    uint16_t X1, X2, Y1, Y2;
    bool operator==(const Spans&) const = default;
};

Spans SpansOf(const DriverState& s) {
    return {s.SpanX1, s.SpanX2, s.SpanY1, s.SpanY2};
}

void ExpectFallback(const DriverState& s) {
    EXPECT_EQ(s.CalibrationX1, 0);
    EXPECT_EQ(s.CalibrationX2, 511);
    EXPECT_EQ(s.CalibrationX3, 1023);
    EXPECT_EQ(s.CalibrationY1, 0);
    EXPECT_EQ(s.CalibrationY2, 511);
    EXPECT_EQ(s.CalibrationY3, 1023);
    // Constants, not the formula's 512 and 513 for these points.
    EXPECT_EQ(SpansOf(s), (Spans{512, 512, 512, 512}));
    EXPECT_EQ(s.PanelDirection, 0u);
}

TEST(Spans, ComputedFromOrderedPointsKeepTheDirection) {
    TestDriver t;
    t.Calibrate(0, 511, 1023, 0, 511, 1023, 5);
    EXPECT_EQ(SpansOf(t.D.State), (Spans{512, 513, 512, 513}));
    EXPECT_EQ(t.D.State.PanelDirection, 5u);
    EXPECT_EQ(t.D.State.CalibrationX2, 511);

    t.Calibrate(100, 500, 900, 20, 40, 1000);
    EXPECT_EQ(SpansOf(t.D.State), (Spans{401, 401, 21, 961}));
}

TEST(Spans, SmallAndReversedSpansAreAccepted) {
    TestDriver t;
    t.Calibrate(100, 100, 900, 0, 511, 1023, 3);
    EXPECT_EQ(t.D.State.SpanX1, 1);
    EXPECT_EQ(t.D.State.SpanX2, 801);
    EXPECT_EQ(t.D.State.PanelDirection, 3u);

    t.Calibrate(600, 500, 1023, 0, 511, 1023);
    EXPECT_EQ(t.D.State.SpanX1, 65437);
    EXPECT_EQ(t.D.State.SpanX2, 524);
    EXPECT_EQ(t.D.State.CalibrationX1, 600);
}

TEST(Spans, AnyZeroSpanReplacesTheWholeCalibration) {
    // Each of the four spans on its own triggers the fallback, and the Y
    // points and direction are replaced even when only X is at fault.
    struct Case {
        uint16_t p[6];
    } cases[] = {
        {{100, 99, 900, 10, 20, 30}},     // SpanX1 = 0
        {{0, 511, 510, 10, 20, 30}},      // SpanX2 = 0
        {{0, 511, 1023, 300, 299, 30}},   // SpanY1 = 0
        {{0, 511, 1023, 0, 0, 65535}},    // SpanY2 = 0
        {{0, 65535, 900, 0, 511, 1023}},  // wraps: 65535 - 0 + 1 = 0x10000
    };
    for (const auto& c : cases) {
        TestDriver t;
        t.Calibrate(c.p[0], c.p[1], c.p[2], c.p[3], c.p[4], c.p[5], 7);
        SCOPED_TRACE(testing::Message() << c.p[0] << "," << c.p[1] << "," << c.p[2] << " / "
                                        << c.p[3] << "," << c.p[4] << "," << c.p[5]);
        ExpectFallback(t.D.State);
    }
}

TEST(Spans, FallbackAfterAValidCalibrationOverwritesIt) {
    TestDriver t;
    t.Calibrate(100, 500, 900, 100, 500, 900, 4);
    ASSERT_EQ(t.D.State.SpanX1, 401);
    t.Calibrate(100, 99, 900, 100, 500, 900, 4);
    ExpectFallback(t.D.State);
}

TEST(Spans, LoadValues) {
    TestDriver t;
    const DriverState& s = t.D.State;
    EXPECT_EQ(SpansOf(s), (Spans{512, 512, 512, 512}));
    EXPECT_EQ(s.LastRawX, 0xFFFF);
    EXPECT_EQ(s.LastRawY, 0xFFFF);
    EXPECT_EQ(s.LastX, 0xFFFF);
    EXPECT_EQ(s.LastY, 0xFFFF);
    EXPECT_EQ(s.SampleCount, 0);
    EXPECT_EQ(s.ButtonState, 0);
    EXPECT_EQ(s.ClickMode, 4u);
    EXPECT_EQ(s.FeedbackSound, 1u);
}

}  // namespace
