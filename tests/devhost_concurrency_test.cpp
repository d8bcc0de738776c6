// The device manager under many programs at once, and stopping while they
// are busy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "common/orvex.h"
#include "device/client.h"
#include "device/host.h"
#include "platform/lasterror.h"
#include "support/devhost_fixture.h"
#include "support/process.h"

using namespace orvex;
using namespace orvex::test;
using namespace std::chrono_literals;

namespace {

class DeviceHostConcurrencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 1);
        ASSERT_EQ(Host.Start(Root.Root(), Root.Reg()), 1u);
    }
    std::unique_ptr<DeviceHandle> Open() { return OpenDevice(u"FAK1:", Root.Root()); }

    FakeModule Fake;
    HostRoot Root;
    CaptureDebugOutput Log;
    DeviceHost Host{Log};
};

TEST_F(DeviceHostConcurrencyTest, SixtyFourProgramsAreServedAtOnceEachWithItsOwnHandle) {
    constexpr int Clients = 64;
    constexpr int CallsEach = 40;
    std::latch allOpen(Clients);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Clients; ++t) {
        threads.emplace_back([&, t] {
            auto h = Open();
            allOpen.count_down();
            if (!h) {
                ++failures;
                return;
            }
            allOpen.wait();  // every handle is open before anyone closes
            for (int i = 0; i < CallsEach; ++i) {
                if (!TransformWorks(*h, static_cast<uint8_t>(t * 3 + i)))
                    ++failures;
                uint8_t code[4];
                PutU32(code, 0, 1000u + static_cast<uint32_t>(t));
                if (h->IoControl(fake::CodeFail, code, 4, nullptr, 0, nullptr) != 0 ||
                    GetLastError() != 1000u + static_cast<uint32_t>(t)) {
                    ++failures;  // another program's last error leaked in
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Fake.Counter(fake::OpenPeak), static_cast<uint32_t>(Clients));
    EXPECT_TRUE(WaitUntil([&] { return Fake.Counter(fake::Closes) == Clients; }, 30s));
    EXPECT_EQ(Fake.Counter(fake::OpenNow), 0u);
    EXPECT_EQ(Fake.Counter(fake::BadContexts), 0u);
}

TEST_F(DeviceHostConcurrencyTest, ASlowCallHoldsUpOnlyItsOwnHandle) {
    // Made without the device client, which gives up on a call after 2 s.
    auto slowConnection = ConnectRaw(Root.SocketPath("FAK1"));
    ASSERT_EQ(slowConnection.Hello, ERROR_SUCCESS);
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        uint8_t ms[4];
        PutU32(ms, 0, 5000);
        const auto request = devwire::EncodeRequest(devwire::Op::IoControl, fake::CodeSlow, 0, ms,
                                                    4, nullptr, 0, nullptr);
        if (devwire::SendPacket(slowConnection.Fd.Get(), request)) {
            std::vector<uint8_t> reply(devwire::MaxReplySize);
            (void)devwire::ReceivePacket(slowConnection.Fd.Get(), reply);
        }
        slowDone = true;
    });
    // Eight other programs finish their work while the slow call is running.
    std::vector<std::thread> others;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        others.emplace_back([&, t] {
            auto h = Open();
            for (int i = 0; i < 20; ++i) {
                if (!h || !TransformWorks(*h, static_cast<uint8_t>(t + i)))
                    ++failures;
            }
        });
    }
    for (auto& t : others)
        t.join();
    EXPECT_FALSE(slowDone.load()) << "the other programs waited for the slow call";
    EXPECT_EQ(failures.load(), 0);
    slow.join();
}

TEST_F(DeviceHostConcurrencyTest, StoppingWhileProgramsAreBusyIsClean) {
    constexpr int Clients = 16;
    std::atomic<int> wrong{0};
    std::atomic<int> succeeded{0};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < Clients; ++t) {
        threads.emplace_back([&, t] {
            // Half keep one handle; half open and close all the time, so
            // stopping races with accepting too.
            const bool churn = t % 2 == 0;
            std::unique_ptr<DeviceHandle> h = Open();
            for (int i = 0; !stopped.load() || h; ++i) {
                if (churn || !h)
                    h = Open();
                if (!h) {
                    const uint32_t e = GetLastError();
                    if (e != ERROR_FILE_NOT_FOUND && e != ERROR_DEVICE_NOT_CONNECTED)
                        ++wrong;
                    if (stopped.load())
                        break;
                    continue;
                }
                uint8_t out[4] = {1, 2, 3, 4};
                const uint32_t r = h->IoControl(fake::CodeOutputSum, nullptr, 0, out, 4, nullptr);
                if (r == 0x1000Au) {
                    ++succeeded;
                } else if (r != 0 || GetLastError() != ERROR_DEVICE_NOT_CONNECTED) {
                    ++wrong;
                } else {
                    h.reset();  // the host is gone
                    if (stopped.load())
                        break;
                }
            }
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return succeeded.load() > 200; }, 60s));
    Host.Stop();
    stopped = true;
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(wrong.load(), 0) << "every call either worked or failed as disconnected";
    EXPECT_EQ(Fake.Counter(fake::Deinits), 1u);
    EXPECT_EQ(Fake.Counter(fake::OpenNow), 0u) << "every open handle was closed";
    EXPECT_EQ(Fake.Counter(fake::Opens), Fake.Counter(fake::Closes));
    EXPECT_EQ(Fake.Counter(fake::BadContexts), 0u);
}

}  // namespace
