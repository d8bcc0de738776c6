// The simulated serial ports that driver tests run on: they must behave like
// the real ports wherever the driver can tell the difference.
#include "platform/testing/serial-sim.h"

#include <gtest/gtest.h>

#include "platform/lasterror.h"
#include "platform/testing/timer-manual.h"

namespace orvex {
namespace {

using Kind = SimulatedDevice::LogEntry::Kind;

// Records every callback; optionally answers each write.
class RecordingFarEnd final : public SimulatedFarEnd {
  public:
    explicit RecordingFarEnd(SimulatedDevice* device = nullptr) : Device_(device) {}
    void OnOpen() override { Events.push_back("open"); }
    void OnClose() override { Events.push_back("close"); }
    void OnCommState(const Dcb& dcb) override {
        Events.push_back("state " + std::to_string(dcb.BaudRate));
    }
    void OnLines(bool rts, bool dtr) override {
        Events.push_back(std::string("lines ") + (rts ? "R" : "r") + (dtr ? "D" : "d"));
    }
    void OnWrite(std::span<const uint8_t> bytes) override {
        Events.push_back("write " + std::to_string(bytes.size()));
        // Answer from inside the callback, as a controller does: this must
        // not deadlock on the port's lock.
        if (Device_)
            Device_->Send({0x55, static_cast<uint8_t>(bytes[0] + 1)});
    }
    std::vector<std::string> Events;

  private:
    SimulatedDevice* Device_;
};

// ---- opening

TEST(SimOpen, NamesDevicesAndErrorsLikeTheRealPorts) {
    SimulatedSerialPorts ports;
    ports.Device(u"COM2:");
    EXPECT_FALSE(ports.Open(u"COM3:"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    for (std::u16string_view bad : {u"COM10:", u"COM2", u"XYZ2:"}) {
        EXPECT_FALSE(ports.Open(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    }
    EXPECT_TRUE(ports.Open(u"com2:"));  // any case, same device
    EXPECT_EQ(&ports.Device(u"com2:"), &ports.Device(u"COM2:"));
}

TEST(SimOpen, IsExclusiveAndCanBeMadeToFail) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto first = ports.Open(u"COM1:");
    ASSERT_TRUE(first);
    EXPECT_TRUE(dev.IsOpen());
    EXPECT_FALSE(ports.Open(u"COM1:"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    first.reset();
    EXPECT_FALSE(dev.IsOpen());

    dev.FailOpen(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ports.Open(u"COM1:"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    dev.FailOpen(0);
    EXPECT_TRUE(ports.Open(u"COM1:"));
    EXPECT_EQ(dev.OpenCount(), 2u);
}

TEST(SimOpen, EachOpenStartsWithTheDefaultTimeoutsAndNoMask) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto port = ports.Open(u"COM1:");
    ASSERT_TRUE(port->SetCommTimeouts({0, 0, 0, 0, 0}));
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    ASSERT_TRUE(port->SetCommState({19200, 8, 0, 0}));
    port->Close();

    port = ports.Open(u"COM1:");
    CommTimeouts t;
    ASSERT_TRUE(port->GetCommTimeouts(&t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 20u);
    EXPECT_EQ(dev.Mask(), 0u);
    Dcb dcb;
    ASSERT_TRUE(port->GetCommState(&dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);  // line settings belong to the device
}

TEST(SimOpen, ClosedHandleIsInvalidAndNoLongerHoldsTheDevice) {
    SimulatedSerialPorts ports;
    ports.Device(u"COM1:");
    auto port = ports.Open(u"COM1:");
    port->Close();
    port->Close();
    uint8_t b;
    uint32_t n = 3;
    EXPECT_FALSE(port->Read(&b, 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(port->Write(&b, 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(port->LineControl(IOCTL_SERIAL_SET_RTS));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(ports.Open(u"COM1:"));
}

// ---- the far end

TEST(SimFarEnd, SeesEverythingInOrderAndMayAnswerFromInsideAWrite) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto far = std::make_shared<RecordingFarEnd>(&dev);
    dev.Attach(far);

    auto port = ports.Open(u"COM1:");
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommState({38400, 8, 0, 0}));
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_CLR_RTS));
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_SET_DTR));
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_SET_RTS));
    const uint8_t cmd[] = {0x41, 0, 0};
    uint32_t written = 0;
    ASSERT_TRUE(port->Write(cmd, 3, &written));
    EXPECT_EQ(written, 3u);

    // The answer is there for the very next read.
    uint8_t reply[4] = {};
    uint32_t got = 0;
    ASSERT_TRUE(port->Read(reply, 4, &got));
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(reply[1], 0x42);
    port->Close();

    EXPECT_EQ(far->Events, (std::vector<std::string>{"open", "state 38400", "lines rD", "lines rD",
                                                     "lines RD", "write 3", "close"}));
    EXPECT_EQ(dev.Written(), (std::vector<uint8_t>{0x41, 0, 0}));

    const auto log = dev.Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].What, Kind::CommState);
    EXPECT_EQ(log[0].State.BaudRate, 38400u);
    EXPECT_EQ(log[1].Code, IOCTL_SERIAL_CLR_RTS);
    EXPECT_EQ(log[2].Code, IOCTL_SERIAL_SET_DTR);
    EXPECT_EQ(log[3].Code, IOCTL_SERIAL_SET_RTS);
    EXPECT_EQ(log[3].What, Kind::LineControl);
}

TEST(SimFarEnd, RefusedCallsReachNeitherTheFarEndNorTheLog) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto far = std::make_shared<RecordingFarEnd>();
    dev.Attach(far);
    auto port = ports.Open(u"COM1:");
    far->Events.clear();

    EXPECT_FALSE(port->SetCommState({14400, 8, 0, 0}));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(port->LineControl(0x12345));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    dev.FailSetCommState(ERROR_GEN_FAILURE);
    EXPECT_FALSE(port->SetCommState({9600, 8, 0, 0}));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    dev.FailGetCommState(ERROR_NOT_SUPPORTED);
    Dcb dcb;
    dcb.BaudRate = 1;
    EXPECT_FALSE(port->GetCommState(&dcb));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(dcb.BaudRate, 1u);  // untouched on failure

    EXPECT_TRUE(far->Events.empty());
    EXPECT_TRUE(dev.Log().empty());
    EXPECT_EQ(dev.CommState().BaudRate, 9600u);
}

// ---- read time-outs, with time passing only on the test's clock

struct TimedPorts {
    ManualTimerService Clock;
    SimulatedSerialPorts Ports{[this](uint32_t ms) { Clock.Advance(ms); }};
    SimulatedDevice& Dev = Ports.Device(u"COM1:");
    std::unique_ptr<SerialPort> Port = Ports.Open(u"COM1:");
    uint64_t Ms() { return Clock.NowMicroseconds() / 1000; }
};

TEST(SimRead, AsOpenedTakesWhatIsThereOrLetsTwentyMsPass) {
    TimedPorts t;
    uint8_t b[5] = {};
    uint32_t got = 9;
    ASSERT_TRUE(t.Port->Read(b, 5, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(t.Ms(), 20u);

    t.Dev.Send({1, 2, 3});
    ASSERT_TRUE(t.Port->Read(b, 5, &got));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(t.Ms(), 20u);  // at least one byte: no waiting
    EXPECT_EQ(t.Dev.Pending(), 0u);

    t.Dev.Send({1, 2, 3, 4, 5, 6, 7});
    ASSERT_TRUE(t.Port->Read(b, 5, &got));
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(t.Dev.Pending(), 2u);  // the rest stays for the next read
}

TEST(SimRead, TotalAndIntervalTimeoutsPassTheirTime) {
    TimedPorts t;
    uint8_t b[10];
    uint32_t got = 0;
    ASSERT_TRUE(t.Port->SetCommTimeouts({0, 10, 100, 0, 0}));
    ASSERT_TRUE(t.Port->Read(b, 10, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(t.Ms(), 200u);  // 10 * 10 + 100

    ASSERT_TRUE(t.Port->SetCommTimeouts({15, 0, 0, 0, 0}));
    t.Dev.Send({9});
    ASSERT_TRUE(t.Port->Read(b, 10, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(t.Ms(), 215u);  // the gap after the byte

    ASSERT_TRUE(t.Port->SetCommTimeouts({MAXDWORD, 0, 0, 0, 0}));
    ASSERT_TRUE(t.Port->Read(b, 10, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(t.Ms(), 215u);  // immediate
}

TEST(SimRead, FullReadNeverWaits) {
    TimedPorts t;
    ASSERT_TRUE(t.Port->SetCommTimeouts({0, 0, 0, 0, 0}));
    t.Dev.Send({1, 2, 3, 4, 5});
    uint8_t b[5];
    uint32_t got = 0;
    ASSERT_TRUE(t.Port->Read(b, 5, &got));  // would block forever if it waited
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(t.Ms(), 0u);
}

// ---- waiting for characters, and unplugging

TEST(SimLineTime, AnswersCrossTheWireAndReadsMoveTheClock) {
    ManualTimerService clock;
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto far = std::make_shared<RecordingFarEnd>(&dev);
    dev.Attach(far);
    dev.KeepLineTime(clock, 2000);
    auto port = ports.Open(u"COM1:");
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommState({1200, 8, 0, 0}));  // 8333 us a character

    // Three bytes out, 2 ms to answer, and the answer's first byte back.
    const uint8_t cmd[] = {0x41, 0, 0};
    uint32_t written = 0;
    ASSERT_TRUE(port->Write(cmd, 3, &written));
    const uint64_t firstByte = 3 * 8333 + 2000 + 8333;
    ASSERT_TRUE(port->SetCommTimeouts({MAXDWORD, MAXDWORD, 30, 0, 0}));
    uint8_t reply[4] = {};
    uint32_t got = 0;
    ASSERT_TRUE(port->Read(reply, 4, &got));
    EXPECT_EQ(got, 0u) << "the answer came before the command had crossed";
    EXPECT_EQ(clock.NowMicroseconds(), 30'000u) << "a read with nothing sits out its time-out";

    ASSERT_TRUE(port->Read(reply, 4, &got));
    ASSERT_EQ(got, 1u) << "returns with the first byte";
    EXPECT_EQ(clock.NowMicroseconds(), firstByte);
    ASSERT_TRUE(port->Read(reply + 1, 3, &got));
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(reply[1], 0x42);
    EXPECT_EQ(clock.NowMicroseconds(), firstByte + 8333) << "one character later";
}

TEST(SimWait, ReportsDataAndRefusesAnEmptyMask) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto port = ports.Open(u"COM1:");
    uint32_t mask = 7;
    EXPECT_FALSE(port->WaitCommEvent(&mask));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(mask, 0u);

    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    EXPECT_EQ(dev.Mask(), EV_RXCHAR);
    dev.Send({0x80});
    ASSERT_TRUE(port->WaitCommEvent(&mask));
    EXPECT_EQ(mask, EV_RXCHAR);
}

TEST(SimUnplug, KillsTheHandleUntilANewOpenAfterPlugging) {
    SimulatedSerialPorts ports;
    SimulatedDevice& dev = ports.Device(u"COM1:");
    auto port = ports.Open(u"COM1:");
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    dev.Send({1, 2});
    dev.Unplug();
    EXPECT_EQ(dev.Pending(), 0u);  // unread bytes are gone with the device
    EXPECT_FALSE(dev.IsOpen());

    uint32_t mask = 0;
    EXPECT_FALSE(port->WaitCommEvent(&mask));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    uint8_t b[2];
    uint32_t got = 0;
    EXPECT_FALSE(port->Read(b, 2, &got));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    EXPECT_FALSE(ports.Open(u"COM1:"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    dev.Send({3});  // nobody there to receive it
    dev.Plug();
    EXPECT_EQ(dev.Pending(), 0u);

    auto fresh = ports.Open(u"COM1:");  // the dead handle does not hold it
    ASSERT_TRUE(fresh);
    dev.Send({4});
    ASSERT_TRUE(fresh->Read(b, 2, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_FALSE(port->Read(b, 2, &got));  // the old one stays dead
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace orvex
