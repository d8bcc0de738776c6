// A report that follows stray bytes (line noise, a signature, a plug-in
// glitch) is processed as soon as its last byte is in, not when the next
// report arrives: on a simulated port and on a pseudo-terminal, for both
// report protocols and every count of stray bytes that leaves the reader
// out of step with the report length.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "driver/driver.h"
#include "platform/testing/serial-sim.h"
#include "support/driver_fixture.h"
#include "support/process.h"
#include "support/pty_pair.h"
#include "tools/orvexsim/controller.h"

using namespace orvex;
using namespace orvex::test;
using namespace std::chrono_literals;

namespace {

class StrayBytes : public ::testing::TestWithParam<std::tuple<ReportProtocol, bool>> {
  protected:
    void SetUp() override {
        Protocol = std::get<0>(GetParam());
        OnPty = std::get<1>(GetParam());
        std::unique_ptr<SerialPort> port;
        if (OnPty) {
            Pty = std::make_unique<PtySerialSetup>();
            port = Pty->OpenPort();
        } else {
            Device = &Ports.Device(u"COM1:");
            port = Ports.Open(u"COM1:");
        }
        ASSERT_TRUE(port);
        // The port as detection leaves it, and the reader the driver starts.
        SetPortHandle(T.D, std::move(port));
        T.D.State.Protocol = Protocol;
        ASSERT_EQ(ConfigureReading(T.D), 1u);
        T.D.StopEvent = std::make_unique<Event>();
        T.D.ReaderThread = std::thread(
            Protocol == ReportProtocol::EL ? ReadThread_EL : ReadThread_TS, std::ref(T.D));
    }
    void TearDown() override { DriverDeinit(T.D); }

    void Send(const std::vector<uint8_t>& bytes) {
        if (OnPty)
            Pty->Pty().Write(bytes);
        else
            Device->Send(bytes);
    }

    std::vector<uint8_t> Report(uint16_t x, uint16_t y, bool touching) {
        if (Protocol == ReportProtocol::EL) {
            auto p = EncodePacketEL(x, y, touching);
            return {p.begin(), p.end()};
        }
        auto r = EncodeReportTS(x, y, touching);
        return {r.begin(), r.end()};
    }

    ReportProtocol Protocol = ReportProtocol::TS;
    bool OnPty = false;
    TestDriver T;
    SimulatedSerialPorts Ports;
    SimulatedDevice* Device = nullptr;
    std::unique_ptr<PtySerialSetup> Pty;
};

TEST_P(StrayBytes, AReportAfterStrayBytesIsProcessedAtOnce) {
    const size_t length = Protocol == ReportProtocol::EL ? 10 : 5;
    uint16_t sent = 0;
    // Noise that starts no report: bit 7 clear for TS, never 0x55 for EL.
    for (size_t stray = 1; stray <= length; ++stray) {
        std::vector<uint8_t> bytes(stray, 0x13);
        const bool touching = stray % 2 == 1;  // lift-offs as well as touches
        const uint16_t x = static_cast<uint16_t>(100 + stray);
        auto report = Report(x, 900, touching);
        bytes.insert(bytes.end(), report.begin(), report.end());
        Send(bytes);
        ++sent;
        ASSERT_TRUE(WaitUntil([&] { return T.D.State.SampleCount == sent; }, 5s))
            << stray << " stray bytes: the report was held back";
        EXPECT_EQ(T.D.State.LastRawX, x);
        EXPECT_EQ(T.D.State.LastTouch, touching ? 8 : 0);
    }
    if (!OnPty) {
        // With nothing more to read the reader waits; it does not spin.
        EXPECT_TRUE(WaitUntil([&] { return Device->BlockedCalls() == 1; }, 5s));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, StrayBytes,
    ::testing::Combine(::testing::Values(ReportProtocol::TS, ReportProtocol::EL),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param) == ReportProtocol::EL ? "EL" : "TS") +
               (std::get<1>(info.param) ? "OnPty" : "OnSimulatedPort");
    });

}  // namespace
