// The calibration program's logic on the scripted double: whole runs from
// window creation to the post-save command, the arithmetic and the
// direction check on known samples, the countdown, the review's buttons and
// the failure messages.
#include <gtest/gtest.h>

#include <algorithm>

#include "calibrator/calibrator.h"
#include "calibrator/text.h"
#include "common/calibration.h"
#include "platform/testing/launcher-recording.h"
#include "support/calibrator_double.h"
#include "support/regdata.h"
#include "support/temp_root.h"

using namespace orvex;
using namespace orvex::test;

namespace {

// The samples of a panel wired straight, at the four targets of 640 x 480.
constexpr std::array<uint16_t, 4> StraightX = {40, 980, 982, 42};
constexpr std::array<uint16_t, 4> StraightY = {50, 52, 970, 972};
// Where the buttons of a 640 x 480 review are.
constexpr uint32_t SaveX = 230, UndoX = 320, RedoX = 400, ButtonY = 360;

struct Calibrator {
    TempRoot Root;
    std::unique_ptr<Registry> Reg;
    RecordingLauncher Programs;
    CaptureDebugOutput Errors;
    CalibratorState S;
    ScriptedHost Host{S};

    Calibrator() {
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        S.Reg = Reg.get();
        S.Programs = &Programs;
        S.EffectiveUid = 1000;  // a member of the group
        S.Errors = &Errors;
        Host.Driver.Settings.CalibrationX1 = 10;  // the "old" calibration
        Host.Driver.Settings.CalibrationX2 = 500;
        Host.Driver.Settings.CalibrationX3 = 1000;
        Host.Driver.Settings.PanelDirection = 2;
    }
    void SetString(std::u16string_view name, std::u16string value, uint32_t type = REG_SZ) {
        RegKey k;
        Reg->CreateKey(HKEY_LOCAL_MACHINE, DriverKeyPath, &k);
        Reg->SetValue(k, name, type, reinterpret_cast<const uint8_t*>(value.data()),
                      static_cast<uint32_t>(value.size() * 2));
        Reg->CloseKey(k);
    }
    void SetDword(std::u16string_view name, uint32_t v) {
        orvex::test::SetDword(*Reg, DriverKeyPath, name, v);
    }
    void SetSamples(const std::array<uint16_t, 4>& x, const std::array<uint16_t, 4>& y) {
        for (int i = 1; i <= 4; ++i) {
            S.SampleX[i] = x[i - 1];
            S.SampleY[i] = y[i - 1];
        }
    }
    void RunCalibrationOnly() {
        S.DriverHandle = std::make_unique<ScriptedDevice>(Host.Driver);
        PaintWindow(S);
        RunCalibration(S);
    }
    std::vector<std::u16string> Boxes() const {
        std::vector<std::u16string> t;
        for (const auto& b : Host.Boxes)
            t.push_back(b.Caption + u": " + b.Text);
        return t;
    }
};

bool IsOld(const TouchSettings& t) {
    return t.CalibrationX1 == 10 && t.CalibrationX2 == 500 && t.CalibrationX3 == 1000 &&
           t.PanelDirection == 2;
}

// ---- arithmetic and direction

TEST(CalibratorMath, KnownSamplesGiveTheValuesForEveryOrientation) {
    struct Case {
        std::array<uint16_t, 4> X, Y;
        uint8_t Flags;
    };
    const Case cases[] = {
        {StraightX, StraightY, 0},
        {{983, 43, 41, 981}, StraightY, 1},
        {{983, 43, 41, 981}, {973, 971, 53, 51}, 3},
        // The controller's axes exchanged: 00011110 first, then 00101101.
        {StraightY, StraightX, 4},
    };
    for (const auto& c : cases) {
        Calibrator r;
        r.SetSamples(c.X, c.Y);
        ASSERT_EQ(CheckPanelDirection(r.S), 1u) << int(c.Flags);
        EXPECT_EQ(r.S.DirectionFlags, c.Flags);
        if (c.Flags == 4) {
            EXPECT_EQ(r.S.SampleX[1], 40);  // the samples stay exchanged
        }
        ComputeCalibration(r.S);
        EXPECT_EQ((std::vector<uint16_t>{r.S.CalibrationX1, r.S.CalibrationX2, r.S.CalibrationX3,
                                         r.S.CalibrationY1, r.S.CalibrationY2, r.S.CalibrationY3}),
                  (std::vector<uint16_t>{17, 511, 1005, 19, 511, 1003}))
            << int(c.Flags);
    }
}

TEST(CalibratorMath, UnrecognisedPatternsAreReportedWithBothPatterns) {
    Calibrator r;
    char pattern[9];
    r.SetSamples({512, 511, 0, 0}, {0, 0, 0, 0});
    BuildDirectionPattern(r.S, pattern);
    EXPECT_STREQ(pattern, "10000000");
    EXPECT_EQ(MatchDirectionPattern("00101101"), 0);
    EXPECT_EQ(MatchDirectionPattern("11010010"), 3);
    EXPECT_EQ(MatchDirectionPattern("00101100"), 0xFF);

    r.SetSamples({0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF});
    r.S.DirectionFlags = 6;
    EXPECT_EQ(CheckPanelDirection(r.S), 0u);
    EXPECT_EQ(r.S.DirectionFlags, 6);
    ASSERT_EQ(r.Host.Boxes.size(), 1u);
    EXPECT_EQ(r.Host.Boxes[0].Caption, u"Calibration");
    EXPECT_EQ(r.Host.Boxes[0].Text,
              u"Incorrect Panel Direction! ( 11111111 - 11111111 )\nIt may be caused by the "
              u"Pinout of Touch Panel is not supported or touched on incorrect position during "
              u"the calibration.");

    r.SetSamples({1, 2, 3, 4}, {5, 6, 7, 8});
    EXPECT_EQ(CheckPanelDirection(r.S), 0u);
    EXPECT_NE(r.Host.Boxes[1].Text.find(u"( 00000000 - 00000000 )"), std::u16string::npos);
}

// ---- whole runs

TEST(CalibratorRun, SaveInstallsOnceAndRunsTheCommand) {
    Calibrator r;
    r.SetString(u"Version", u"6.0.1.1");
    r.SetString(u"OemRunWhenCalOK", std::u16string(u"\\Windows\\after.exe  -x \"a b\"") + u'\0');
    ReadDriverVersion(r.S);
    EXPECT_EQ(r.S.VersionText, u"ORVEX Version 6.0.1.1");
    r.Host.Targets(StraightX, StraightY).Tap(SaveX, ButtonY);
    r.Host.RunProgram();

    EXPECT_FALSE(r.Host.Exhausted);
    EXPECT_EQ(r.Host.OpenedName, u"ORX1:");
    EXPECT_TRUE(r.Host.Destroyed);
    EXPECT_TRUE(r.Host.Quit);
    EXPECT_FALSE(r.S.DriverHandle);
    EXPECT_EQ(r.Host.Beeps, 4);
    ASSERT_EQ(r.Host.Driver.CalibrationsSent.size(), 1u);
    const TouchSettings& t = r.Host.Driver.CalibrationsSent[0];
    EXPECT_EQ(t.CalibrationX1, 17);
    EXPECT_EQ(t.CalibrationX3, 1005);
    EXPECT_EQ(t.CalibrationY3, 1003);
    EXPECT_EQ(t.PanelDirection, 0);
    EXPECT_EQ(r.S.CalibrationSaved, 1);
    ASSERT_EQ(r.Programs.Calls().size(), 1u);
    EXPECT_EQ(r.Programs.Calls()[0].File, u"\\Windows\\after.exe");
    EXPECT_EQ(r.Programs.Calls()[0].Parameters, u" -x \"a b\"");
    EXPECT_EQ(r.Programs.Calls()[0].Show, 1);

    // The crosses were drawn at the four corners, 16 pixels in.
    std::vector<Rect> lines;
    for (const auto& op : r.Host.Paint.Ops)
        if (op.What == DrawOp::Line)
            lines.push_back(op.Area);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], (Rect{16, 2, 16, 30}));
    EXPECT_EQ(lines[3], (Rect{610, 16, 638, 16}));
    EXPECT_EQ(lines[4], (Rect{624, 450, 624, 478}));
    EXPECT_EQ(lines[7], (Rect{2, 464, 30, 464}));
}

TEST(CalibratorRun, TimeOutRedoesWithTheSameTargetsAndEscUndoes) {
    Calibrator r;
    r.Host.Targets(StraightX, StraightY).Ticks(31);
    r.Host.Targets(StraightX, StraightY).Key(VK_ESCAPE);
    r.RunCalibrationOnly();

    EXPECT_FALSE(r.Host.Exhausted);
    const auto& sent = r.Host.Driver.CalibrationsSent;
    ASSERT_EQ(sent.size(), 4u);  // new, old (REDO), new, old (UNDO)
    EXPECT_FALSE(IsOld(sent[0]));
    EXPECT_TRUE(IsOld(sent[1]));
    EXPECT_FALSE(IsOld(sent[2]));
    EXPECT_TRUE(IsOld(sent[3]));
    EXPECT_EQ(r.S.CalibrationSaved, 0);
    EXPECT_TRUE(r.Programs.Calls().empty());
    // The countdown read down to 0 with the review's wording.
    const auto texts = r.Host.Paint.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), u"( automatic re-calibrate after 0 seconds )"),
              texts.end());
    // Both passes drew their targets in the same places.
    std::vector<Rect> saved;
    for (const auto& op : r.Host.Paint.Ops)
        if (op.What == DrawOp::SaveSquare)
            saved.push_back(op.Area);
    ASSERT_EQ(saved.size(), 8u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 4, saved.begin() + 4));
}

TEST(CalibratorRun, AFingerThatNeverLiftsIsLeftWithEscOrByTheCountdown) {
    {
        // Held on target 4: ESC ends the run before anything is installed.
        Calibrator r;
        r.Host.Touch(40, 50).Lift().Touch(980, 52).Lift().Touch(982, 970).Lift();
        r.Host.Touch(42, 972).Key(VK_ESCAPE);
        r.RunCalibrationOnly();
        EXPECT_FALSE(r.Host.Exhausted);
        EXPECT_EQ(r.Host.Beeps, 4);
        EXPECT_TRUE(r.Host.Driver.CalibrationsSent.empty());
        EXPECT_EQ(r.S.CalibrationSaved, 0);
    }
    {
        // Held on target 1: the countdown runs out as in the other waits.
        Calibrator r;
        r.Host.Touch(40, 50).Ticks(30).Do([&r] {
            EXPECT_EQ(r.Host.Paint.Texts().back(), u"( automatic exit after 0 seconds )");
            EXPECT_EQ(r.S.CountdownExpired, 0);
        });
        r.Host.Ticks(1);
        r.RunCalibrationOnly();
        EXPECT_FALSE(r.Host.Exhausted);
        EXPECT_EQ(r.S.CountdownExpired, 1);
        EXPECT_EQ(r.Host.Beeps, 1);
        EXPECT_TRUE(r.Host.Driver.CalibrationsSent.empty());
    }
    {
        // A slow lift-off does not eat into the next target's 30 seconds.
        Calibrator r;
        r.Host.Touch(40, 50).Ticks(20).Lift().Ticks(25);
        r.Host.Touch(980, 52).Lift().Touch(982, 970).Lift().Touch(42, 972).Lift().Key(VK_ESCAPE);
        r.RunCalibrationOnly();
        EXPECT_FALSE(r.Host.Exhausted);
        EXPECT_EQ(r.Host.Beeps, 4);
        ASSERT_EQ(r.Host.Driver.CalibrationsSent.size(), 2u);  // installed, then UNDO
    }
}

TEST(CalibratorRun, EnterTakesTheLastPointAndAFingerAtTheStartIsWaitedFor) {
    Calibrator r;
    r.Host.Driver.Raw = {300, 400, 8, 1};  // a finger on the panel already
    r.Host.Lift().Key(VK_RETURN);
    r.RunCalibrationOnly();
    const auto texts = r.Host.Paint.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), u"PLEASE LIFT OFF TO START"), texts.end());
    EXPECT_EQ(r.S.SampleX[1], 300);
    EXPECT_EQ(r.S.SampleY[1], 400);
    EXPECT_EQ(r.Host.Beeps, 1);
}

TEST(CalibratorRun, ThirtyTicksFillTheBarRedAndTheNextEndsTheRun) {
    Calibrator r;
    r.Host.Ticks(30).Do([&r] {
        EXPECT_EQ(r.Host.Paint.Texts().back(), u"( automatic exit after 0 seconds )");
        const Rect bar = r.S.CountdownBar;
        EXPECT_TRUE(r.Host.Paint.Filled({bar.left + 2, bar.top + 2, bar.right - 2, bar.bottom - 2},
                                        ColorRed));
        EXPECT_EQ(r.S.CountdownExpired, 0);
    });
    r.Host.Ticks(1);
    r.RunCalibrationOnly();
    EXPECT_FALSE(r.Host.Exhausted);
    EXPECT_EQ(r.S.CountdownExpired, 1);
    EXPECT_EQ(r.Host.Beeps, 0);
    EXPECT_TRUE(r.Host.Driver.CalibrationsSent.empty());
    // The bar: 252 x 20 under the ESC hint, centred.
    EXPECT_EQ(r.S.CountdownBar, (Rect{194, 385, 446, 405}));
}

// ---- the review's buttons

uint32_t Review(Calibrator& r) {
    PaintWindow(r.S);
    return ReviewCalibration(r.S);
}

TEST(CalibratorReview, ButtonEdgesAndSlidingOff) {
    Calibrator r;
    EXPECT_EQ(ReviewButtonRect(r.S, ReviewButton::Save), (Rect{195, 345, 272, 380}));
    EXPECT_EQ(ReviewButtonRect(r.S, ReviewButton::Redo), (Rect{365, 345, 442, 380}));
    // (276, 360) is between SAVE and UNDO; (272, 380) is SAVE's corner.
    r.Host.Tap(276, 360).Tap(272, 380);
    EXPECT_EQ(Review(r), uint32_t{ReviewSave});

    Calibrator slide;
    slide.Host.Pointer(WM_LBUTTONDOWN, SaveX, ButtonY)
        .Pointer(WM_MOUSEMOVE, UndoX, ButtonY)
        .Pointer(WM_LBUTTONUP, UndoX, ButtonY)
        .Tap(UndoX, ButtonY)  // SAVE is still armed: UNDO does nothing
        .Pointer(WM_LBUTTONDOWN, SaveX, ButtonY)
        .Do([&slide] {
            // Shown up since the slide; only a move on it shows it down again.
            EXPECT_EQ(
                slide.Host.Paint.Count(ReviewButtonRect(slide.S, ReviewButton::Save), ColorGrey),
                1);
        })
        .Pointer(WM_MOUSEMOVE, SaveX + 1, ButtonY)
        .Pointer(WM_LBUTTONUP, SaveX + 1, ButtonY);
    EXPECT_EQ(Review(slide), uint32_t{ReviewSave});
    EXPECT_FALSE(slide.Host.Exhausted);
    EXPECT_EQ(slide.Host.Paint.Count(ReviewButtonRect(slide.S, ReviewButton::Save), ColorGrey), 2);
    EXPECT_EQ(slide.Host.Paint.Count(ReviewButtonRect(slide.S, ReviewButton::Undo), ColorGrey), 0);

    // Release outside (no move reported first) disarms: REDO can be chosen.
    Calibrator off;
    off.Host.Pointer(WM_LBUTTONDOWN, SaveX, ButtonY).Pointer(WM_LBUTTONUP, 10, 10).Tap(RedoX, 350);
    EXPECT_EQ(Review(off), uint32_t{ReviewRedo});
}

TEST(CalibratorReview, AFingerDownHoldsTheCountdownAtThirty) {
    Calibrator r;
    r.Host.Ticks(20).Pointer(WM_LBUTTONDOWN, 5, 5).Ticks(40).Do([&r] {
        EXPECT_EQ(r.S.CountdownSeconds, 0u);
        EXPECT_EQ(r.S.CountdownExpired, 0);
    });
    r.Host.Pointer(WM_LBUTTONUP, 5, 5).Ticks(31);
    EXPECT_EQ(Review(r), uint32_t{ReviewRedo});
    EXPECT_FALSE(r.Host.Exhausted);
    EXPECT_EQ(r.S.ReviewMode, 0);
}

// ---- failures

TEST(CalibratorFailures, TheThreeDriverMessagesAndWhatIsRestored) {
    Calibrator r;
    r.SetDword(u"CalibrationX1", 30);
    r.SetDword(u"CalibrationX2", 0x10200);
    r.SetDword(u"CalibrationX3", 990);
    r.SetDword(u"CalibrationY1", 31);
    r.SetDword(u"CalibrationY2", 520);
    r.SetDword(u"CalibrationY3", 991);
    r.SetDword(u"PanelDirection", 5);
    r.Host.Driver.GetSettingsResult = 0;
    r.Host.Driver.SetCalibrationResults = {0, 0};
    r.Host.Targets(StraightX, StraightY).Key(VK_ESCAPE);
    r.RunCalibrationOnly();
    EXPECT_EQ(r.Boxes(),
              (std::vector<std::u16string>{u"Error: Fail to rending current calibration data",
                                           u"Error: Fail to sending new calibration data",
                                           u"Error: Fail to restoring new calibration data"}));
    // What went back is what the driver would load from its key.
    ASSERT_EQ(r.Host.Driver.CalibrationsSent.size(), 2u);
    const TouchSettings& back = r.Host.Driver.CalibrationsSent[1];
    EXPECT_EQ(back.CalibrationX1, 30);
    EXPECT_EQ(back.CalibrationX2, 512);
    EXPECT_EQ(back.CalibrationY3, 991);
    EXPECT_EQ(back.PanelDirection, 5);

    // One value missing: the driver's all-or-nothing fallback.
    Calibrator missing;
    missing.SetDword(u"CalibrationX1", 30);
    EXPECT_EQ(LoadedCalibration(missing.Reg.get()),
              (CalibrationValues{0, 512, 1023, 0, 512, 1023, 0}));
}

// What is installed from samples at the panel's edges, and what goes back
// when the driver did not give its settings: the points the driver would
// load, by its own span rule.
TEST(CalibratorFailures, EdgePointsAndZeroSpansFollowTheDriversRules) {
    using Six = std::array<uint16_t, 6>;
    constexpr Six Straight{17, 511, 1005, 19, 511, 1003};
    struct Case {
        const char* Why;
        std::array<uint16_t, 4> X, Y;
        Six Stored, Installed, Restored;
    };
    const Case cases[] = {
        {"edge points below 0 on both axes; 1024 and 1036 stay",
         {24, 999, 999, 24},
         {10, 12, 1000, 1002},
         {30, 500, 990, 31, 520, 991},
         {0, 511, 1024, 0, 506, 1036},
         {30, 500, 990, 31, 520, 991}},
        {"X2 one below X1: a zero span",
         StraightX,
         StraightY,
         {100, 99, 990, 31, 520, 991},
         Straight,
         {0, 511, 1023, 0, 511, 1023}},
        {"Y3 one below Y2: a zero span",
         StraightX,
         StraightY,
         {30, 500, 990, 31, 600, 599},
         Straight,
         {0, 511, 1023, 0, 511, 1023}},
        {"equal points: a span of 1",
         StraightX,
         StraightY,
         {300, 300, 990, 31, 520, 520},
         Straight,
         {300, 300, 990, 31, 520, 520}},
    };
    for (const auto& c : cases) {
        Calibrator r;
        for (size_t i = 0; i < 6; ++i)
            r.SetDword(CalibrationValueNames[i], c.Stored[i]);
        r.SetDword(u"PanelDirection", 5);  // loaded afresh after any fallback
        r.Host.Driver.GetSettingsResult = 0;
        r.Host.Targets(c.X, c.Y).Key(VK_ESCAPE);
        r.RunCalibrationOnly();
        const auto& sent = r.Host.Driver.CalibrationsSent;
        ASSERT_EQ(sent.size(), 2u) << c.Why;
        auto six = [](const TouchSettings& t) {
            return Six{t.CalibrationX1, t.CalibrationX2, t.CalibrationX3,
                       t.CalibrationY1, t.CalibrationY2, t.CalibrationY3};
        };
        EXPECT_EQ(six(sent[0]), c.Installed) << c.Why;
        EXPECT_EQ(six(sent[1]), c.Restored) << c.Why;
        EXPECT_EQ(sent[1].PanelDirection, 5) << c.Why;
    }
}

TEST(CalibratorFailures, NoDriverNoCalibration) {
    Calibrator r;
    r.Host.DeviceWorks = false;
    r.Host.RunProgram();
    EXPECT_EQ(r.Boxes(),
              std::vector<std::u16string>{u"Error: Fail to load ORVEX driver (ORX1:), error = 2"});
    EXPECT_TRUE(r.Host.Quit);
    EXPECT_EQ(r.Host.Posted, 0u);
    EXPECT_EQ(r.Host.Paces, 0u);

    // A user outside the group started it from a menu: the box says who may.
    Calibrator refused;
    refused.Host.DeviceWorks = false;
    refused.Host.OpenError = 5;
    refused.Host.RunProgram();
    EXPECT_EQ(refused.Boxes(),
              std::vector<std::u16string>{
                  u"Error: Fail to load ORVEX driver (ORX1:), error = 5\n\nOnly root and members "
                  u"of the group orvex may use the device; add the user to the group (usermod -aG "
                  u"orvex USER) and log in again."});

    Calibrator noTimer;
    noTimer.Host.TimerId = 0;
    noTimer.Host.Key(VK_ESCAPE);
    noTimer.Host.RunProgram();
    EXPECT_EQ(noTimer.Boxes(), std::vector<std::u16string>{u"Error: Could not set timer!"});
}

// ---- the post-save command

TEST(CalibratorCommand, SplitAtTheFirstBlankAndOnlyFromAPlainString) {
    using P = std::pair<std::u16string, std::u16string>;
    EXPECT_EQ(SplitRunCommand(std::u16string(u"/bin/prog one two\0junk", 22)),
              (P{u"/bin/prog", u"one two"}));
    EXPECT_EQ(SplitRunCommand(u"/bin/prog"), (P{u"/bin/prog", u""}));
    EXPECT_EQ(SplitRunCommand(u" a b"), (P{u"", u"a b"}));

    Calibrator r;
    ReadDriverVersion(r.S);
    EXPECT_EQ(r.S.VersionText, u"ORVEX Version X.X.X.X");
    EXPECT_FALSE(ReadRunCommand(r.S));
    r.SetString(u"OemRunWhenCalOK", u"x", REG_SZ);  // 2 bytes
    EXPECT_FALSE(ReadRunCommand(r.S));
    r.SetString(u"OemRunWhenCalOK", u"/bin/true", REG_EXPAND_SZ);
    EXPECT_FALSE(ReadRunCommand(r.S));
    r.SetString(u"OemRunWhenCalOK", std::u16string(u"\0abc", 4), REG_SZ);
    EXPECT_FALSE(ReadRunCommand(r.S));
    // No terminator: the value ends after its characters.
    r.SetString(u"OemRunWhenCalOK", u"/bin/true -v", REG_SZ);
    r.S.CalibrationSaved = 1;
    RunAfterSave(r.S);
    ASSERT_EQ(r.Programs.Calls().size(), 1u);
    EXPECT_EQ(r.Programs.Calls()[0].Parameters, u"-v");
    EXPECT_TRUE(r.Errors.Lines().empty());
}

// Every member of the group may set the command; root runs none of it.
TEST(CalibratorCommand, RootStartsNoCommandAndSaysSo) {
    Calibrator r;
    r.S.EffectiveUid = 0;
    r.SetString(u"OemRunWhenCalOK", u"/bin/true -v", REG_SZ);
    r.Host.Targets(StraightX, StraightY).Tap(SaveX, ButtonY);
    r.Host.RunProgram();
    EXPECT_EQ(r.S.CalibrationSaved, 1);
    EXPECT_TRUE(r.Programs.Calls().empty());
    EXPECT_EQ(r.Errors.Lines(),
              std::vector<std::string>{"orvexcal: running as root, so the post-save command in "
                                       "OemRunWhenCalOK is not started\n"});
}

}  // namespace
