// The touch-latency benchmark's machinery: the reports it sends, the figures
// it prints, and its rounds on a real pseudo-terminal, including that a
// round refuses to produce figures from reports that were lost, mixed up or
// handed on twice.
#include <algorithm>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "bench/latency_harness.h"
#include "platform/testing/input-recording.h"

namespace orvex {
namespace {

using namespace orvex::latency;

// ---- the reports

TEST(LatencyReports, EachFramesOnItsLastByteAndDecodesToItsPoint) {
    FramerTS framer;
    for (uint32_t i = 0; i < 1500; ++i) {  // across the wrap of X at 500
        const auto bytes = MakeReport(i);
        for (size_t b = 0; b < 4; ++b)
            ASSERT_FALSE(framer.Push(bytes[b])) << "report " << i << " byte " << b;
        const auto r = framer.Push(bytes[4]);
        ASSERT_TRUE(r) << "report " << i;
        EXPECT_EQ(r->X, RawX(i));
        EXPECT_EQ(r->Y, RawY(i));
        EXPECT_EQ(r->Touch, 8);
        EXPECT_LE(r->Y, 1023);  // never limited, so never two reports at one point
    }
}

TEST(LatencyReports, EachMovesThePointerOnceAndTheEventNamesItsReport) {
    RecordingInput pointer(2000);
    Platform p;
    p.Pointer = &pointer;
    Driver d(p);
    for (uint32_t i = 0; i < 1500; ++i) {
        const auto bytes = MakeReport(i);
        const Report r = DecodeReportTS(bytes);
        ProcessPoint(d, r.X, r.Y, r.Touch);
        ASSERT_EQ(pointer.Count(), i + 1) << "report " << i << " produced no event";
        const auto last = pointer.Calls().back();
        EXPECT_EQ(RawXOfPointer(last.B), RawX(i)) << "report " << i;
    }
}

// ---- figures

TEST(LatencyFigures, NearestRankMedianAndP99OfShuffledSamples) {
    std::vector<double> v(1000);
    std::iota(v.begin(), v.end(), 1.0);
    std::shuffle(v.begin(), v.end(), std::mt19937(7));
    const Figures f = Summarise(v);
    EXPECT_EQ(f.Median, 501.0);
    EXPECT_EQ(f.P99, 990.0);
    EXPECT_EQ(f.Max, 1000.0);
}

TEST(LatencyFigures, RanksRoundUpAndSmallSetsStayInBounds) {
    std::vector<double> hundred(100), hundredOne(101);
    std::iota(hundred.begin(), hundred.end(), 1.0);
    std::iota(hundredOne.begin(), hundredOne.end(), 1.0);
    EXPECT_EQ(Summarise(hundred).P99, 99.0);
    EXPECT_EQ(Summarise(hundredOne).P99, 100.0);  // rank 99.99 rounds up to 100

    const Figures one = Summarise({42.0});
    EXPECT_EQ(one.Median, 42.0);
    EXPECT_EQ(one.P99, 42.0);
    const Figures none = Summarise({});
    EXPECT_EQ(none.P99, 0.0);
}

// ---- rounds on a real pseudo-terminal (real time, generous limits)

class LatencyRound : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Link.Open(&Error)) << Error; }

    RoundOptions Quick() const {
        RoundOptions o;
        o.Warmup = 5;
        o.GapUs = 0;
        o.Limit = std::chrono::milliseconds(5000);
        return o;
    }

    static void ExpectPlausible(const std::vector<double>& samples, size_t count) {
        ASSERT_EQ(samples.size(), count);
        for (double s : samples) {
            EXPECT_GT(s, 0.0);
            EXPECT_LT(s, 5e6);
        }
    }

    PtyLink Link;
    std::string Error;
    uint32_t Serial = 0;
};

TEST_F(LatencyRound, DriverHandsOnEveryReportBeforeTheNextIsSent) {
    std::vector<double> samples;
    ASSERT_TRUE(DriverRound(Link, Quick(), 200, &Serial, &samples, &Error)) << Error;
    ExpectPlausible(samples, 200);
    EXPECT_EQ(Serial, 205u);
}

TEST_F(LatencyRound, FloorReadsEveryReport) {
    std::vector<double> samples;
    ASSERT_TRUE(FloorRound(Link, Quick(), 200, &Serial, &samples, &Error)) << Error;
    ExpectPlausible(samples, 200);
}

TEST_F(LatencyRound, SidesTakeTurnsOnOneTerminal) {
    std::vector<double> driver, floor;
    ASSERT_TRUE(DriverRound(Link, Quick(), 50, &Serial, &driver, &Error)) << Error;
    ASSERT_TRUE(FloorRound(Link, Quick(), 50, &Serial, &floor, &Error)) << Error;
    ASSERT_TRUE(DriverRound(Link, Quick(), 50, &Serial, &driver, &Error)) << Error;
    ASSERT_TRUE(FloorRound(Link, Quick(), 50, &Serial, &floor, &Error)) << Error;
    EXPECT_EQ(driver.size(), 100u);
    EXPECT_EQ(floor.size(), 100u);
}

// A reader that misbehaves on purpose: the round must fail, not print figures.
TEST_F(LatencyRound, ALostReportFailsTheRound) {
    RoundOptions o = Quick();
    o.Limit = std::chrono::milliseconds(300);
    Arrivals arrivals(64);
    int seen = 0;
    auto dropThird = [&](const uint8_t(&r)[5]) {
        if (++seen != 3)
            arrivals.Mark(static_cast<uint32_t>(r[1]) * 64 | r[2]);
    };
    std::vector<double> samples;
    EXPECT_FALSE(ReaderRound(Link, arrivals, dropThird, o, 20, &Serial, &samples, &Error));
    EXPECT_NE(Error.find("never arrived"), std::string::npos) << Error;
}

TEST_F(LatencyRound, AReportTakenForAnotherFailsTheRound) {
    Arrivals arrivals(64);
    auto offByOne = [&](const uint8_t(&r)[5]) {
        arrivals.Mark((static_cast<uint32_t>(r[1]) * 64 | r[2]) + 1);
    };
    std::vector<double> samples;
    EXPECT_FALSE(ReaderRound(Link, arrivals, offByOne, Quick(), 20, &Serial, &samples, &Error));
    EXPECT_NE(Error.find("arrived as"), std::string::npos) << Error;
    EXPECT_TRUE(samples.empty());
}

TEST_F(LatencyRound, AReportHandedOnTwiceFailsTheRound) {
    RoundOptions o = Quick();
    o.Warmup = 0;
    Arrivals arrivals(64);
    int seen = 0;
    // Only the last report is doubled, so every check but the final count
    // passes.
    auto doubleLast = [&](const uint8_t(&r)[5]) {
        const uint32_t x = static_cast<uint32_t>(r[1]) * 64 | r[2];
        arrivals.Mark(x);
        if (++seen == 10)
            arrivals.Mark(x);
    };
    std::vector<double> samples;
    EXPECT_FALSE(ReaderRound(Link, arrivals, doubleLast, o, 10, &Serial, &samples, &Error));
    EXPECT_NE(Error.find("11 arrivals for 10 reports"), std::string::npos) << Error;
}

}  // namespace
}  // namespace orvex
