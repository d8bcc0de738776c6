// Installing calibrations while reports are mapped: the spans seen by the
// mapping thread are never 0 and mapping never faults, whatever mix of old
// and new values a report meets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/driver.h"

using namespace orvex;

namespace {

// Counts pointer events; nothing else, so the mapping thread is not slowed
// by a recorder's lock.
class CountingInput final : public Input {
  public:
    void MouseEvent(uint32_t, uint32_t x, uint32_t y, uint32_t, uintptr_t) override {
        Events.fetch_add(1, std::memory_order_relaxed);
        if (x > 0xFFFF || y > 0xFFFF)
            OutOfRange.fetch_add(1, std::memory_order_relaxed);
    }
    void PostMessage(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    std::atomic<uint64_t> Events{0};
    std::atomic<uint64_t> OutOfRange{0};
};

struct Calibration {
    uint16_t X1, X2, X3, Y1, Y2, Y3;
    uint8_t Direction;
};

// Valid ones, reversed ones and ones whose zero span forces the fallback.
constexpr Calibration Calibrations[] = {
    {100, 500, 900, 80, 520, 940, 0},
    {0, 511, 1023, 0, 511, 1023, 4},
    {100, 99, 900, 10, 20, 30, 7},
    {600, 500, 1023, 0, 511, 1023, 1},
    {0, 0, 0, 0, 0, 0, 2},
    {0, 511, 510, 300, 299, 1023, 3},
    {1023, 0, 1023, 5, 6, 7, 6},
    {0, 65535, 900, 0, 511, 1023, 5},
    {200, 200, 200, 200, 200, 200, 0},
    {1000, 1001, 0, 0, 1, 0, 0},
};

TEST(SpansConcurrency, MappingNeverSeesAZeroSpan) {
    CountingInput input;
    Platform p;
    p.Pointer = &input;
    Driver d(p);
    DriverState& s = d.State;
    // Rounds come in whole passes over the table, so the last installation
    // is always the table's last entry; the run lasts at least a second of
    // real time to give the threads many chances to meet.
    constexpr uint64_t MinRounds = 100 * std::size(Calibrations);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> zeroSeen{0}, samples{0}, installs{0}, reports{0};

    std::thread mapper([&] {
        uint16_t x = 0, y = 1023;
        uint8_t touch = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            ProcessPoint(d, x, y, touch);
            for (int i = 0; i < 8; ++i) {
                if (s.SpanX1 == 0 || s.SpanX2 == 0 || s.SpanY1 == 0 || s.SpanY2 == 0)
                    zeroSeen.fetch_add(1, std::memory_order_relaxed);
                samples.fetch_add(1, std::memory_order_relaxed);
            }
            x = static_cast<uint16_t>((x + 37) % 1100);
            y = static_cast<uint16_t>((y + 1061) % 1100);
            touch = touch ? 0 : 8;
            reports.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::thread installer([&] {
        // Start only once both readers are running, so they overlap.
        while (reports.load() == 0 || samples.load() == 0)
            std::this_thread::yield();
        for (uint64_t round = 0; round < MinRounds || round % std::size(Calibrations) != 0 ||
                                 std::chrono::steady_clock::now() < until;
             ++round) {
            const auto& c = Calibrations[round % std::size(Calibrations)];
            s.CalibrationX1 = c.X1;
            s.CalibrationX2 = c.X2;
            s.CalibrationX3 = c.X3;
            s.CalibrationY1 = c.Y1;
            s.CalibrationY2 = c.Y2;
            s.CalibrationY3 = c.Y3;
            s.PanelDirection = c.Direction;
            RecomputeSpans(s);
            installs.fetch_add(1, std::memory_order_relaxed);
        }
        stop = true;
    });
    installer.join();
    mapper.join();

    EXPECT_EQ(zeroSeen.load(), 0u);
    EXPECT_EQ(input.OutOfRange.load(), 0u);
    EXPECT_GE(installs.load(), MinRounds);
    EXPECT_EQ(installs.load() % std::size(Calibrations), 0u);
    EXPECT_GT(reports.load(), 0u);
    EXPECT_GT(samples.load(), 0u);
    EXPECT_GT(input.Events.load(), 0u);
    // The last installation is the last entry's: a zero span, so the fallback.
    EXPECT_EQ(s.CalibrationX2, 511);
    EXPECT_EQ(s.SpanX1, 512);
    EXPECT_EQ(s.PanelDirection, 0u);
}

}  // namespace
