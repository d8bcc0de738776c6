// The whole road: a simulated controller on a pseudo-terminal, the device
// manager with the real driver module, and a program reading the device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <array>
#include <fstream>

#include "common/orvex.h"
#include "controlpanel/settings.h"
#include "support/system.h"

using namespace orvex;
using namespace orvex::test;
using namespace std::chrono_literals;

namespace {

RawPoint ReadRaw(DeviceHandle& h) {
    std::array<uint8_t, RawPoint::Size> buf{};
    EXPECT_EQ(h.IoControl(IOCTL_ORX_GET_RAW_POINT, buf.data(), buf.size(), buf.data(), buf.size(),
                          nullptr),
              1u);
    return RawPoint::Decode(buf);
}

TouchSettings ReadSettings(DeviceHandle& h) {
    std::array<uint8_t, TouchSettings::Size> buf{};
    EXPECT_EQ(h.IoControl(IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(), buf.size(),
                          nullptr),
              1u);
    return TouchSettings::Decode(buf);
}

void WriteScript(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(EndToEnd, TouchesOnTheWireReachThePointerAndTheDevice) {
    SystemUnderTest sut;
    sut.Configure();
    const std::string script = sut.Root() + "/touches.txt";
    WriteScript(script,
                "# a press, a drag and a release, then quiet\n"
                "wait 300\n"
                "touch 100 200\n"
                "wait 20\n"
                "touch 511 511\n"
                "wait 20\n"
                "lift 511 511\n"
                "wait 20\n");
    ASSERT_TRUE(sut.StartSimulator(
        {"--protocol", "ts", "--rate", "9600", "--wait-detect", "--script", script}));
    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(sut.WaitForDevice(20s)) << sut.HostErr();

    auto h = sut.Open();
    ASSERT_TRUE(h);
    EXPECT_EQ(ReadSettings(*h).Protocol, WireValue(ReportProtocol::TS));
    ASSERT_TRUE(WaitUntil([&] { return ReadRaw(*h).SampleCount >= 3; }, 10s)) << sut.HostErr();
    RawPoint last = ReadRaw(*h);
    EXPECT_EQ(last.X, 511);
    EXPECT_EQ(last.Y, 511);
    EXPECT_EQ(last.Touch, 0);

    std::array<uint8_t, PointerState::Size> ptr{};
    ASSERT_EQ(h->IoControl(IOCTL_ORX_GET_POINTER, ptr.data(), ptr.size(), ptr.data(), ptr.size(),
                           nullptr),
              1u);
    // The registry holds no calibration: the load fallback 0, 512, 1023
    // puts raw 511 just below the middle.
    EXPECT_EQ(PointerState::Decode(ptr).Buttons, 0);

    const std::string err = sut.HostErr();
    EXPECT_NE(err.find("ORVEXSER: TouchScreen found on COM1: 9600BPS, [TS]\r\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("ORVEXSER: Failed to RegGetCalibrationX1\r\n"), std::string::npos);
    // The log backend shows the injected events: a press at the first
    // point, then the drag and the release.
    const std::string out = sut.HostOut();
    EXPECT_NE(out.find("mouse_event(0x8003, "), std::string::npos) << out;
    EXPECT_NE(out.find("mouse_event(0x8004, "), std::string::npos) << out;

    h.reset();
    sut.Host.Signal(SIGTERM);
    auto status = sut.Host.Wait(15s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    struct stat st;
    EXPECT_NE(::stat((sut.Root() + "/dev/ORX1").c_str(), &st), 0) << "socket removed";
}

TEST(EndToEnd, ElControllerIsFoundAndCalibrationSurvivesARestart) {
    SystemUnderTest sut;
    sut.Configure();
    ASSERT_TRUE(sut.StartSimulator({"--protocol", "el", "--rate", "4800"}));
    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(sut.WaitForDevice(20s)) << sut.HostErr();
    {
        auto h = sut.Open();
        ASSERT_TRUE(h);
        EXPECT_EQ(ReadSettings(*h).Protocol, WireValue(ReportProtocol::EL));
        std::array<uint8_t, TouchSettings::Size> buf{};
        ASSERT_EQ(h->IoControl(IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(),
                               buf.size(), nullptr),
                  1u);
        TouchSettings t = TouchSettings::Decode(buf);
        t.CalibrationX1 = 50;
        t.CalibrationX2 = 500;
        t.CalibrationX3 = 950;
        t.PanelDirection = 2;
        t.EncodeCalibration(buf);
        ASSERT_EQ(h->IoControl(IOCTL_ORX_SET_CALIBRATION, buf.data(), buf.size(), buf.data(),
                               buf.size(), nullptr),
                  1u);
    }
    sut.Host.Signal(SIGTERM);
    ASSERT_TRUE(sut.Host.Wait(15s));
    EXPECT_NE(sut.HostErr().find("[EL]"), std::string::npos) << sut.HostErr();

    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(sut.WaitForDevice(20s)) << sut.HostErr();
    auto h = sut.Open();
    ASSERT_TRUE(h);
    TouchSettings t = ReadSettings(*h);
    EXPECT_EQ(t.CalibrationX1, 50);
    EXPECT_EQ(t.CalibrationX2, 500);
    EXPECT_EQ(t.CalibrationX3, 950);
    EXPECT_EQ(t.PanelDirection, 2);
}

// The driver key as another process sees it now: orvexreg export's text.
std::string ExportDriverKey(const SystemUnderTest& sut) {
    ChildProcess reg;
    const std::string out = sut.Root() + "/export.txt";
    if (!reg.Start({BinaryPath("orvexreg"), "export", "Drivers\\BuiltIn\\ORVEXSER"}, out, "",
                   {"ORVEX_ROOT=" + sut.Root()}) ||
        reg.Wait(20s) != 0)
        return "orvexreg export failed";
    return ReadWholeFile(out);
}

std::string DwordLine(const char* name, uint32_t value) {
    char line[64];
    std::snprintf(line, sizeof line, "\"%s\"=dword:%08x", name, value);
    return line;
}

TEST(EndToEnd, EveryChangeIsStoredWhenTheCallThatMadeItReturns) {
    SystemUnderTest sut;
    sut.Configure();
    sut.CloseRegistry();
    ASSERT_TRUE(sut.StartSimulator({"--protocol", "ts", "--rate", "9600"}));
    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(sut.WaitForDevice(20s)) << sut.HostErr();

    // Each calibration is in the store for another process before the next
    // is sent, not only the first one since the host started.
    const uint16_t calibrations[3][4] = {{17, 210, 710, 4}, {300, 400, 800, 2}, {5, 505, 1005, 1}};
    {
        auto h = sut.Open();
        ASSERT_TRUE(h);
        for (const auto& c : calibrations) {
            std::array<uint8_t, TouchSettings::Size> buf{};
            TouchSettings t = ReadSettings(*h);
            t.CalibrationX1 = c[0];
            t.CalibrationX2 = c[1];
            t.CalibrationX3 = c[2];
            t.PanelDirection = c[3];
            t.EncodeCalibration(buf);
            ASSERT_EQ(h->IoControl(IOCTL_ORX_SET_CALIBRATION, buf.data(), buf.size(), buf.data(),
                                   buf.size(), nullptr),
                      1u);
            const std::string text = ExportDriverKey(sut);
            EXPECT_NE(text.find(DwordLine("CalibrationX2", c[1])), std::string::npos) << text;
            EXPECT_NE(text.find(DwordLine("PanelDirection", c[3])), std::string::npos) << text;
        }
    }

    // The settings dialog's save, from a process that keeps its connection
    // while the dialog is open.
    {
        SettingsModel dialog;
        uint32_t error = 0;
        auto reg = OpenSqliteRegistry(sut.Root(), &error);
        ASSERT_TRUE(reg) << error;
        dialog.Reg = reg.get();
        dialog.DriverHandle = sut.Open();
        dialog.Settings.FeedbackSound = 3;
        dialog.Settings.FeedbackTone = 1234;
        SaveSettings(dialog, DriverKeyPath);
        ApplyFeedbackToDriver(dialog);
        const std::string text = ExportDriverKey(sut);
        EXPECT_NE(text.find(DwordLine("FeedbackTone", 1234)), std::string::npos) << text;
    }

    // A host killed outright starts again with the last calibration.
    sut.Host.Signal(SIGKILL);
    ASSERT_TRUE(sut.Host.Wait(10s));
    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(WaitUntil([&] { return sut.Open() != nullptr; }, 20s)) << sut.HostErr();
    auto h = sut.Open();
    ASSERT_TRUE(h);
    const TouchSettings t = ReadSettings(*h);
    EXPECT_EQ(t.CalibrationX1, 5);
    EXPECT_EQ(t.CalibrationX3, 1005);
    EXPECT_EQ(t.PanelDirection, 1);
    EXPECT_EQ(t.FeedbackTone, 1234);
}

TEST(EndToEnd, WithoutAControllerTheDeviceServesLoadValues) {
    SystemUnderTest sut;
    sut.Configure();
    sut.SetDword(DriverKeyPath, u"CalibrationX1", 77);
    sut.SetString(u"Platform\\Serial", u"COM1", sut.Root() + "/no-such-tty");
    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(sut.WaitForDevice(20s)) << sut.HostErr();
    auto h = sut.Open();
    ASSERT_TRUE(h);
    TouchSettings t = ReadSettings(*h);
    EXPECT_EQ(t.CalibrationX1, 0);
    EXPECT_EQ(t.CalibrationX2, 511);
    EXPECT_EQ(ReadRaw(*h).X, 0xFFFF);
    EXPECT_NE(sut.HostErr().find("ORVEXSER: Failed to open COM1: Error 2\r\n"), std::string::npos)
        << sut.HostErr();
}

TEST(EndToEnd, APortThatGoesAwayAndComesBackResumesWithItsSettings) {
    SystemUnderTest sut;
    sut.Configure();
    const std::string script = sut.Root() + "/touches.txt";
    WriteScript(script, "wait 100\ntouch 300 300\nwait 20\nlift 300 300\nwait 300\nrepeat\n");
    ASSERT_TRUE(sut.StartSimulator({"--protocol", "ts", "--rate", "19200", "--wait-detect",
                                    "--script", script, "--reopen-after", "2500"}));
    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(sut.WaitForDevice(20s)) << sut.HostErr();
    auto h = sut.Open();
    ASSERT_TRUE(h);

    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings t = ReadSettings(*h);
    t.FeedbackSound = 4;
    t.FeedbackTone = 1500;
    t.EncodeFeedback(buf);
    ASSERT_EQ(h->IoControl(IOCTL_ORX_SET_FEEDBACK, buf.data(), buf.size(), buf.data(), buf.size(),
                           nullptr),
              1u);
    ASSERT_TRUE(WaitUntil([&] { return ReadRaw(*h).SampleCount > 0; }, 10s)) << sut.HostErr();

    // The simulator drops its terminal and opens a new one behind the link.
    ASSERT_TRUE(
        WaitUntil([&] { return sut.HostErr().find("Lost connection") != std::string::npos; }, 20s))
        << sut.HostErr();
    // While the port is gone the device still answers with its last state.
    EXPECT_EQ(ReadSettings(*h).FeedbackTone, 1500);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::string err = sut.HostErr();
            auto lost = err.find("Lost connection");
            return err.find("TouchScreen found", lost) != std::string::npos;
        },
        30s))
        << sut.HostErr();
    uint16_t before = ReadRaw(*h).SampleCount;
    ASSERT_TRUE(WaitUntil([&] { return ReadRaw(*h).SampleCount != before; }, 10s))
        << "pointer input resumed";
    TouchSettings after = ReadSettings(*h);
    EXPECT_EQ(after.FeedbackSound, 4);
    EXPECT_EQ(after.FeedbackTone, 1500);
}

TEST(EndToEnd, AStopSignalEndsTheHostWithinTwoSecondsEvenDuringABeep) {
    SystemUnderTest sut;
    sut.Configure();
    // Beep on every edge, for a length whose ×10 ×1000 once wrapped to 71
    // minutes on the reader thread.
    sut.SetDword(DriverKeyPath, u"FeedbackSound", 4);
    sut.SetDword(DriverKeyPath, u"FeedbackDuration", 0x0CCCCCCC);
    const std::string script = sut.Root() + "/touches.txt";
    WriteScript(script, "wait 100\ntouch 300 300\nwait 20\nlift 300 300\nwait 100\nrepeat\n");
    ASSERT_TRUE(sut.StartSimulator(
        {"--protocol", "ts", "--rate", "9600", "--wait-detect", "--script", script}));
    ASSERT_TRUE(sut.StartDeviceManager());
    ASSERT_TRUE(sut.WaitForDevice(20s)) << sut.HostErr();
    // The start-up beep sleeps 40 ms; a touch beep is under way once a
    // second sleep has begun.
    auto sleeps = [&] {
        const std::string out = sut.HostOut();
        size_t n = 0;
        for (size_t at = out.find("NdisMSleep("); at != std::string::npos;
             at = out.find("NdisMSleep(", at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return sleeps() >= 2; }, 20s)) << sut.HostOut();
    const auto signalled = std::chrono::steady_clock::now();
    sut.Host.Signal(SIGTERM);
    auto status = sut.Host.Wait(20s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    ASSERT_TRUE(status) << "still running 20 s after SIGTERM";
    EXPECT_EQ(*status, 0) << sut.HostErr();
    EXPECT_LT(took, 2s);
}

}  // namespace
