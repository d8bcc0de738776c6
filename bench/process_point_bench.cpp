// ProcessPoint throughput: reports per second on one core, with a pointer
// sink that only counts, so the figure is the driver's own cost.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

#include "driver/driver.h"

using namespace orvex;

namespace {

class CountingSink final : public Input {
  public:
    void MouseEvent(uint32_t, uint32_t, uint32_t, uint32_t, uintptr_t) override { ++Events; }
    void PostMessage(uint32_t, uint32_t, uint32_t, uint32_t) override { ++Posts; }
    uint64_t Events = 0;
    uint64_t Posts = 0;
};

// A drag across the panel with a touch-down and lift-off every 64 reports,
// on a computed calibration with every orientation bit set.
struct Stream {
    uint16_t X = 0, Y = 0;
    uint32_t N = 0;
    void Next() {
        X = static_cast<uint16_t>((X + 7) & 1023);
        Y = static_cast<uint16_t>((Y + 13) & 1023);
        ++N;
    }
    uint8_t Touch() const { return (N & 63) == 63 ? 0 : 8; }
};

void Configure(Driver& d) {
    DriverState& s = d.State;
    s.CalibrationX1 = 40;
    s.CalibrationX2 = 510;
    s.CalibrationX3 = 990;
    s.CalibrationY1 = 30;
    s.CalibrationY2 = 500;
    s.CalibrationY3 = 980;
    s.PanelDirection = 7;
    RecomputeSpans(s);
}

void BM_ProcessPoint(benchmark::State& state) {
    CountingSink sink;
    Platform p;
    p.Pointer = &sink;
    Driver d(p);
    Configure(d);
    Stream in;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ProcessPoint(d, in.X, in.Y, in.Touch()));
        in.Next();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["events"] = static_cast<double>(sink.Events);
}
BENCHMARK(BM_ProcessPoint);

// The same loop timed by hand, for a plain figure on standard output.
double ReportsPerSecond() {
    CountingSink sink;
    Platform p;
    p.Pointer = &sink;
    Driver d(p);
    Configure(d);
    Stream in;
    constexpr uint32_t Reports = 20'000'000;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < Reports; ++i) {
        benchmark::DoNotOptimize(ProcessPoint(d, in.X, in.Y, in.Touch()));
        in.Next();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return Reports / took.count();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double rate = ReportsPerSecond();
    std::printf("ProcessPoint: %.1f million reports/second (target 10 million)\n", rate / 1e6);
    return 0;
}
