// Finding the controller, and the driver's start and stop, against simulated
// ports whose far end sees the rate and the modem lines.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include "common/orvex.h"
#include "platform/testing/serial-sim.h"
#include "support/driver_fixture.h"
#include "support/process.h"
#include "support/regdata.h"
#include "support/temp_root.h"
#include "tools/orvexsim/controller.h"

using namespace orvex;
using namespace orvex::test;
using namespace std::chrono_literals;

namespace {

// A far end made of callbacks, for controllers that misbehave on purpose.
struct ScriptedFarEnd : SimulatedFarEnd {
    std::function<void(uint32_t rate, bool rts)> Lines;
    std::function<void(std::span<const uint8_t>)> Written;
    uint32_t Rate = 0;
    bool Rts = false;
    void OnCommState(const Dcb& dcb) override { Rate = dcb.BaudRate; }
    void OnLines(bool rts, bool) override {
        bool rise = rts && !Rts;
        Rts = rts;
        if (rise && Lines)
            Lines(Rate, rts);
    }
    void OnWrite(std::span<const uint8_t> b) override {
        if (Written)
            Written(b);
    }
};

// The simulator's controller model behind a simulated port.
struct ControllerFarEnd : SimulatedFarEnd {
    ControllerFarEnd(SimulatedDevice& dev, const SimConfig& config)
        : Controller(config, [&dev](std::span<const uint8_t> b) { dev.Send(b); }) {}
    void OnCommState(const Dcb& dcb) override {
        Rate = dcb.BaudRate;
        Controller.OnLineState(Rate, Rts, Dtr);
    }
    void OnLines(bool rts, bool dtr) override {
        Rts = rts;
        Dtr = dtr;
        Controller.OnLineState(Rate, Rts, Dtr);
    }
    void OnWrite(std::span<const uint8_t> b) override { Controller.OnBytesFromHost(b); }
    SimController Controller;
    uint32_t Rate = 0;
    bool Rts = false, Dtr = false;
};

class Detection : public ::testing::Test {
  protected:
    void SetUp() override {
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        ASSERT_TRUE(Reg);
        RegKey key;
        ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, DriverKeyPath, &key), 0u);
        Reg->CloseKey(key);
        T.Sys.Reg = Reg.get();
        T.Sys.Serial = &Ports;
        T.Timers.ClearSleeps();
    }

    void SetDword(const char16_t* name, uint32_t value) {
        orvex::test::SetDword(*Reg, DriverKeyPath, name, value);
    }

    std::shared_ptr<ControllerFarEnd> AttachController(ReportProtocol protocol, uint32_t rate) {
        SimConfig config;
        config.Protocol = protocol;
        config.Rate = rate;
        auto far = std::make_shared<ControllerFarEnd>(Com1(), config);
        Com1().Attach(far);
        return far;
    }

    SimulatedDevice& Com1() { return Ports.Device(u"COM1:"); }
    std::vector<std::string> Lines() { return T.Debug.Lines(); }
    bool Printed(const std::string& line) {
        for (const auto& l : Lines())
            if (l == line)
                return true;
        return false;
    }

    TempRoot Root;
    std::unique_ptr<Registry> Reg;
    TestDriver T;
    SimulatedSerialPorts Ports{[this](uint32_t ms) { T.Timers.AdvanceMicroseconds(ms * 1000ull); }};
};

TEST_F(Detection, TsControllerIsFoundAt9600AfterSilenceAt38400) {
    auto far = AttachController(ReportProtocol::TS, 9600);
    ASSERT_NE(DetectController(T.D), 0u);
    EXPECT_EQ(T.D.State.Protocol.Load(), ReportProtocol::TS);
    ASSERT_TRUE(T.D.PortHandle);

    const std::vector<std::string> expected = {
        "ORVEXSER: Driver Version 6.0.1.1\r\n",
        "ORVEXSER: Detecting [TS] device on COM1...\r\n",
        "ORVEXSER: TouchScreen found on COM1: 9600BPS, [TS]\r\n",
    };
    std::vector<std::string> lines;
    for (const auto& l : Lines())
        if (l.rfind("ORVEXSER: Failed", 0) != 0)
            lines.push_back(l);  // registry values absent
    EXPECT_EQ(lines, expected);

    // Two rates walked, each with its reset of the lines and its sleeps.
    EXPECT_EQ(T.Timers.Sleeps(), (std::vector<uint32_t>{150000, 10000, 150000, 10000}));
    std::vector<uint32_t> codes;
    for (const auto& e : Com1().Log())
        if (e.What == SimulatedDevice::LogEntry::Kind::LineControl)
            codes.push_back(e.Code);
    EXPECT_EQ(codes, (std::vector<uint32_t>{IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_DTR,
                                            IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS,
                                            IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS}));
    // Ready for the reader: 8N1 at the found rate, reads that return at once
    // with what has arrived, EV_RXCHAR.
    EXPECT_EQ(Com1().CommState().BaudRate, 9600u);
    EXPECT_EQ(Com1().CommState().ByteSize, 8);
    CommTimeouts t = Com1().Timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutConstant + t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(Com1().Mask(), EV_RXCHAR);
}

TEST_F(Detection, ElControllerAt4800AndAnyAnswerCounts) {
    auto far = AttachController(ReportProtocol::EL, 4800);
    ASSERT_NE(DetectController(T.D), 0u);
    EXPECT_EQ(T.D.State.Protocol.Load(), ReportProtocol::EL);
    EXPECT_TRUE(Printed("ORVEXSER: TouchScreen found on COM1: 4800BPS, [EL]\r\n"));
    // The first command went out as listed.
    auto written = Com1().Written();
    ASSERT_GE(written.size(), 10u);
    const std::vector<uint8_t> first = {0x55, 0x51, 0x06, 0, 0, 0, 0, 0, 0, 0x56};
    EXPECT_TRUE(std::search(written.begin(), written.end(), first.begin(), first.end()) !=
                written.end());
}

TEST_F(Detection, OneStrayByteAtTheFirstElRateIsTakenForAController) {
    auto far = std::make_shared<ScriptedFarEnd>();
    far->Written = [&](std::span<const uint8_t>) {
        if (far->Rate == 9600)
            Com1().Send({0x42});
    };
    Com1().Attach(far);
    ASSERT_NE(DetectController(T.D), 0u);
    EXPECT_EQ(T.D.State.Protocol.Load(), ReportProtocol::EL);
    EXPECT_TRUE(Printed("ORVEXSER: TouchScreen found on COM1: 9600BPS, [EL]\r\n"));
}

TEST_F(Detection, SignaturePositionIsCarriedIntoTheNextRate) {
    // "[[" at 38400 leaves the match at 1, so "TS]" alone completes it at 9600.
    auto far = std::make_shared<ScriptedFarEnd>();
    far->Lines = [&](uint32_t rate, bool) {
        if (rate == 38400)
            Com1().Send({'[', '['});
        if (rate == 9600)
            Com1().Send({'T', 'S', ']'});
    };
    Com1().Attach(far);
    ASSERT_NE(DetectController(T.D), 0u);
    EXPECT_EQ(T.D.State.Protocol.Load(), ReportProtocol::TS);
    EXPECT_TRUE(Printed("ORVEXSER: TouchScreen found on COM1: 9600BPS, [TS]\r\n"));
}

TEST_F(Detection, HalfASignatureIsForgottenAndARepeatedBracketDoesNotMatch) {
    auto far = std::make_shared<ScriptedFarEnd>();
    far->Lines = [&](uint32_t rate, bool) {
        if (rate == 38400)
            Com1().Send({'[', 'T'});  // the silent re-compare resets to 0
        if (rate == 9600)
            Com1().Send({'S', ']'});
        if (rate == 19200)
            Com1().Send({0x5B, 0x5B, 0x54, 0x53, 0x5D});
    };
    Com1().Attach(far);
    EXPECT_EQ(DetectController(T.D), 0u);
    EXPECT_FALSE(T.D.PortHandle);
    EXPECT_FALSE(Com1().IsOpen());
}

TEST_F(Detection, NoControllerWalksAllRatesAndPutsTheLineBack) {
    Dcb original;
    original.BaudRate = 57600;
    original.ByteSize = 7;
    original.Parity = 2;
    original.StopBits = 2;
    {
        Com1();  // the device exists from here on
        auto port = Ports.Open(u"COM1:");
        ASSERT_TRUE(port);
        ASSERT_TRUE(port->SetCommState(original));
    }
    Com1().ClearLog();
    T.D.State.Protocol = ReportProtocol::EL;
    EXPECT_EQ(DetectController(T.D), 0u);
    EXPECT_EQ(T.D.State.Protocol.Load(), ReportProtocol::EL) << "unchanged";
    EXPECT_TRUE(
        Printed("ORVEXSER: No TouchScreen found. Returning serial port to original status.\r\n"));
    EXPECT_EQ(T.Timers.Sleeps().size(), 12u);
    std::vector<uint32_t> rates;
    for (const auto& e : Com1().Log())
        if (e.What == SimulatedDevice::LogEntry::Kind::CommState)
            rates.push_back(e.State.BaudRate);
    EXPECT_EQ(rates, (std::vector<uint32_t>{38400, 9600, 19200, 4800, 2400, 1200, 57600}));
    EXPECT_EQ(Com1().CommState().Parity, 2);
    EXPECT_EQ(Com1().CommState().StopBits, 2);
    EXPECT_FALSE(Com1().IsOpen());
    // Each EL rate sent its first command and nothing more.
    EXPECT_EQ(Com1().Written().size(), 5u * 10u);
}

TEST_F(Detection, PortsThatCannotBeOpenedOrDoNotFitAreRefused) {
    Com1().FailOpen(ERROR_ACCESS_DENIED);
    EXPECT_EQ(DetectController(T.D), 0u);
    EXPECT_TRUE(Printed("ORVEXSER: Failed to open COM1: Error 5\r\n"));
    EXPECT_FALSE(T.D.PortHandle);

    T.Debug.Clear();
    SetDword(u"Port", 10);
    EXPECT_EQ(DetectController(T.D), 0u);
    EXPECT_TRUE(Printed("ORVEXSER: Detecting [TS] device on COM10...\r\n"));
    EXPECT_TRUE(Printed("ORVEXSER: Failed to open COM10: Error 123\r\n"));

    T.Debug.Clear();
    SetDword(u"Port", 0xFFFFFFFF);  // -1
    EXPECT_EQ(DetectController(T.D), 0u);
    EXPECT_TRUE(Printed("ORVEXSER: Failed to open COM-1: Error 123\r\n"));
}

TEST_F(Detection, LineStateFailuresCloseThePort) {
    Com1().FailGetCommState(ERROR_GEN_FAILURE);
    EXPECT_EQ(DetectController(T.D), 0u);
    EXPECT_TRUE(Printed("ORVEXSER: GetCommState error 31\r\n"));
    EXPECT_FALSE(Com1().IsOpen());

    Com1().FailGetCommState(0);
    Com1().FailSetCommState(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(DetectController(T.D), 0u);
    EXPECT_TRUE(Printed("ORVEXSER: SetCommState error 87\r\n"));
    EXPECT_FALSE(Com1().IsOpen());
}

TEST_F(Detection, AModelFromTheRegistryChangesTheSignature) {
    RegKey key;
    Reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, KEY_ALL_ACCESS, &key);
    const char16_t model[] = u"AB";
    Reg->SetValue(key, u"Model", REG_SZ, reinterpret_cast<const uint8_t*>(model), sizeof model);
    Reg->CloseKey(key);

    auto far = std::make_shared<ScriptedFarEnd>();
    far->Lines = [&](uint32_t rate, bool) {
        if (rate == 38400)
            Com1().Send({'[', 'T', 'S', ']'});
        if (rate == 19200)
            Com1().Send({0x5B, 0x41, 0x42, 0x5D});
    };
    Com1().Attach(far);
    ASSERT_NE(DetectController(T.D), 0u);
    EXPECT_TRUE(Printed("ORVEXSER: Detecting [AB] device on COM1...\r\n"));
    EXPECT_TRUE(Printed("ORVEXSER: TouchScreen found on COM1: 19200BPS, [AB]\r\n"));
}

TEST(FindReplyEL, AcknowledgementsAndWhatIsSkipped) {
    auto packet = [](std::initializer_list<uint8_t> body) {
        std::vector<uint8_t> p(body);
        p.push_back(PacketChecksum(p));
        return p;
    };
    auto ack = packet({0x55, 0x41, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(FindReplyEL(ack, 0x41, 0).Offset, 0u);
    EXPECT_TRUE(FindReplyEL(ack, 0x41, 0).Found);
    EXPECT_EQ(FindReplyEL(ack, 0x41, 0).Length, 10u);
    EXPECT_FALSE(FindReplyEL(std::span(ack).first(9), 0x41, 0).Found) << "fewer than 10 bytes";

    // The 11-byte form, after noise.
    auto longAck = packet({0x16, 0x41, 1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<uint8_t> stream = {0x00, 0x13};
    stream.insert(stream.end(), longAck.begin(), longAck.end());
    auto r = FindReplyEL(stream, 0x41, 0);
    EXPECT_TRUE(r.Found);
    EXPECT_EQ(r.Offset, 2u);
    EXPECT_EQ(r.Length, 11u);

    // A candidate with a bad checksum is skipped whole, even when an
    // acknowledgement starts inside it.
    std::vector<uint8_t> bad = {0x55, 0x00};
    bad.insert(bad.end(), ack.begin(), ack.end());  // starts at offset 2, inside the first
    EXPECT_FALSE(FindReplyEL(bad, 0x41, 0).Found);
}

TEST_F(Detection, ThirdElCommandFollowsTheIdentityPacket) {
    auto far = std::make_shared<ScriptedFarEnd>();
    int commands = 0;
    far->Written = [&](std::span<const uint8_t> b) {
        if (far->Rate != 9600)
            return;
        ++commands;
        std::vector<uint8_t> ack = {0x55, 0x41, b[1], 0, 0, 0, 0, 0, 0};
        ack.push_back(PacketChecksum(ack));
        if (commands == 1) {
            Com1().Send(ack);
        } else if (commands == 2) {
            std::vector<uint8_t> id = {0x55, 0x74, 0x6B, 0x48, 0x17, 0x6D, 0, 0, 0};
            id.push_back(PacketChecksum(id));
            id.insert(id.end(), ack.begin(), ack.end());
            Com1().Send(id);
        }
    };
    Com1().Attach(far);
    ASSERT_NE(DetectController(T.D), 0u);
    EXPECT_EQ(commands, 3);
    auto written = Com1().Written();
    const std::vector<uint8_t> third = {0x55, 0x54, 0x4B, 0x34, 0x38, 0x31, 0x37, 0x4D, 0xFF, 0xBE};
    EXPECT_TRUE(std::equal(third.begin(), third.end(), written.end() - 10));
}

TEST_F(Detection, AcknowledgementAtTheStartOfTheSecondReplySendsNoThirdCommand) {
    auto far = std::make_shared<ScriptedFarEnd>();
    int commands = 0;
    far->Written = [&](std::span<const uint8_t> b) {
        if (far->Rate != 9600)
            return;
        ++commands;
        std::vector<uint8_t> ack = {0x55, 0x41, b[1], 0, 0, 0, 0, 0, 0};
        ack.push_back(PacketChecksum(ack));
        Com1().Send(ack);
    };
    Com1().Attach(far);
    ASSERT_NE(DetectController(T.D), 0u);
    EXPECT_EQ(commands, 2);
}

// ---- start and stop

TEST_F(Detection, StartRunsTheReaderForTheDetectedProtocolAndStopEndsIt) {
    auto far = AttachController(ReportProtocol::EL, 2400);
    uint32_t context = DriverInit(T.D);
    ASSERT_NE(context, 0u);
    ASSERT_TRUE(T.D.ReaderThread.joinable());
    EXPECT_TRUE(Printed("ORVEXSER: Failed to RegGetCalibrationX1\r\n")) << "loads after finding";
    EXPECT_EQ(T.D.State.CalibrationX2, 512);

    far->Controller.Touch(100, 900);
    ASSERT_TRUE(WaitUntil([&] { return T.D.State.SampleCount == 1; }, 5s));
    EXPECT_EQ(T.D.State.LastRawX, 100);
    EXPECT_EQ(T.D.State.LastRawY, 900);

    EXPECT_EQ(DriverDeinit(T.D), 1u);
    EXPECT_FALSE(T.D.ReaderThread.joinable());
    EXPECT_FALSE(T.D.PortHandle);
    EXPECT_FALSE(Com1().IsOpen());
}

TEST_F(Detection, StopWakesAReaderInTheMiddleOfAReport) {
    auto far = AttachController(ReportProtocol::TS, 38400);
    ASSERT_NE(DriverInit(T.D), 0u);
    // Two bytes of a five-byte report: the reader waits for the rest.
    Com1().Send({0xA0, 0x01});
    ASSERT_TRUE(WaitUntil([&] { return Com1().BlockedCalls() == 1 && Com1().Pending() == 0; }, 5s));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DriverDeinit(T.D), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(T.D.ReaderThread.joinable());
    EXPECT_EQ(T.D.State.SampleCount, 0);
}

TEST_F(Detection, WithoutAControllerTheDriverServesItsLoadValues) {
    SetDword(u"CalibrationX1", 33);
    SetDword(u"FeedbackSound", 4);
    uint32_t context = DriverInit(T.D);
    EXPECT_NE(context, 0u);
    EXPECT_FALSE(T.D.ReaderThread.joinable());
    EXPECT_EQ(T.D.State.CalibrationX1, 0);
    EXPECT_EQ(T.D.State.SpanX2, 512);
    EXPECT_EQ(T.D.State.FeedbackSound, 1u);
    EXPECT_EQ(DriverDeinit(T.D), 1u);
}

// Every row of the rate table, for both kinds of controller. A TS controller
// strapped to a rate without a signature wait still announces itself when
// RTS comes on; the EL probe that follows reads those bytes as an answer, so
// the walk takes it for an EL controller there.
struct RateCase {
    ReportProtocol Protocol;
    uint32_t Rate;
    bool Found;
    ReportProtocol FoundAs;
};

class DetectionRates : public Detection, public ::testing::WithParamInterface<RateCase> {};

TEST_P(DetectionRates, ControllerIsFoundWhereTheTableLooks) {
    const RateCase c = GetParam();
    auto far = AttachController(c.Protocol, c.Rate);
    const uint32_t result = DetectController(T.D);
    ASSERT_EQ(result != 0, c.Found);
    if (!c.Found) {
        EXPECT_FALSE(Com1().IsOpen());
        return;
    }
    EXPECT_EQ(T.D.State.Protocol.Load(), c.FoundAs);
    const std::string tag = c.FoundAs == ReportProtocol::EL ? "[EL]" : "[TS]";
    EXPECT_TRUE(Printed("ORVEXSER: TouchScreen found on COM1: " + std::to_string(c.Rate) + "BPS, " +
                        tag + "\r\n"));
    EXPECT_EQ(Com1().CommState().BaudRate, c.Rate);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DetectionRates,
    ::testing::Values(RateCase{ReportProtocol::TS, 38400, true, ReportProtocol::TS},
                      RateCase{ReportProtocol::TS, 9600, true, ReportProtocol::TS},
                      RateCase{ReportProtocol::TS, 19200, true, ReportProtocol::TS},
                      RateCase{ReportProtocol::TS, 4800, true, ReportProtocol::EL},
                      RateCase{ReportProtocol::TS, 2400, true, ReportProtocol::EL},
                      RateCase{ReportProtocol::TS, 1200, true, ReportProtocol::EL},
                      RateCase{ReportProtocol::EL, 38400, false, ReportProtocol::EL},
                      RateCase{ReportProtocol::EL, 9600, true, ReportProtocol::EL},
                      RateCase{ReportProtocol::EL, 19200, true, ReportProtocol::EL},
                      RateCase{ReportProtocol::EL, 4800, true, ReportProtocol::EL},
                      RateCase{ReportProtocol::EL, 2400, true, ReportProtocol::EL},
                      RateCase{ReportProtocol::EL, 1200, true, ReportProtocol::EL}));

}  // namespace

// ---- on a line that keeps time

// Each byte takes 10 bits at the line's rate, and a controller answers only
// after the command has crossed the wire, the way a real line behaves and a
// pseudo-terminal does not.
class TimedDetection : public Detection,
                       public ::testing::WithParamInterface<std::pair<ReportProtocol, uint32_t>> {};

TEST_P(TimedDetection, EveryRateIsFoundAndAnElControllerGetsAllThreeCommands) {
    const auto [protocol, rate] = GetParam();
    auto far = AttachController(protocol, rate);
    Com1().KeepLineTime(T.Timers);
    ASSERT_NE(DetectController(T.D), 0u);
    const bool el = protocol == ReportProtocol::EL;
    EXPECT_EQ(T.D.State.Protocol.Load(), protocol);
    EXPECT_TRUE(Printed("ORVEXSER: TouchScreen found on COM1: " + std::to_string(rate) + "BPS, " +
                        (el ? "[EL]" : "[TS]") + "\r\n"));
    EXPECT_EQ(Com1().CommState().BaudRate, rate);
    if (el) {
        EXPECT_EQ(far->Controller.Count().Acks, 3u);
        auto written = Com1().Written();
        const std::vector<uint8_t> third = {0x55, 0x54, 0x4B, 0x34, 0x38,
                                            0x31, 0x37, 0x4D, 0xFF, 0xBE};
        ASSERT_GE(written.size(), 10u);
        EXPECT_TRUE(std::equal(third.begin(), third.end(), written.end() - 10));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, TimedDetection,
    ::testing::Values(std::pair{ReportProtocol::EL, 9600u}, std::pair{ReportProtocol::EL, 19200u},
                      std::pair{ReportProtocol::EL, 4800u}, std::pair{ReportProtocol::EL, 2400u},
                      std::pair{ReportProtocol::EL, 1200u}, std::pair{ReportProtocol::TS, 38400u},
                      std::pair{ReportProtocol::TS, 9600u}, std::pair{ReportProtocol::TS, 19200u}),
    [](const auto& info) {
        return std::string(info.param.first == ReportProtocol::EL ? "EL" : "TS") +
               std::to_string(info.param.second);
    });

TEST_F(Detection, OnATimedLineNobodyAnsweringIsGivenUpOnInTime) {
    Com1().KeepLineTime(T.Timers);
    const uint64_t start = T.Timers.NowMicroseconds();
    EXPECT_EQ(DetectController(T.D), 0u);
    const uint64_t took = T.Timers.NowMicroseconds() - start;
    EXPECT_TRUE(
        Printed("ORVEXSER: No TouchScreen found. Returning serial port to original status.\r\n"));
    // The sleeps alone are 6 x 160 ms; the reads' allowances add what a real
    // line needs, and no more than start-up can afford.
    EXPECT_GE(took, 960'000u);
    EXPECT_LE(took, 1'800'000u);
}

// ---- recovery

TEST_F(Detection, RecoveryBacksOffOnASilentPortAndPrintsOnlyTheWalkThatFinds) {
    auto far = AttachController(ReportProtocol::TS, 9600);
    ASSERT_NE(DriverInit(T.D), 0u);
    // Cleared first: the reader may report the loss before Unplug returns.
    T.Debug.Clear();
    // The controller goes quiet behind a port that stays: unplugged and at
    // once plugged in again, with nothing answering any more.
    Com1().Attach(nullptr);
    Com1().Unplug();
    Com1().Plug();

    // The pause recovery waits before its next look, once it waits.
    auto nextPauseMs = [&] {
        if (!WaitUntil([&] { return T.Timers.PendingTimers() == 1; }, 10s))
            return uint64_t{0};
        return (*T.Timers.NextDueMicroseconds() - T.Timers.NowMicroseconds()) / 1000;
    };
    EXPECT_EQ(nextPauseMs(), 100u) << "the first look comes soon";
    for (uint64_t expected : {5000, 10000, 20000, 40000, 60000, 60000}) {
        const uint32_t opens = Com1().OpenCount();
        T.Timers.Advance(nextPauseMs());
        ASSERT_TRUE(WaitUntil([&] { return Com1().OpenCount() >= opens + 2; }, 10s));
        EXPECT_EQ(nextPauseMs(), expected) << "after a fruitless walk";
    }
    auto count = [&](const std::string& prefix) {
        size_t n = 0;
        for (const auto& l : Lines())
            n += l.rfind(prefix, 0) == 0;
        return n;
    };
    EXPECT_EQ(count("ORVEXSER: Lost connection"), 1u);
    EXPECT_EQ(Lines().size(), 1u) << "fruitless walks print nothing";

    far = AttachController(ReportProtocol::TS, 9600);
    T.Timers.Advance(nextPauseMs());
    ASSERT_TRUE(WaitUntil([&] { return count("ORVEXSER: Touch controller is back") == 1; }, 10s));
    EXPECT_EQ(count("ORVEXSER: Detecting [TS] device on COM1..."), 1u);
    EXPECT_EQ(count("ORVEXSER: TouchScreen found on COM1: 9600BPS, [TS]"), 1u);
    EXPECT_EQ(count("ORVEXSER: No TouchScreen found"), 0u);
    EXPECT_EQ(DriverDeinit(T.D), 1u);
}
