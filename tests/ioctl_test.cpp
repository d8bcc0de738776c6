// The control codes, record by record, on a driver that runs on test doubles
// and a real registry in a temporary root.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/orvex.h"
#include "driver/driver.h"
#include "platform/testing/input-recording.h"
#include "platform/testing/launcher-recording.h"
#include "platform/testing/portbus-sim.h"
#include "platform/testing/timer-manual.h"
#include "support/failing_registry.h"
#include "support/regdata.h"
#include "support/temp_root.h"

using namespace orvex;

namespace {

class IoControl : public ::testing::Test {
  protected:
    void SetUp() override {
        Root = Tmp.Path();
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root, &error);
        ASSERT_TRUE(Reg) << error;
        RegKey key;
        ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, DriverKeyPath, &key), 0u);
        Reg->CloseKey(key);
        Sys.Debug = &Debug;
        Sys.Pointer = &Pointer;
        Sys.Ports = &Ports;
        Sys.Timers = &Timers;
        Sys.Programs = &Programs;
        Sys.Reg = Reg.get();
        D = std::make_unique<Driver>(Sys);
    }
    void TearDown() override {
        D.reset();
        Reg.reset();
    }

    uint32_t Call(uint32_t code, std::span<uint8_t> buf, uint32_t* returned = nullptr) {
        // One buffer as both input and output, the way the system's programs call.
        return DriverIoControl(*D, code, buf.data(), static_cast<uint32_t>(buf.size()), buf.data(),
                               static_cast<uint32_t>(buf.size()), returned);
    }

    uint32_t RegistryDword(const char16_t* name) {
        const auto value = test::GetDword(*Reg, DriverKeyPath, name);
        EXPECT_TRUE(value) << "value missing";
        return value.value_or(0);
    }

    test::TempRoot Tmp;
    std::string Root;
    std::unique_ptr<Registry> Reg;
    CaptureDebugOutput Debug;
    RecordingInput Pointer;
    ManualTimerService Timers;
    SimulatedPortBus Ports{&Timers};
    RecordingLauncher Programs;
    Platform Sys;
    std::unique_ptr<Driver> D;
};

TEST_F(IoControl, SettingsOfAFreshDriverKeepTheCallersReservedBytes) {
    std::array<uint8_t, TouchSettings::Size> buf;
    buf.fill(0x5A);
    uint32_t returned = 0;
    ASSERT_EQ(Call(IOCTL_ORX_GET_SETTINGS, buf, &returned), 1u);
    EXPECT_EQ(returned, TouchSettings::Size);
    const uint8_t feedback[] = {0x04, 0x01, 0xD0, 0x07, 0x01, 0x00};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(buf[0x28 + i], feedback[i]) << i;
    const uint16_t calibration[] = {0, 511, 1023, 0, 511, 1023};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(GetU16(buf, 0x3A + 2 * i), calibration[i]);
    EXPECT_EQ(buf[0x46], 0);
    EXPECT_EQ(buf[0x47], 0);
    EXPECT_EQ(GetU16(buf, 0x48), 640);
    EXPECT_EQ(GetU16(buf, 0x4A), 480);
    for (size_t at = 0x07; at <= 0x27; at += 4)
        EXPECT_EQ(buf[at], 0x5A) << at;
    for (size_t at = 0x36; at <= 0x39; ++at)
        EXPECT_EQ(buf[at], 0x5A) << at;
}

TEST_F(IoControl, CalibrationIsInstalledSavedAndFlushed) {
    std::array<uint8_t, TouchSettings::Size> buf{};
    ASSERT_EQ(Call(IOCTL_ORX_GET_SETTINGS, buf), 1u);
    TouchSettings t = TouchSettings::Decode(buf);
    t.CalibrationX1 = 100;
    t.CalibrationX2 = 100;
    t.CalibrationX3 = 900;
    t.CalibrationY1 = 40;
    t.CalibrationY2 = 500;
    t.CalibrationY3 = 980;
    t.PanelDirection = 7;
    t.EncodeCalibration(buf);
    ASSERT_EQ(Call(IOCTL_ORX_SET_CALIBRATION, buf), 1u);

    EXPECT_EQ(D->State.SpanX1, 1);  // a span of 1 is accepted
    EXPECT_EQ(D->State.SpanX2, 801);
    std::array<uint8_t, TouchSettings::Size> again{};
    ASSERT_EQ(Call(IOCTL_ORX_GET_SETTINGS, again), 1u);
    EXPECT_EQ(again[0x46], 7);
    EXPECT_EQ(GetU16(again, 0x42), 500);
    EXPECT_EQ(RegistryDword(u"PanelDirection"), 7u);
    EXPECT_EQ(RegistryDword(u"CalibrationX3"), 900u);
    EXPECT_EQ(RegistryDword(u"CalibrationY1"), 40u);
}

TEST_F(IoControl, AFloodOfCalibrationsIsSyncedAtMostOnceASecondAndNeverLater) {
    test::FailingRegistry counting(*Reg);
    Sys.Reg = &counting;
    std::array<uint8_t, TouchSettings::Size> buf{};
    ASSERT_EQ(Call(IOCTL_ORX_GET_SETTINGS, buf), 1u);
    auto save = [&](uint16_t x1) {
        TouchSettings t = TouchSettings::Decode(buf);
        t.CalibrationX1 = x1;
        t.EncodeCalibration(buf);
        ASSERT_EQ(Call(IOCTL_ORX_SET_CALIBRATION, buf), 1u);
        EXPECT_EQ(RegistryDword(u"CalibrationX1"), x1);  // committed when the call returns
    };
    save(1);
    EXPECT_EQ(counting.Flushes(), 1);  // the first at once
    for (uint16_t i = 2; i < 50; ++i) {
        Timers.Advance(10);
        save(i);
    }
    EXPECT_EQ(counting.Flushes(), 1);
    Timers.Advance(519);
    EXPECT_EQ(counting.Flushes(), 1);
    Timers.Advance(1);  // one second after the first sync
    EXPECT_EQ(counting.Flushes(), 2);
    Timers.Advance(5000);
    EXPECT_EQ(counting.Flushes(), 2);  // nothing was owed
    save(60);
    EXPECT_EQ(counting.Flushes(), 3);  // a second since the last: at once again
    save(61);
    EXPECT_EQ(counting.Flushes(), 3);
    EXPECT_EQ(DriverDeinit(*D), 1u);  // a stop makes the owed sync
    EXPECT_EQ(counting.Flushes(), 4);
}

TEST_F(IoControl, ACalibrationSaveThatIsNotStoredSaysSoForEachValue) {
    test::FailingRegistry failing(*Reg);
    Sys.Reg = &failing;
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings t;
    t.CalibrationX1 = 10, t.CalibrationX2 = 500, t.CalibrationX3 = 1000;
    t.CalibrationY1 = 20, t.CalibrationY2 = 400, t.CalibrationY3 = 900;
    t.PanelDirection = 3;
    t.EncodeCalibration(buf);
    auto failures = [&] {
        std::vector<std::string> lines;
        for (const auto& l : Debug.Lines())
            if (l.rfind("ORVEXSER: Failed to ", 0) == 0)
                lines.push_back(l);
        Debug.Clear();
        return lines;
    };
    std::vector<std::string> all;
    for (const char* n : {"X1", "X2", "X3", "Y1", "Y2", "Y3"})
        all.push_back(std::string("ORVEXSER: Failed to RegSetCalibration") + n + "\r\n");
    all.push_back("ORVEXSER: Failed to PanelDirection\r\n");

    // The group's final commit fails: nothing was stored, and every value says so once.
    failing.FailCommit = ERROR_GEN_FAILURE;
    failing.FailSet = {u"CalibrationX2"};
    ASSERT_EQ(Call(IOCTL_ORX_SET_CALIBRATION, buf), 1u);  // in force all the same
    EXPECT_EQ(failures(), all);
    EXPECT_EQ(D->State.CalibrationX3, 1000);
    RegKey key;
    ASSERT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, KEY_ALL_ACCESS, &key), 0u);
    uint8_t data[4];
    uint32_t size = 4, type = 0;
    EXPECT_NE(Reg->QueryValue(key, u"CalibrationX1", &type, data, &size), 0u)
        << "nothing of the group stayed";
    Reg->CloseKey(key);

    // A committed group with one failed write names only that value.
    failing.FailCommit = 0;
    failing.FailSet = {u"PanelDirection"};
    ASSERT_EQ(Call(IOCTL_ORX_SET_CALIBRATION, buf), 1u);
    EXPECT_EQ(failures(), std::vector<std::string>{all.back()});
    EXPECT_EQ(RegistryDword(u"CalibrationX3"), 1000u);
}

TEST_F(IoControl, ZeroSpanCalibrationFallsBackAndSavesTheFallback) {
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings t;
    t.CalibrationX1 = 100;
    t.CalibrationX2 = 99;  // one below point 1: a span of 0
    t.CalibrationX3 = 900;
    t.CalibrationY1 = 1;
    t.CalibrationY2 = 2;
    t.CalibrationY3 = 3;
    t.PanelDirection = 5;
    t.EncodeCalibration(buf);
    ASSERT_EQ(Call(IOCTL_ORX_SET_CALIBRATION, buf), 1u);
    EXPECT_EQ(RegistryDword(u"CalibrationX1"), 0u);
    EXPECT_EQ(RegistryDword(u"CalibrationX2"), 511u);
    EXPECT_EQ(RegistryDword(u"CalibrationY3"), 1023u);
    EXPECT_EQ(RegistryDword(u"PanelDirection"), 0u);
    EXPECT_EQ(D->State.SpanY1, 512);
}

TEST_F(IoControl, FeedbackIsReadFromTheOutputBuffer) {
    std::array<uint8_t, TouchSettings::Size> in{}, out{};
    TouchSettings t;
    t.FeedbackSound = 4;
    t.FeedbackTone = 3000;
    t.FeedbackDuration = 3;
    t.EncodeFeedback(in);
    ASSERT_EQ(DriverIoControl(*D, IOCTL_ORX_SET_FEEDBACK, in.data(), in.size(), out.data(),
                              out.size(), nullptr),
              1u);
    EXPECT_EQ(D->State.FeedbackSound, 0u);
    EXPECT_EQ(D->State.FeedbackTone, 0u);
    EXPECT_EQ(D->State.FeedbackDuration, 0u);

    t.FeedbackSound = 9;  // stored as given: never beeps
    t.EncodeFeedback(out);
    ASSERT_EQ(Call(IOCTL_ORX_SET_FEEDBACK, out), 1u);
    EXPECT_EQ(D->State.FeedbackSound, 9u);
    EXPECT_EQ(D->State.FeedbackTone, 3000u);
    EXPECT_EQ(D->State.FeedbackDuration, 3u);
}

TEST_F(IoControl, OneTouchRightClickIsReportedDoneOnce) {
    std::array<uint8_t, RightClickRequest::Size> rc{};
    RightClickRequest{0x1234, 1}.Encode(rc);
    ASSERT_EQ(Call(IOCTL_ORX_SET_RIGHT_CLICK, rc), 1u);

    auto pending = [&] {
        std::array<uint8_t, RightClickRequest::Size> b{};
        EXPECT_EQ(Call(IOCTL_ORX_GET_RIGHT_CLICK, b), 1u);
        return RightClickRequest::Decode(b);
    };
    EXPECT_EQ(pending().Pending, 1);
    EXPECT_EQ(pending().Window, 0x1234u);

    ProcessPoint(*D, 100, 100, 8);
    ProcessPoint(*D, 120, 100, 8);
    EXPECT_EQ(pending().Pending, 1) << "still pending while the touch lasts";
    ProcessPoint(*D, 120, 100, 0);
    EXPECT_EQ(pending().Pending, 0);
    ProcessPoint(*D, 120, 100, 0);

    int posts = 0;
    bool rightDown = false;
    for (const auto& c : Pointer.Calls()) {
        if (c.What == RecordingInput::Call::Post) {
            ++posts;
            EXPECT_EQ(c.A, 0x1234u);
            EXPECT_EQ(c.B, WM_COMMAND);
            EXPECT_EQ(c.C, RightClickDoneCommand);
        } else if (c.A & MOUSEEVENTF_RIGHTDOWN) {
            rightDown = true;
        }
    }
    EXPECT_TRUE(rightDown);
    EXPECT_EQ(posts, 1);

    std::array<uint8_t, TouchSettings::Size> s{};
    ASSERT_EQ(Call(IOCTL_ORX_GET_SETTINGS, s), 1u);
    EXPECT_EQ(s[0x35], 0) << "armed flag is used up";
}

TEST_F(IoControl, PendingOtherThanOneNeverArms) {
    std::array<uint8_t, RightClickRequest::Size> rc{};
    RightClickRequest{0x1234, 2}.Encode(rc);
    ASSERT_EQ(Call(IOCTL_ORX_SET_RIGHT_CLICK, rc), 1u);
    ProcessPoint(*D, 100, 100, 8);
    std::array<uint8_t, RightClickRequest::Size> b{};
    ASSERT_EQ(Call(IOCTL_ORX_GET_RIGHT_CLICK, b), 1u);
    EXPECT_EQ(RightClickRequest::Decode(b).Pending, 2);
    ProcessPoint(*D, 100, 100, 0);
    ASSERT_EQ(Call(IOCTL_ORX_GET_RIGHT_CLICK, b), 1u);
    EXPECT_EQ(RightClickRequest::Decode(b).Pending, 0);
    for (const auto& c : Pointer.Calls()) {
        EXPECT_NE(c.What, RecordingInput::Call::Post);
        if (c.What == RecordingInput::Call::Mouse) {
            EXPECT_EQ(c.A & MOUSEEVENTF_RIGHTDOWN, 0u);
        }
    }
}

TEST_F(IoControl, RawPointAndPointerFollowTheReports) {
    std::array<uint8_t, RawPoint::Size> raw{};
    ASSERT_EQ(Call(IOCTL_ORX_GET_RAW_POINT, raw), 1u);
    EXPECT_EQ(RawPoint::Decode(raw).X, 0xFFFF);
    EXPECT_EQ(RawPoint::Decode(raw).SampleCount, 0);

    ProcessPoint(*D, 2000, 300, 8);
    ASSERT_EQ(Call(IOCTL_ORX_GET_RAW_POINT, raw), 1u);
    auto r = RawPoint::Decode(raw);
    EXPECT_EQ(r.X, 1023);
    EXPECT_EQ(r.Y, 300);
    EXPECT_EQ(r.Touch, 8);
    EXPECT_EQ(raw[5], 0);
    EXPECT_EQ(r.SampleCount, 1);

    std::array<uint8_t, PointerState::Size> ptr{};
    ASSERT_EQ(Call(IOCTL_ORX_GET_POINTER, ptr), 1u);
    EXPECT_EQ(PointerState::Decode(ptr).X, 0xFFFF);  // built-in spans: 1023 maps to the limit
    EXPECT_EQ(PointerState::Decode(ptr).Buttons, 1);
    EXPECT_EQ(ptr[5], 1);

    for (int i = 1; i < 65536; ++i)
        ProcessPoint(*D, 1, 1, 0);
    ASSERT_EQ(Call(IOCTL_ORX_GET_RAW_POINT, raw), 1u);
    EXPECT_EQ(RawPoint::Decode(raw).SampleCount, 0) << "wraps from 65535 to 0";
}

TEST_F(IoControl, UnknownCodesAndBadBuffersFailWithoutSideEffects) {
    std::array<uint8_t, TouchSettings::Size> buf;
    buf.fill(0x11);
    EXPECT_EQ(Call(0xFFFF3014, buf), 0u);
    ASSERT_EQ(Debug.Lines().size(), 1u);
    EXPECT_EQ(Debug.Lines()[0], "ORVEXSER: Error IOCTL Code (0xFFFF3014)\r\n");

    // A buffer one byte short of its record fails and is left alone.
    SetLastError(0);
    uint32_t returned = 77;
    EXPECT_EQ(DriverIoControl(*D, IOCTL_ORX_GET_SETTINGS, nullptr, 0, buf.data(), 81, &returned),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (uint8_t b : buf) {
        ASSERT_EQ(b, 0x11);
    }
    EXPECT_EQ(returned, 77u);

    EXPECT_EQ(DriverIoControl(*D, IOCTL_ORX_SET_CALIBRATION, nullptr, 82, buf.data(), 82, nullptr),
              0u);
    EXPECT_EQ(DriverIoControl(*D, IOCTL_ORX_SET_RIGHT_CLICK, buf.data(), 5, nullptr, 0, nullptr),
              0u);
    EXPECT_EQ(DriverIoControl(*D, IOCTL_ORX_GET_RAW_POINT, nullptr, 0, nullptr, 8, nullptr), 0u);
    EXPECT_EQ(D->State.CalibrationX2, 511);
    EXPECT_EQ(D->State.RightClickPending, 0);
}

TEST_F(IoControl, StartupMapsBeepsAndArmsTheLauncherOnlyForOne) {
    std::array<uint8_t, 8> none{};
    D->State.RunRightButton = 2;
    EXPECT_EQ(Call(IOCTL_ORX_STARTUP, none), 0u);  // FALSE although done
    EXPECT_EQ(Debug.Lines().at(0), "ORVEXSER: Device IO Control Test ... Pass\r\n");
    EXPECT_EQ(D->State.TimerChannel2Port, 0x42u);
    std::vector<uint8_t> divisor;
    for (const auto& a : Ports.Accesses())
        if (a.Write && a.Port == 0x42)
            divisor.push_back(a.Value);
    EXPECT_EQ(divisor, (std::vector<uint8_t>{0xE8, 0x08}));
    EXPECT_EQ(Timers.PendingTimers(), 0u);

    D->State.RunRightButton = 1;
    EXPECT_EQ(Call(IOCTL_ORX_STARTUP, none), 0u);
    EXPECT_EQ(Timers.PendingTimers(), 1u);
    Timers.Advance(1000);
    ASSERT_EQ(Programs.Calls().size(), 1u);
    EXPECT_EQ(Programs.Calls()[0].File, std::u16string(RightButtonHelperPath));
}

}  // namespace
