// Cross-thread wake-ups of the serial ports: SetCommMask, data, Close and
// unplugging, each waking a call blocked on another thread. Runs under
// ThreadSanitizer too.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/lasterror.h"
#include "platform/serial.h"
#include "platform/testing/serial-sim.h"
#include "support/pty_pair.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::PtySerialSetup;

struct Outcome {
    bool Ok = false;
    uint32_t Error = 0;
    uint32_t Value = 0;  // the mask or the byte count
};

// Runs one call on its own thread and tells the test once that thread is
// asleep inside the port, so the wake-up under test cannot come too early.
class BlockedCall {
  public:
    template <class F>
    explicit BlockedCall(F call) {
        Thread_ = std::thread([this, call] {
            Tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
            Started_ = true;
            Outcome o = call();
            o.Error = o.Ok ? 0 : GetLastError();
            Result_.set_value(o);
        });
        Future_ = Result_.get_future();
    }
    ~BlockedCall() {
        if (Thread_.joinable())
            Thread_.join();
    }

    // A pty port sleeps in poll(); waits (up to a generous limit) until the
    // thread is there, as the kernel reports it.
    bool AsleepInPoll() {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            if (Started_) {
                std::ifstream f("/proc/self/task/" + std::to_string(Tid_.load()) + "/syscall");
                long nr = -1;
                if (f >> nr && (nr == SYS_poll || nr == SYS_ppoll))
                    return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    bool Finished() { return Future_.wait_for(0s) == std::future_status::ready; }
    // Waits (generously) for the call to return.
    Outcome Get() {
        EXPECT_EQ(Future_.wait_for(10s), std::future_status::ready) << "call did not wake";
        return Future_.get();
    }

  private:
    std::atomic<bool> Started_{false};
    std::atomic<pid_t> Tid_{0};
    std::promise<Outcome> Result_;
    std::future<Outcome> Future_;
    std::thread Thread_;
};

Outcome Wait(SerialPort& port) {
    Outcome o;
    o.Ok = port.WaitCommEvent(&o.Value);
    return o;
}

Outcome ReadFive(SerialPort& port, uint8_t* buffer) {
    Outcome o;
    o.Ok = port.Read(buffer, 5, &o.Value);
    return o;
}

// ---- termios, on a pty

TEST(TermiosWakeups, SetCommMaskWakesAPendingWaitWithAnEmptyMask) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    BlockedCall call([&] { return Wait(*port); });
    ASSERT_TRUE(call.AsleepInPoll());
    EXPECT_FALSE(call.Finished());
    ASSERT_TRUE(port->SetCommMask(0));
    const Outcome o = call.Get();
    EXPECT_TRUE(o.Ok);
    EXPECT_EQ(o.Value, 0u);
}

TEST(TermiosWakeups, ArrivingDataWakesAPendingWait) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    BlockedCall call([&] { return Wait(*port); });
    ASSERT_TRUE(call.AsleepInPoll());
    s.Pty().Write({0x80});
    const Outcome o = call.Get();
    EXPECT_TRUE(o.Ok);
    EXPECT_EQ(o.Value, EV_RXCHAR);
}

TEST(TermiosWakeups, CloseAbortsBlockedReadAndWaitThenHandleIsInvalid) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    ASSERT_TRUE(port->SetCommTimeouts({0, 0, 0, 0, 0}));
    s.Pty().Write({1, 2});  // a partial report: the read keeps waiting for 3 more
    uint8_t buffer[5] = {};
    BlockedCall reader([&] { return ReadFive(*port, buffer); });
    ASSERT_TRUE(reader.AsleepInPoll());
    // The wait would return at once while bytes sit unread; ask it when the
    // reader has taken them.
    BlockedCall waiter([&] { return Wait(*port); });
    ASSERT_TRUE(waiter.AsleepInPoll());

    port->Close();
    const Outcome r = reader.Get();
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(r.Value, 2u);  // what it had is reported, not hidden
    const Outcome w = waiter.Get();
    EXPECT_FALSE(w.Ok);
    EXPECT_EQ(w.Error, ERROR_OPERATION_ABORTED);

    uint32_t mask = 0;
    EXPECT_FALSE(port->WaitCommEvent(&mask));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(s.OpenPort());  // the fd and its lock are really gone
}

TEST(TermiosWakeups, DestroyingThePortWaitsForABlockedCall) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    BlockedCall call([raw = port.get()] { return Wait(*raw); });
    ASSERT_TRUE(call.AsleepInPoll());
    port.reset();  // ASan would see the woken call touch freed memory otherwise
    EXPECT_EQ(call.Get().Error, ERROR_OPERATION_ABORTED);
}

TEST(TermiosWakeups, MasterClosingWakesABlockedWait) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    BlockedCall call([&] { return Wait(*port); });
    ASSERT_TRUE(call.AsleepInPoll());
    s.Pty().CloseMaster();
    const Outcome o = call.Get();
    EXPECT_FALSE(o.Ok);
    EXPECT_EQ(o.Error, ERROR_DEVICE_NOT_CONNECTED);
}

TEST(TermiosWakeups, CloseRacingCallsNeverTouchesAClosedDescriptor) {
    // Many rounds of Close against calls on other threads: whatever the
    // interleaving, each call either works, is aborted or finds the handle
    // invalid, and the sanitizers see no race.
    for (int round = 0; round < 30; ++round) {
        PtySerialSetup s;
        auto port = s.OpenPort();
        ASSERT_TRUE(port);
        ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
        std::atomic<bool> go{false};
        auto worker = [&](bool wait) {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < 20; ++i) {
                uint8_t b[5];
                uint32_t v = 0;
                const bool ok = wait ? port->WaitCommEvent(&v) : port->Read(b, 5, &v);
                if (!ok) {
                    const uint32_t e = GetLastError();
                    EXPECT_TRUE(e == ERROR_OPERATION_ABORTED || e == ERROR_INVALID_HANDLE) << e;
                    return;
                }
            }
        };
        std::thread a(worker, true), b(worker, false);
        go = true;
        std::this_thread::sleep_for(std::chrono::microseconds(round * 50));
        port->Close();
        a.join();
        b.join();
    }
}

// ---- the simulated ports

void UntilBlocked(SimulatedDevice& dev, size_t calls) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (dev.BlockedCalls() < calls && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    ASSERT_EQ(dev.BlockedCalls(), calls);
}

TEST(SimWakeups, AllZeroTimeoutReadWaitsForEveryByteSentInPieces) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto port = ports.Open(u"COM1:");
    ASSERT_TRUE(port->SetCommTimeouts({0, 0, 0, 0, 0}));
    uint8_t buffer[5] = {};
    BlockedCall reader([&] { return ReadFive(*port, buffer); });
    UntilBlocked(dev, 1);
    dev.Send({0x55, 0x54});
    UntilBlocked(dev, 1);  // took two, waits on for three
    EXPECT_FALSE(reader.Finished());
    dev.Send({0x00, 0xFC, 0x0F, 0x99});
    const Outcome o = reader.Get();
    EXPECT_TRUE(o.Ok);
    EXPECT_EQ(o.Value, 5u);
    EXPECT_EQ(buffer[4], 0x0F);
    EXPECT_EQ(dev.Pending(), 1u);
}

TEST(SimWakeups, SetCommMaskWakesAWaitAndDataWakesTheNext) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto port = ports.Open(u"COM1:");
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    {
        BlockedCall call([&] { return Wait(*port); });
        UntilBlocked(dev, 1);
        ASSERT_TRUE(port->SetCommMask(0));
        const Outcome o = call.Get();
        EXPECT_TRUE(o.Ok);
        EXPECT_EQ(o.Value, 0u);
    }
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    BlockedCall call([&] { return Wait(*port); });
    UntilBlocked(dev, 1);
    dev.Send({1});
    const Outcome o = call.Get();
    EXPECT_TRUE(o.Ok);
    EXPECT_EQ(o.Value, EV_RXCHAR);
}

TEST(SimWakeups, CloseAbortsAndUnplugDisconnectsBlockedCalls) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    for (bool unplug : {false, true}) {
        dev.Plug();
        auto port = ports.Open(u"COM1:");
        ASSERT_TRUE(port);
        ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
        ASSERT_TRUE(port->SetCommTimeouts({0, 0, 0, 0, 0}));
        uint8_t buffer[5];
        BlockedCall reader([&] { return ReadFive(*port, buffer); });
        BlockedCall waiter([&] { return Wait(*port); });
        UntilBlocked(dev, 2);
        if (unplug)
            dev.Unplug();
        else
            port->Close();
        const uint32_t expected = unplug ? ERROR_DEVICE_NOT_CONNECTED : ERROR_OPERATION_ABORTED;
        EXPECT_EQ(reader.Get().Error, expected);
        EXPECT_EQ(waiter.Get().Error, expected);
    }
}

TEST(SimWakeups, DestroyingTheHandleWaitsForABlockedCall) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto port = ports.Open(u"COM1:");
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    BlockedCall waiter([raw = port.get()] { return Wait(*raw); });
    UntilBlocked(dev, 1);
    // Were the destructor not to wait, the woken call would still be
    // unwinding inside freed memory: the ASan build catches exactly that.
    port.reset();
    EXPECT_EQ(waiter.Get().Error, ERROR_OPERATION_ABORTED);
}

}  // namespace
}  // namespace orvex
