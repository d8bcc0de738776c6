// Point processing: limiting, orientation, the segment mapping, the button
// transitions of every click mode, the touch beep's edges and the one-touch
// right click.
#include <gtest/gtest.h>

#include "common/orvex.h"
#include "tests/support/driver_fixture.h"

using namespace orvex;
using orvex::test::Mouse;
using orvex::test::Post;
using orvex::test::TestDriver;
using Calls = std::vector<RecordingInput::Call>;

namespace {

constexpr uint32_t Abs = MOUSEEVENTF_ABSOLUTE;
constexpr uint32_t Move = MOUSEEVENTF_MOVE;
constexpr uint32_t LDown = MOUSEEVENTF_LEFTDOWN;
constexpr uint32_t LUp = MOUSEEVENTF_LEFTUP;
constexpr uint32_t RDown = MOUSEEVENTF_RIGHTDOWN;
constexpr uint32_t RUp = MOUSEEVENTF_RIGHTUP;
constexpr uint8_t Touch = 8;
constexpr uint32_t Window = 0x1234;

// X mapped for a raw X (Y held at 0), from LastX after one report.
uint16_t MapX(TestDriver& t, uint16_t raw) {
    ProcessPoint(t.D, raw, 0, 0);
    return t.D.State.LastX;
}
uint16_t MapY(TestDriver& t, uint16_t raw) {
    ProcessPoint(t.D, 0, raw, 0);
    return t.D.State.LastY;
}

// ---- mapping

TEST(PointMapping, ComputedSpansOfTheDefaultPoints) {
    TestDriver t;
    t.Calibrate(0, 511, 1023, 0, 511, 1023);
    EXPECT_EQ(MapX(t, 0), 0);
    EXPECT_EQ(MapX(t, 510), 32640);
    EXPECT_EQ(MapX(t, 511), 0x8000);
    EXPECT_EQ(MapX(t, 1023), 65472);
    EXPECT_EQ(MapY(t, 510), 32640);
    EXPECT_EQ(MapY(t, 1023), 65472);
}

TEST(PointMapping, BuiltInSpansReachTheLimit) {
    TestDriver t;                      // load values: spans 512, 512
    EXPECT_EQ(MapX(t, 1023), 0xFFFF);  // 0x10000 before the limit
    EXPECT_EQ(MapX(t, 1022), 65472);
    EXPECT_EQ(MapY(t, 1023), 0xFFFF);
}

TEST(PointMapping, OutsideThePointsSticksToThem) {
    TestDriver t;
    t.Calibrate(100, 500, 900, 100, 500, 900);
    EXPECT_EQ(MapX(t, 50), 0);
    EXPECT_EQ(MapX(t, 100), 0);
    EXPECT_EQ(MapX(t, 499), (399 * 32768) / 401);
    EXPECT_EQ(MapX(t, 500), 0x8000);
    EXPECT_EQ(MapX(t, 900), 65454);
    EXPECT_EQ(MapX(t, 950), 65454);
    EXPECT_EQ(MapY(t, 950), 65454);
    EXPECT_EQ(MapY(t, 60), 0);
}

TEST(PointMapping, ReversedPointsStayInRange) {
    TestDriver t;
    t.Calibrate(600, 500, 1023, 0, 511, 1023);  // SpanX1 65437
    EXPECT_EQ(MapX(t, 400), 0);                 // lower segment, clamped to point 1
    EXPECT_EQ(MapX(t, 500), 0x8000);
    EXPECT_EQ(MapX(t, 1023), 0x8000 + (523 * 32768) / 524);
    // Upper point below the middle one: values above it sit just under 0x8000.
    t.Calibrate(0, 600, 500, 0, 511, 1023);
    EXPECT_EQ(MapX(t, 700), 0x8000 - (100 * 32768) / 65437);
}

TEST(PointMapping, MixedCalibrationNeverWrapsBelowZero) {
    // Points of one calibration and a span of another, as a report can see
    // them while a new calibration is being stored: the value is pinned to 0
    // instead of wrapping to the far edge of the screen.
    TestDriver t;
    DriverState& s = t.D.State;
    s.CalibrationX1 = 0;
    s.CalibrationX2 = 1000;
    s.CalibrationX3 = 0;
    s.SpanX2 = 1;
    EXPECT_EQ(MapX(t, 1010), 0);
    s.CalibrationX2 = 0;
    s.CalibrationX3 = 1023;
    EXPECT_EQ(MapX(t, 1010), 0xFFFF);  // and above, pinned to the top
}

TEST(PointMapping, RawValuesAreLimitedAndRecordedBeforeOrientation) {
    TestDriver t;
    ProcessPoint(t.D, 2000, 0xFFFF, Touch);
    EXPECT_EQ(t.D.State.LastRawX, 1023);
    EXPECT_EQ(t.D.State.LastRawY, 1023);
    EXPECT_EQ(t.D.State.LastX, 0xFFFF);
    EXPECT_EQ(t.D.State.LastTouch, Touch);

    t.D.State.PanelDirection = 4;
    ProcessPoint(t.D, 10, 20, Touch);
    EXPECT_EQ(t.D.State.LastRawX, 10);
    EXPECT_EQ(t.D.State.LastRawY, 20);
}

TEST(PointMapping, OrientationIsExchangeThenMirrorYThenMirrorX) {
    // Spans of 1024 make the mapping x * 32 in the lower half, so the
    // oriented raw point can be read back from LastX / LastY.
    struct Case {
        uint32_t Direction;
        uint16_t X, Y;  // oriented point for raw (10, 20)
    } cases[] = {
        {0, 10, 20},   {1, 1013, 20}, {2, 10, 1003},   {3, 1013, 1003}, {4, 20, 10},
        {5, 1003, 10}, {6, 20, 1013}, {7, 1003, 1013}, {8, 10, 20},  // bits above 2 have no effect
    };
    for (const auto& c : cases) {
        TestDriver t;
        t.Calibrate(0, 1023, 1023, 0, 1023, 1023, c.Direction);
        ASSERT_EQ(t.D.State.SpanX1, 1024);
        ProcessPoint(t.D, 10, 20, Touch);
        auto expect = [](uint16_t v) {
            return v < 1023 ? static_cast<uint16_t>(v * 32) : static_cast<uint16_t>(0x8000);
        };
        EXPECT_EQ(t.D.State.LastX, expect(c.X)) << "direction " << c.Direction;
        EXPECT_EQ(t.D.State.LastY, expect(c.Y)) << "direction " << c.Direction;
    }
}

TEST(PointMapping, SampleCountWraps) {
    TestDriver t;
    t.D.State.SampleCount = 65534;
    ProcessPoint(t.D, 1, 1, 0);
    EXPECT_EQ(t.D.State.SampleCount, 65535);
    ProcessPoint(t.D, 1, 1, 0);
    EXPECT_EQ(t.D.State.SampleCount, 0);
}

// ---- events

TEST(PointEvents, MoveAndButtonFlags) {
    TestDriver t;
    EXPECT_EQ(t.Report(1023, 1023, 0), Calls{}) << "position and buttons as loaded";
    EXPECT_EQ(t.Report(0, 1023, Touch), Calls{Mouse(Abs | Move | LDown, 0, 0xFFFF)});
    EXPECT_EQ(t.Report(0, 1023, Touch), Calls{}) << "same point, same button";
    EXPECT_EQ(t.Report(511, 1023, Touch), Calls{Mouse(Abs | Move, 0x8000, 0xFFFF)});
    EXPECT_EQ(t.Report(511, 1023, 0), Calls{Mouse(Abs | LUp, 0x8000, 0xFFFF)});
    EXPECT_EQ(t.D.State.ButtonState, 0);
    EXPECT_EQ(t.Report(511, 1023, 0), Calls{});
}

TEST(PointEvents, TouchDownAtTheLastPositionSendsOnlyTheButton) {
    TestDriver t;
    EXPECT_EQ(t.Report(1023, 1023, Touch), Calls{Mouse(Abs | LDown, 0xFFFF, 0xFFFF)});
}

// Every row of the button-transition table under click mode 4.
TEST(PointEvents, ButtonTransitionsOfClickMode4) {
    struct Row {
        uint8_t Before;
        uint8_t TouchValue;
        bool Right;
        uint8_t After;
        uint32_t ButtonFlags;
    } rows[] = {
        {0, Touch, false, 1, LDown}, {0, Touch, true, 2, RDown},
        {1, Touch, false, 1, 0},     {1, Touch, true, 2, LUp | RDown},
        {2, Touch, true, 2, 0},      {2, Touch, false, 1, RUp | LDown},
        {1, 0, false, 0, LUp},       {1, 0, true, 0, LUp},
        {2, 0, false, 0, RUp},       {2, 0, true, 0, RUp},
        {0, 0, false, 0, 0},         {0, 0, true, 0, 0},
    };
    for (const auto& r : rows) {
        TestDriver t;
        DriverState& s = t.D.State;
        s.ButtonState = r.Before;
        s.LastTouch = r.Before ? Touch : 0;
        s.LastX = 0;
        s.LastY = 0;  // report at raw (0, 0) does not move
        s.RightClickArmed = r.Right ? 1 : 0;
        s.RightClickPending = r.Right ? 1 : 0;
        auto calls = t.Report(0, 0, r.TouchValue);
        SCOPED_TRACE(testing::Message() << "before " << int(r.Before) << " touch "
                                        << int(r.TouchValue) << " right " << r.Right);
        EXPECT_EQ(s.ButtonState, r.After);
        if (r.ButtonFlags == 0) {
            EXPECT_EQ(calls, Calls{});
        } else {
            ASSERT_GE(calls.size(), 1u);
            EXPECT_EQ(calls[0], Mouse(Abs | r.ButtonFlags, 0, 0));
        }
        if (r.TouchValue == 0) {
            EXPECT_EQ(s.RightClickPending, 0);
        } else if (r.Right) {
            EXPECT_EQ(s.RightClickPending, 1);
        }
    }
}

TEST(PointEvents, OtherClickModes) {
    struct Step {
        uint8_t TouchValue;
        uint8_t Buttons;  // ButtonState after the report
    };
    auto run = [](uint32_t mode, std::initializer_list<Step> steps) {
        TestDriver t;
        t.D.State.ClickMode = mode;
        int i = 0;
        for (const auto& st : steps) {
            ProcessPoint(t.D, 100, 100, st.TouchValue);
            EXPECT_EQ(t.D.State.ButtonState, st.Buttons) << "mode " << mode << " step " << i;
            ++i;
        }
    };
    run(3, {{Touch, 1}, {Touch, 0}, {Touch, 0}, {0, 0}, {Touch, 1}});  // press on touch-down
    run(2, {{Touch, 0}, {Touch, 0}, {0, 1}, {0, 0}, {Touch, 0}});      // press on lift-off
    run(1, {{Touch, 0}, {0, 0}});
    run(0, {{Touch, 0}, {0, 0}});
    run(7, {{Touch, 0}, {0, 0}});
}

TEST(PointEvents, ClickModesClearThePendingRequestAtTheirOwnMoment) {
    auto pendingAfter = [](uint32_t mode, uint8_t lastTouch, uint8_t touch) {
        TestDriver t;
        t.D.State.ClickMode = mode;
        t.D.State.LastTouch = lastTouch;
        t.D.State.RightClickPending = 1;
        ProcessPoint(t.D, 5, 5, touch);
        return t.D.State.RightClickPending.Load();
    };
    EXPECT_EQ(pendingAfter(4, 0, Touch), 1);
    EXPECT_EQ(pendingAfter(4, Touch, 0), 0);
    EXPECT_EQ(pendingAfter(4, 0, 0), 0);
    EXPECT_EQ(pendingAfter(3, 0, Touch), 0);  // touch-down
    EXPECT_EQ(pendingAfter(3, Touch, Touch), 1);
    EXPECT_EQ(pendingAfter(3, Touch, 0), 1);
    EXPECT_EQ(pendingAfter(2, Touch, 0), 1);  // never cleared
    EXPECT_EQ(pendingAfter(1, 0, Touch), 0);  // every report
    EXPECT_EQ(pendingAfter(9, Touch, 0), 1);
}

TEST(PointEvents, ModeTwoPressesWithTheArmedRightButton) {
    TestDriver t;
    DriverState& s = t.D.State;
    s.ClickMode = 2;
    s.RightClickArmed = 1;
    s.RightClickPending = 1;
    ProcessPoint(t.D, 100, 100, Touch);
    auto calls = t.Report(100, 100, 0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].A, Abs | RDown);
    EXPECT_EQ(s.ButtonState, 2);
}

// ---- the one-touch right click

TEST(RightClick, LastsOneWholeTouchAndNotifiesOnce) {
    TestDriver t;
    DriverState& s = t.D.State;
    s.RightClickWindow = Window;
    s.RightClickArmed = 1;
    s.RightClickPending = 1;

    EXPECT_EQ(t.Report(0, 0, Touch), Calls{Mouse(Abs | Move | RDown, 0, 0)});
    EXPECT_EQ(t.Report(511, 0, Touch), Calls{Mouse(Abs | Move, 0x8000, 0)}) << "drags";
    EXPECT_EQ(s.RightClickPending, 1);
    EXPECT_EQ(t.Report(511, 0, 0), (Calls{Mouse(Abs | RUp, 0x8000, 0),
                                          Post(Window, WM_COMMAND, RightClickDoneCommand, 0)}));
    EXPECT_EQ(s.RightClickPending, 0);
    EXPECT_EQ(s.RightClickArmed, 0u);
    // The request is used up: the next touch is a left one, nothing is posted.
    EXPECT_EQ(t.Report(511, 0, Touch), Calls{Mouse(Abs | LDown, 0x8000, 0)});
    EXPECT_EQ(t.Report(511, 0, 0), Calls{Mouse(Abs | LUp, 0x8000, 0)});
}

TEST(RightClick, NonTouchingReportEndsAnUnusedRequest) {
    TestDriver t;
    DriverState& s = t.D.State;
    s.RightClickWindow = Window;
    s.RightClickArmed = 1;
    s.RightClickPending = 1;
    EXPECT_EQ(t.Report(1023, 1023, 0), Calls{Post(Window, WM_COMMAND, RightClickDoneCommand, 0)});
    EXPECT_EQ(s.RightClickPending, 0);
    EXPECT_EQ(s.RightClickArmed, 0u);
}

TEST(RightClick, ArmedDuringALeftTouchSwitchesButtonsInOneEvent) {
    TestDriver t;
    DriverState& s = t.D.State;
    t.Report(100, 100, Touch);
    s.RightClickWindow = Window;
    s.RightClickArmed = 1;
    s.RightClickPending = 1;
    auto calls = t.Report(100, 100, Touch);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].A, Abs | LUp | RDown);
    calls = t.Report(200, 100, Touch);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].A, Abs | Move);
    // Cancelled during the touch: back to the left button.
    s.RightClickPending = 0;
    calls = t.Report(200, 100, Touch);
    ASSERT_GE(calls.size(), 1u);
    EXPECT_EQ(calls[0].A, Abs | RUp | LDown);
}

TEST(RightClick, WithoutAWindowNothingIsPostedAndTheArmStays) {
    TestDriver t;
    DriverState& s = t.D.State;
    s.RightClickArmed = 1;
    s.RightClickPending = 1;
    t.Report(10, 10, Touch);
    EXPECT_EQ(s.ButtonState, 2);
    auto calls = t.Report(10, 10, 0);
    EXPECT_EQ(calls, Calls{Mouse(Abs | RUp, 640, 640)});
    EXPECT_EQ(s.RightClickArmed, 1u);
    // Pending is 0, so the remaining arm no longer selects the right button.
    t.Report(10, 10, Touch);
    EXPECT_EQ(s.ButtonState, 1);
}

TEST(RightClick, PendingOtherThanOneNeverArms) {
    TestDriver t;
    DriverState& s = t.D.State;
    s.RightClickWindow = Window;
    s.RightClickArmed = 2;
    s.RightClickPending = 2;
    t.Report(10, 10, Touch);
    EXPECT_EQ(s.ButtonState, 1);
    EXPECT_EQ(s.RightClickPending, 2);
    auto calls = t.Report(10, 10, 0);
    EXPECT_EQ(calls, Calls{Mouse(Abs | LUp, 640, 640)});
    EXPECT_EQ(s.RightClickPending, 0);
}

// ---- touch beep

// Records the clock at each pointer event, to show the beep came first.
class TimedInput final : public Input {
  public:
    explicit TimedInput(TimerService& clock) : Clock(clock) {}
    void MouseEvent(uint32_t, uint32_t, uint32_t, uint32_t, uintptr_t) override {
        Times.push_back(Clock.NowMicroseconds());
    }
    void PostMessage(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    TimerService& Clock;
    std::vector<uint64_t> Times;
};

TEST(TouchBeepEdges, EachFeedbackSoundBeepsOnItsEdges) {
    // Reports: down, held, up, none, down, up. Beeps per report index.
    const uint8_t touches[] = {Touch, Touch, 0, 0, Touch, 0};
    struct Case {
        uint32_t Sound;
        std::vector<int> Beeps;
    } cases[] = {
        {1, {}}, {2, {0, 4}}, {3, {2, 5}}, {4, {0, 2, 4, 5}}, {9, {}}, {0, {}},
    };
    for (const auto& c : cases) {
        TestDriver t;
        MapSpeakerPorts(t.D);
        t.D.State.FeedbackSound = c.Sound;
        std::vector<int> beeps;
        for (int i = 0; i < 6; ++i) {
            size_t before = t.Timers.Sleeps().size();
            ProcessPoint(t.D, 100, 100, touches[i]);
            if (t.Timers.Sleeps().size() != before)
                beeps.push_back(i);
        }
        EXPECT_EQ(beeps, c.Beeps) << "FeedbackSound " << c.Sound;
    }
}

TEST(TouchBeepEdges, ThePointerEventFollowsTheWholeBeep) {
    TestDriver t;
    TimedInput timed(t.Timers);
    t.Sys.Pointer = &timed;
    MapSpeakerPorts(t.D);
    t.D.State.FeedbackSound = 2;
    t.D.State.FeedbackDuration = 3;
    ProcessPoint(t.D, 100, 100, Touch);
    ASSERT_EQ(timed.Times.size(), 1u);
    EXPECT_EQ(timed.Times[0], 30000u);
    EXPECT_FALSE(t.Ports.Sounding());
}

}  // namespace
