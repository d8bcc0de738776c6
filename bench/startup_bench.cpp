// Start-up figures of the driver on real pseudo-terminals and real time,
// the simulator keeping line time (orvexsim --timed: 10 bits a byte at the
// line's rate, answers only after the command has crossed the wire):
//   1. how long a start takes to give up when nothing answers on the port
//      (the detection sleeps alone are 6 x 160 ms = 0.96 s; target <= 1.8 s);
//   2. how long it takes to find a TS controller at 9600 (target <= 0.5 s);
//   3. for reference, how long it takes to find an EL controller at 1200, the
//      last rate of the walk;
//   4. the CPU time the driver host uses over 10 s with a controller attached
//      and no touches (target: none).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "common/orvex.h"
#include "driver/driver.h"
#include "platform/testing/input-recording.h"
#include "support/system.h"

using namespace orvex;
using namespace orvex::test;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// One driver start on the real platform pieces, COM1 mapped to `device`.
double TimeStart(SystemUnderTest& sut, const std::string& device, bool* found) {
    sut.SetString(u"Platform\\Serial", u"COM1", device);
    CaptureDebugOutput debug;
    RecordingInput pointer;
    auto timers = CreateRealTimerService();
    auto serial = CreateTermiosSerialPorts(sut.Reg());
    Platform p;
    p.Debug = &debug;
    p.Pointer = &pointer;
    p.Timers = timers.get();
    p.Reg = &sut.Reg();
    p.Serial = serial.get();
    Driver d(p);
    auto start = Clock::now();
    uint32_t context = DriverInit(d);
    double took = Seconds(Clock::now() - start);
    *found = context != 0 && d.ReaderThread.joinable();
    DriverDeinit(d);
    return took;
}

}  // namespace

int main() {
    SystemUnderTest sut;
    sut.Configure();

    // 1. A terminal whose far end never answers.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    std::string silent = ptsname(master);
    bool found = false;
    double giveUp = TimeStart(sut, silent, &found);
    std::printf("start with no controller: %.3f s (found=%d; target <= 1.8 s)\n", giveUp, found);
    close(master);

    // 3. An EL controller at 1200, the last rate of the walk.
    double findEl = 0;
    bool foundEl = false;
    {
        SystemUnderTest el;
        el.Configure();
        if (!el.StartSimulator({"--protocol", "el", "--rate", "1200", "--timed", "--quiet"})) {
            std::printf("orvexsim did not start\n");
            return 1;
        }
        findEl = TimeStart(el, el.Link(), &foundEl);
    }

    // 2. A TS controller at 9600, the second rate of the walk.
    if (!sut.StartSimulator({"--protocol", "ts", "--rate", "9600", "--timed", "--quiet"})) {
        std::printf("orvexsim did not start\n");
        return 1;
    }
    double find = TimeStart(sut, sut.Link(), &found);
    std::printf("start finding TS at 9600: %.3f s (found=%d; target <= 0.5 s)\n", find, found);
    std::printf("start finding EL at 1200: %.3f s (found=%d; reference)\n", findEl, foundEl);

    // 4. The host at rest with a controller attached.
    sut.SetString(u"Platform\\Serial", u"COM1", sut.Link());
    if (!sut.StartDeviceManager() || !sut.WaitForDevice(std::chrono::seconds(20))) {
        std::printf("orvex-devmgr did not serve ORX1:\n%s", sut.HostErr().c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto before = sut.Host.CpuTime();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    auto used = sut.Host.CpuTime() - before;
    std::printf("driver host CPU time over 10 s, idle controller: %.3f ms (target: none)\n",
                used.count() / 1000.0);
    return 0;
}
