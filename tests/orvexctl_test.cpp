// orvexctl end to end against a stand-in device: a socket at the device's
// place that speaks the device protocol and answers like a driver would, so
// the exact bytes orvexctl sends and the exact text it prints can be checked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/orvex.h"
#include "device/wire.h"
#include "support/process.h"
#include "support/temp_root.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;

struct Call {
    uint32_t Code;
    bool Aliased;
    std::vector<uint8_t> In, Out;  // with Aliased: the one buffer in Out
};

struct Answer {
    uint32_t Result = 1;
    uint32_t Error = 0;
    std::vector<uint8_t> Out;  // the output buffer after the call
    bool Hangup = false;       // close the connection instead
};

class FakeDevice {
  public:
    using Handler = std::function<Answer(const Call&)>;

    FakeDevice(const std::string& root, Handler handler) : Handler_(std::move(handler)) {
        std::filesystem::create_directories(root + "/dev");
        Listen_ = devwire::UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, (root + "/dev/ORX1").c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::bind(Listen_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(Listen_.Get(), 4), 0);
        Thread_ = std::thread([this] { Serve(); });
    }
    ~FakeDevice() {
        Stopping_ = true;
        ::shutdown(Listen_.Get(), SHUT_RDWR);
        Thread_.join();
    }

    std::vector<Call> Calls() {
        std::lock_guard g(Lock_);
        return Calls_;
    }
    int Connections() const { return Connections_.load(); }

  private:
    void Serve() {
        while (!Stopping_) {
            devwire::UniqueFd c(::accept4(Listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!c)
                return;
            ++Connections_;
            auto hello = devwire::EncodeHello(0);
            if (!devwire::SendPacket(c.Get(), hello))
                continue;
            std::vector<uint8_t> packet(devwire::MaxRequestSize + 1);
            for (;;) {
                ptrdiff_t n = devwire::ReceivePacket(c.Get(), packet);
                if (n <= 0)
                    break;
                auto req = devwire::ParseRequest(std::span(packet).first(static_cast<size_t>(n)));
                if (!req)
                    break;
                Call call{req->Code,
                          req->Has(devwire::FlagAliased),
                          {req->In.begin(), req->In.end()},
                          {req->Out.begin(), req->Out.end()}};
                {
                    std::lock_guard g(Lock_);
                    Calls_.push_back(call);
                }
                Answer a = Handler_(call);
                if (a.Hangup)
                    break;
                a.Out.resize(req->Has(devwire::FlagOut) ? req->OutSize : 0);
                if (!devwire::SendPacket(c.Get(),
                                         devwire::EncodeReply(a.Result, a.Error, 0, a.Out)))
                    break;
            }
        }
    }

    Handler Handler_;
    devwire::UniqueFd Listen_;
    std::thread Thread_;
    std::atomic<bool> Stopping_{false};
    std::atomic<int> Connections_{0};
    std::mutex Lock_;
    std::vector<Call> Calls_;
};

struct CtlRun {
    int Status = -1;
    std::string Out, Err;
};

class OrvexctlTest : public ::testing::Test {
  protected:
    bool Start(test::ChildProcess& p, std::vector<std::string> args) {
        args.insert(args.begin(), {test::BinaryPath("orvexctl"), "--root", Root});
        return p.Start(args, Root + "/out", Root + "/err");
    }
    CtlRun Ctl(std::vector<std::string> args) {
        test::ChildProcess p;
        CtlRun r;
        if (!Start(p, std::move(args)))
            return r;
        r.Status = p.Wait(20s).value_or(-1);
        r.Out = test::ReadWholeFile(Root + "/out");
        r.Err = test::ReadWholeFile(Root + "/err");
        return r;
    }

    test::TempRoot Tmp;
    std::string Root = Tmp.Path();
};

// A driver's answer to GET_SETTINGS: the record written over the caller's
// buffer, whose reserved bytes it leaves alone.
std::vector<uint8_t> SettingsInto(std::vector<uint8_t> buffer, const TouchSettings& s) {
    buffer.resize(TouchSettings::Size);
    s.Encode(std::span<uint8_t, TouchSettings::Size>(buffer.data(), TouchSettings::Size));
    return buffer;
}

// ---- the device is not there, or the command line is wrong

TEST_F(OrvexctlTest, MissingDeviceIsAClearFailure) {
    CtlRun r = Ctl({"settings"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err, "orvexctl: cannot open ORX1: (no device socket at " + Root +
                         "/dev/ORX1; is orvex-devmgr running?)\n");
    EXPECT_EQ(r.Out, "");
}

TEST_F(OrvexctlTest, BadCommandLinesNeverReachTheDevice) {
    FakeDevice dev(Root, [](const Call&) { return Answer{}; });
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"set-feedback", "1", "2"},
        {"set-feedback", "1", "2", "65536"},
        {"set-feedback", "256", "2", "3"},
        {"set-calibration", "0", "511", "1023", "0", "511", "1023"},
        {"set-calibration", "0", "511", "1023", "0", "511", "1023", "-1"},
        {"ioctl"},
        {"ioctl", "0x1G"},
        {"ioctl", "12", "--in", "0"},
        {"ioctl", "12", "--in", "zz"},
        {"ioctl", "12", "--buf", "00", "--out", "00"},
        {"right-click", "--pending", "1"},
        {"right-click", "--window", "0x100000000"},
        {"pointer", "--window", "1"},
        {"startup", "--follow"},
        {"raw", "extra"},
        {"raw", "--bogus"},
    };
    for (const auto& args : bad) {
        CtlRun r = Ctl(args);
        std::string line;
        for (const auto& a : args)
            line += a + " ";
        EXPECT_EQ(r.Status, 2) << line;
        EXPECT_NE(r.Err.find("usage: orvexctl"), std::string::npos) << line << r.Err;
    }
    EXPECT_EQ(dev.Connections(), 0);
}

// ---- the raw control call

TEST_F(OrvexctlTest, IoctlWithOneBufferPrintsResultErrorAndTheBufferAfter) {
    FakeDevice dev(Root, [](const Call&) {
        return Answer{1, 0, {0x01, 0x02, 0x03, 0x04, 0xAA, 0x00, 0xFE, 0xFF}};
    });
    CtlRun r = Ctl({"ioctl", "0xFFFF3010", "--buf", "0000000000000000"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "result=1 error=0\nout=01020304aa00feff\n");
    auto calls = dev.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Code, IOCTL_ORX_GET_RAW_POINT);
    EXPECT_TRUE(calls[0].Aliased);
    EXPECT_EQ(calls[0].Out, std::vector<uint8_t>(8, 0));
}

TEST_F(OrvexctlTest, IoctlWithSeparateBuffersAndADecimalCode) {
    FakeDevice dev(Root, [](const Call&) { return Answer{0, 87, {0xC0, 0xDE}}; });
    CtlRun r = Ctl({"ioctl", "4294914068", "--in", "A1b2", "--out=0000"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "result=0 error=87\nout=c0de\n");
    auto calls = dev.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Code, 0xFFFF3014u);
    EXPECT_FALSE(calls[0].Aliased);
    EXPECT_EQ(calls[0].In, (std::vector<uint8_t>{0xA1, 0xB2}));
    EXPECT_EQ(calls[0].Out, (std::vector<uint8_t>{0, 0}));
}

TEST_F(OrvexctlTest, IoctlWithoutBuffersShowsAnEmptyOutput) {
    FakeDevice dev(Root, [](const Call&) { return Answer{0, 0, {}}; });
    CtlRun r = Ctl({"ioctl", "0"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "result=0 error=0\nout=\n");
}

// ---- the setters, done as the programs do them

TEST_F(OrvexctlTest, SetFeedbackSendsAFreshBlockWithOnlyTheFeedbackFields) {
    TouchSettings state;
    FakeDevice dev(Root, [&](const Call& c) {
        if (c.Code == IOCTL_ORX_SET_FEEDBACK) {
            // The driver reads this code's record from the output side.
            auto got = TouchSettings::Decode(
                std::span<const uint8_t, TouchSettings::Size>(c.Out.data(), TouchSettings::Size));
            state.FeedbackSound = got.FeedbackSound;
            state.FeedbackTone = got.FeedbackTone;
            state.FeedbackDuration = got.FeedbackDuration;
            return Answer{1, 0, c.Out};
        }
        return Answer{1, 0, SettingsInto(c.Out, state)};
    });
    CtlRun r = Ctl({"set-feedback", "4", "0x3E8", "5"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    auto calls = dev.Calls();
    ASSERT_GE(calls.size(), 1u);
    EXPECT_EQ(calls[0].Code, IOCTL_ORX_SET_FEEDBACK);
    EXPECT_TRUE(calls[0].Aliased);
    std::vector<uint8_t> want(TouchSettings::Size, 0);
    want[0x29] = 4;
    want[0x2A] = 0xE8;
    want[0x2B] = 0x03;
    want[0x2C] = 5;
    EXPECT_EQ(calls[0].Out, want);
    EXPECT_NE(r.Out.find("FeedbackTone       1000"), std::string::npos) << r.Out;
}

TEST_F(OrvexctlTest, SetCalibrationReplacesOnlyTheCalibrationBlockOfTheDriversRecord) {
    TouchSettings state;
    state.FeedbackSound = 3;
    state.Protocol = WireValue(ReportProtocol::EL);
    FakeDevice dev(Root, [&](const Call& c) {
        if (c.Code == IOCTL_ORX_SET_CALIBRATION) {
            auto got = TouchSettings::Decode(
                std::span<const uint8_t, TouchSettings::Size>(c.Out.data(), TouchSettings::Size));
            state.CalibrationX1 = got.CalibrationX1;
            state.CalibrationX2 = got.CalibrationX2;
            state.CalibrationX3 = got.CalibrationX3;
            state.CalibrationY1 = got.CalibrationY1;
            state.CalibrationY2 = got.CalibrationY2;
            state.CalibrationY3 = got.CalibrationY3;
            state.PanelDirection = got.PanelDirection;
            return Answer{1, 0, c.Out};
        }
        auto out = SettingsInto(c.Out, state);
        return Answer{1, 0, out};
    });
    CtlRun r = Ctl({"set-calibration", "100", "500", "900", "110", "520", "0x3A0", "6"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "installed X 100 500 900, Y 110 520 928, PanelDirection 6\n");
    auto calls = dev.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].Code, IOCTL_ORX_GET_SETTINGS);
    EXPECT_EQ(calls[1].Code, IOCTL_ORX_SET_CALIBRATION);
    EXPECT_TRUE(calls[1].Aliased);
    // The record sent is the one the driver returned, calibration block aside.
    TouchSettings before;
    before.FeedbackSound = 3;
    before.Protocol = WireValue(ReportProtocol::EL);
    std::vector<uint8_t> want = SettingsInto(calls[0].Out, before);
    TouchSettings cal;
    cal.CalibrationX1 = 100;
    cal.CalibrationX2 = 500;
    cal.CalibrationX3 = 900;
    cal.CalibrationY1 = 110;
    cal.CalibrationY2 = 520;
    cal.CalibrationY3 = 928;
    cal.PanelDirection = 6;
    cal.EncodeCalibration(
        std::span<uint8_t, TouchSettings::Size>(want.data(), TouchSettings::Size));
    EXPECT_EQ(calls[1].Out, want);
}

TEST_F(OrvexctlTest, SetCalibrationReportsADriverThatFellBackToItsDefaults) {
    TouchSettings state;
    FakeDevice dev(Root, [&](const Call& c) {
        if (c.Code == IOCTL_ORX_SET_CALIBRATION)
            return Answer{1, 0, c.Out};  // keeps defaults
        return Answer{1, 0, SettingsInto(c.Out, state)};
    });
    CtlRun r = Ctl({"set-calibration", "100", "99", "900", "0", "511", "1023", "7"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "installed X 0 511 1023, Y 0 511 1023, PanelDirection 0\n");
    EXPECT_NE(r.Err.find("did not take"), std::string::npos) << r.Err;
}

TEST_F(OrvexctlTest, RightClickSendsTheRequestAndShowsTheDriversView) {
    std::array<uint8_t, RightClickRequest::Size> held{};
    FakeDevice dev(Root, [&](const Call& c) {
        if (c.Code == IOCTL_ORX_SET_RIGHT_CLICK) {
            std::copy_n(c.Out.begin(), held.size(), held.begin());
            return Answer{1, 0, c.Out};
        }
        return Answer{1, 0, {held.begin(), held.end()}};
    });
    CtlRun r = Ctl({"right-click", "--window", "0x1234"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Window=0x00001234 Pending=1\n");
    auto calls = dev.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Code, IOCTL_ORX_SET_RIGHT_CLICK);
    EXPECT_EQ(calls[0].Out, (std::vector<uint8_t>{0x34, 0x12, 0, 0, 1, 0}));
    EXPECT_EQ(calls[1].Code, IOCTL_ORX_GET_RIGHT_CLICK);
}

// ---- the readers

TEST_F(OrvexctlTest, SettingsAreShownOneFieldPerLine) {
    TouchSettings state;
    state.PanelDirection = 5;
    FakeDevice dev(Root, [&](const Call& c) { return Answer{1, 0, SettingsInto(c.Out, state)}; });
    CtlRun r = Ctl({"settings"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out,
              "ClickMode          4 (button held while touched)\n"
              "FeedbackSound      1 (never)\n"
              "FeedbackTone       2000 (597 Hz)\n"
              "FeedbackDuration   1 (10 ms)\n"
              "RightClickArmed    0\n"
              "CalibrationX1      0\n"
              "CalibrationX2      511\n"
              "CalibrationX3      1023\n"
              "CalibrationY1      0\n"
              "CalibrationY2      511\n"
              "CalibrationY3      1023\n"
              "PanelDirection     5 (swap X and Y, mirror X)\n"
              "Protocol           0 (5-byte reports)\n");
}

TEST_F(OrvexctlTest, StartupIsSentWithoutBuffersAndItsFalseIsNoFailure) {
    FakeDevice dev(Root, [](const Call&) { return Answer{0, 0, {}}; });
    CtlRun r = Ctl({"startup"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    auto calls = dev.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Code, IOCTL_ORX_STARTUP);
    EXPECT_TRUE(calls[0].In.empty());
    EXPECT_TRUE(calls[0].Out.empty());
}

TEST_F(OrvexctlTest, FollowPrintsEachNewSampleOnceAndEndsCleanlyOnCtrlC) {
    std::atomic<int> polls{0};
    FakeDevice dev(Root, [&](const Call&) {
        // A new sample every tenth poll, three in all, then quiet.
        int n = std::min(polls++ / 10, 2);
        RawPoint p{static_cast<uint16_t>(100 + n), 200, static_cast<uint8_t>(n == 2 ? 0 : 8),
                   static_cast<uint16_t>(n + 1)};
        std::vector<uint8_t> out(RawPoint::Size);
        p.Encode(std::span<uint8_t, RawPoint::Size>(out.data(), RawPoint::Size));
        return Answer{1, 0, out};
    });
    test::ChildProcess p;
    ASSERT_TRUE(Start(p, {"raw", "--follow"}));
    // Let it poll well past the last change.
    ASSERT_TRUE(test::WaitUntil([&] { return polls.load() > 60; }, 20s));
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(20s), std::optional<int>(0));
    EXPECT_EQ(test::ReadWholeFile(Root + "/out"),
              "X=100 Y=200 Touch=8 (touched) SampleCount=1\n"
              "X=101 Y=200 Touch=8 (touched) SampleCount=2\n"
              "X=102 Y=200 Touch=0 (not touched) SampleCount=3\n");
}

TEST_F(OrvexctlTest, ALostDeviceEndsWithAnError) {
    FakeDevice dev(Root, [](const Call&) {
        Answer a;
        a.Hangup = true;
        return a;
    });
    CtlRun r = Ctl({"pointer", "--follow"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err,
              "orvexctl: IOCTL_ORX_GET_POINTER failed: the device host closed the connection\n");
}

}  // namespace
}  // namespace orvex
