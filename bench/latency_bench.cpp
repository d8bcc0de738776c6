// Touch latency on a real pseudo-terminal: the time from the write() of a
// whole TS report to the master (the clock starts as the call is made) until
// the driver's pointer event reaches the input layer, against the floor that
// any reader of that terminal has to pay: a thread sitting in a blocking
// read() of five bytes on the same slave.
//
// The driver and the floor take turns in short rounds, so that a shift in the
// machine's load (it is shared) falls on both alike.
//
//   latency_bench [--reports N] [--rounds R] [--gap-us G]
//
// Target: the driver's 99th percentile within 1.5 times the floor's.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "latency_harness.h"

using namespace orvex::latency;

namespace {

struct Options {
    int Reports = 10000;  // measured per side, over all rounds
    int Rounds = 100;
    RoundOptions Round;
};

bool ParseInt(const char* text, int low, int* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > 100000000)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        int* target = nullptr;
        int low = 1;
        if (a == "--reports") {
            target = &o->Reports;
        } else if (a == "--rounds") {
            target = &o->Rounds;
        } else if (a == "--gap-us") {
            target = &o->Round.GapUs;
            low = 0;
        } else {
            return false;
        }
        if (i + 1 >= argc || !ParseInt(argv[++i], low, target))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr, "usage: %s [--reports N] [--rounds R] [--gap-us G]\n", argv[0]);
        return 2;
    }
    const int perRound = (o.Reports + o.Rounds - 1) / o.Rounds;

    PtyLink link;
    std::string error;
    if (!link.Open(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    const size_t total = static_cast<size_t>(perRound) * static_cast<size_t>(o.Rounds);
    std::printf("%zu reports per side in %d rounds, %d us between reports, on %s\n", total,
                o.Rounds, o.Round.GapUs, link.Slave().c_str());
    std::vector<double> driverSamples, floorSamples;
    driverSamples.reserve(total);
    floorSamples.reserve(total);
    uint32_t serial = 0;
    for (int r = 0; r < o.Rounds; ++r) {
        // Alternate who goes first, so neither always follows the other.
        for (int side = 0; side < 2; ++side) {
            const bool driverTurn = (r + side) % 2 == 0;
            const bool ok =
                driverTurn ? DriverRound(link, o.Round, perRound, &serial, &driverSamples, &error)
                           : FloorRound(link, o.Round, perRound, &serial, &floorSamples, &error);
            if (!ok) {
                std::fprintf(stderr, "%s round %d failed: %s\n", driverTurn ? "driver" : "floor", r,
                             error.c_str());
                return 1;
            }
        }
    }

    const Figures dr = Summarise(driverSamples);
    const Figures fl = Summarise(floorSamples);
    std::printf("driver: median %.1f us, p99 %.1f us\n", dr.Median, dr.P99);
    std::printf("floor (blocking read): median %.1f us, p99 %.1f us\n", fl.Median, fl.P99);
    std::printf("ratio p99: %.2f (target <= 1.5)\n", dr.P99 / fl.P99);
    std::printf("worst: driver %.1f us, floor %.1f us\n", dr.Max, fl.Max);
    return 0;
}
