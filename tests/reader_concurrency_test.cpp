// The reader thread on its own thread: data arriving in pieces, the stop
// handshake, and ports that fail or vanish. These run in real time because
// the thread blocks on the port and on ReaderWake; every wait has a generous
// limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "driver/driver.h"
#include "platform/lasterror.h"
#include "platform/testing/serial-sim.h"
#include "platform/testing/timer-manual.h"
#include "tests/support/scripted_port.h"
#include "tools/orvexsim/controller.h"

namespace orvex {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// No port can be opened: the device stays unplugged.
class AbsentPorts final : public SerialPorts {
  public:
    std::unique_ptr<SerialPort> Open(std::u16string_view) override {
        ++Opens;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    std::atomic<int> Opens{0};
};

constexpr char LostLine[] = "ORVEXSER: Lost connection to the touch controller\r\n";

// Runs a reader thread over a rig and stops it the way the lifecycle does.
class ReaderThreadTest : public testing::Test {
  protected:
    void Start(ReportProtocol protocol) {
        Rig.D->State.Protocol = protocol;
        Thread = std::thread([this, protocol] {
            ExitCode =
                protocol == ReportProtocol::EL ? ReadThread_EL(*Rig.D) : ReadThread_TS(*Rig.D);
        });
    }

    // Sets the flag, wakes a backing-off thread and clears the event mask of
    // a port that is still there. Returns how long the thread took to signal
    // StopEvent.
    std::chrono::milliseconds Stop(bool portStillThere = true) {
        const auto begin = Clock::now();
        Rig.D->State.StopRequested = 1;
        Rig.D->ReaderWake.Set();
        {
            std::lock_guard g(Rig.D->PortLock);
            if (portStillThere && Rig.D->PortHandle)
                Rig.D->PortHandle->SetCommMask(0);
        }
        Signalled = Rig.D->StopEvent->Wait(2000);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
        Thread.join();
        return took;
    }

    void TearDown() override {
        if (Thread.joinable())
            Stop();
    }

    test::ReaderRig Rig;
    std::thread Thread;
    std::atomic<uint32_t> ExitCode{0};
    bool Signalled = false;
};

TEST_F(ReaderThreadTest, ReportSplitAcrossReadsIsProcessedOnceComplete) {
    Start(ReportProtocol::TS);
    // Raw (336, 672) arrives in two pieces with a pause in between.
    Rig.Port->Arrive({0xA0, 0x05, 0x10});
    ASSERT_TRUE(WaitUntil([&] { return Rig.Port->Pending() == 0; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Rig.Pointer.Count(), 0u);

    Rig.Port->Arrive({0x0A, 0x20});
    ASSERT_TRUE(WaitUntil([&] { return Rig.Pointer.Count() == 1; }));
    EXPECT_EQ(Rig.D->State.LastRawX.Load(), 336);
    EXPECT_EQ(Rig.D->State.LastRawY.Load(), 672);
    EXPECT_EQ(Rig.D->State.LastTouch.Load(), 8);

    // A second complete report in one burst is handled as well, in order.
    Rig.Port->Arrive({0x80, 0x05, 0x10, 0x0A, 0x20});
    ASSERT_TRUE(WaitUntil([&] { return Rig.Pointer.Count() == 2; }));
    EXPECT_EQ(Rig.Pointer.Calls()[1].A, MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP);
}

TEST_F(ReaderThreadTest, ClearingTheMaskEndsABlockedThreadAndSetsStopEvent) {
    Start(ReportProtocol::EL);
    ASSERT_TRUE(WaitUntil([&] { return Rig.Port->WaitCalls() >= 1; }));
    const auto took = Stop();
    EXPECT_TRUE(Signalled);
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(ExitCode.load(), 1u);
    // It never read: there was nothing to read.
    EXPECT_EQ(Rig.Port->ReadCalls(), 0u);
}

TEST_F(ReaderThreadTest, FailingPortBacksOffAndStillStopsPromptly) {
    Rig.Port->FailWith(ERROR_GEN_FAILURE);
    Start(ReportProtocol::TS);
    std::this_thread::sleep_for(300ms);
    const size_t calls = Rig.Port->WaitCalls() + Rig.Port->ReadCalls();
    EXPECT_GE(calls, 1u);
    EXPECT_LT(calls, 100u) << "the thread spins on a failing port";
    // Long enough for the pause to have reached its longest; the lifecycle's
    // wake must still cut it short.
    std::this_thread::sleep_for(400ms);
    const auto took = Stop();
    EXPECT_TRUE(Signalled);
    EXPECT_LT(took, 1000ms);
    EXPECT_TRUE(Rig.Debug.Lines().empty()) << "a plain failure is not a lost device";
}

TEST_F(ReaderThreadTest, PortThatWakesWithoutDataDoesNotSpin) {
    // A wait that keeps returning at once with no event bit set.
    Rig.Port->OnDry([] {});
    Start(ReportProtocol::TS);
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(Rig.Port->WaitCalls(), 100u);
    Stop();
    EXPECT_TRUE(Signalled);
}

TEST_F(ReaderThreadTest, FailuresAfterDataStillDeliverTheData) {
    Start(ReportProtocol::EL);
    Rig.Port->Arrive({0x55, 0x54, 0x00, 0xFC, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x5E});
    ASSERT_TRUE(WaitUntil([&] { return Rig.Pointer.Count() == 1; }));
    Rig.Port->FailWith(ERROR_GEN_FAILURE);
    std::this_thread::sleep_for(100ms);
    Rig.Port->FailWith(0);
    // The port works again: the thread picks up where it was.
    Rig.Port->Arrive({0x55, 0x54, 0x04, 0xFC, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x62});
    ASSERT_TRUE(WaitUntil([&] { return Rig.Pointer.Count() == 2; }));
    EXPECT_EQ(Rig.Pointer.Calls()[1].A, MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP);
}

TEST_F(ReaderThreadTest, LostDeviceIsReportedOnceAndRecoveryEndsOnStop) {
    AbsentPorts ports;
    Rig.Sys.Serial = &ports;
    Rig.Port->FailWith(ERROR_DEVICE_NOT_CONNECTED);
    Start(ReportProtocol::TS);
    ASSERT_TRUE(WaitUntil([&] { return !Rig.Debug.Lines().empty(); }));
    // Recovery looks for the device again and again; the loss is still one
    // line.
    ASSERT_TRUE(WaitUntil([&] { return ports.Opens.load() >= 2; }));
    EXPECT_EQ(Rig.Debug.Lines(), std::vector<std::string>{LostLine});
    // Recovery gave up the dead port.
    {
        std::lock_guard g(Rig.D->PortLock);
        EXPECT_EQ(Rig.D->PortHandle, nullptr);
    }
    const auto took = Stop(false);
    EXPECT_TRUE(Signalled);
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(ExitCode.load(), 1u);
}

// The simulated controller behind a simulated port. The model is not
// thread-safe and is driven both by the reader thread (detection's writes and
// line changes) and by the test (touches), hence the lock.
class ControllerEnd final : public SimulatedFarEnd {
  public:
    ControllerEnd(SimulatedDevice& device, SimConfig config)
        : Model_(config, [&device](std::span<const uint8_t> b) { device.Send(b); }) {}
    void OnCommState(const Dcb& dcb) override {
        std::lock_guard g(Lock_);
        Rate_ = dcb.BaudRate;
        Model_.OnLineState(Rate_, Rts_, Dtr_);
    }
    void OnLines(bool rts, bool dtr) override {
        std::lock_guard g(Lock_);
        Rts_ = rts;
        Dtr_ = dtr;
        Model_.OnLineState(Rate_, Rts_, Dtr_);
    }
    void OnWrite(std::span<const uint8_t> bytes) override {
        std::lock_guard g(Lock_);
        Model_.OnBytesFromHost(bytes);
    }
    bool Touch(uint16_t x, uint16_t y) {
        std::lock_guard g(Lock_);
        return Model_.Touch(x, y);
    }

  private:
    std::mutex Lock_;
    SimController Model_;
    uint32_t Rate_ = 0;
    bool Rts_ = false;
    bool Dtr_ = false;
};

TEST(ReaderRecovery, ControllerBackWithTheOtherProtocolIsReadWithIt) {
    ManualTimerService timers;
    SimulatedSerialPorts ports;
    SimulatedDevice& device = ports.Device(u"COM1:");
    SimConfig config;
    config.Protocol = ReportProtocol::EL;
    auto controller = std::make_shared<ControllerEnd>(device, config);
    device.Attach(controller);

    test::ReaderRig rig;
    rig.Sys.Timers = &timers;
    rig.Sys.Serial = &ports;
    Driver& d = *rig.D;
    d.State.Protocol = ReportProtocol::TS;
    // The TS port the reader started on has gone.
    rig.Port->FailWith(ERROR_DEVICE_NOT_CONNECTED);
    std::atomic<uint32_t> exitCode{0};
    std::thread reader([&] { exitCode = ReadThread_TS(d); });

    // Recovery finds the controller again, now speaking EL. Its pauses run
    // on the timer service's clock.
    ASSERT_TRUE(WaitUntil([&] {
        timers.Advance(100);
        return d.State.Protocol.Load() == ReportProtocol::EL && device.IsOpen();
    }));
    // A touch reaches the pointer through the EL framer. Retry: the reader
    // may still be finishing recovery when the first packet goes out.
    ASSERT_TRUE(WaitUntil([&] {
        controller->Touch(100, 200);
        std::this_thread::sleep_for(5ms);
        return rig.Pointer.Count() >= 1;
    }));
    EXPECT_EQ(d.State.LastRawX.Load(), 100);
    EXPECT_EQ(d.State.LastRawY.Load(), 200);
    EXPECT_EQ(d.State.LastTouch.Load(), 8);
    for (const auto& line : rig.Debug.Lines()) {
        EXPECT_EQ(line.find("Checksum error"), std::string::npos) << line;
    }
    size_t lost = 0;
    for (const auto& line : rig.Debug.Lines())
        lost += line == LostLine;
    EXPECT_EQ(lost, 1u);

    // Stopped the way the lifecycle does it: the mask cleared, the port
    // closed.
    d.State.StopRequested = 1;
    d.ReaderWake.Set();
    {
        std::lock_guard g(d.PortLock);
        if (d.PortHandle) {
            d.PortHandle->SetCommMask(0);
            d.PortHandle->Close();
        }
    }
    EXPECT_TRUE(d.StopEvent->Wait(2000));
    reader.join();
    EXPECT_EQ(exitCode.load(), 1u);
}

}  // namespace
}  // namespace orvex
