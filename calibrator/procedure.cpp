// The calibration procedure: four targets, the waits, the countdown and the
// arithmetic that turns four raw points into three calibration points per
// axis.
#include <string>

#include "calibrator/calibrator.h"
#include "calibrator/text.h"

namespace orvex {

namespace {

constexpr int32_t TargetSize = 2 * 16 + 2;  // the square saved under a target

// One read of the driver into the wait's buffer. Whether the driver
// accepted it is not looked at (only the buffer is), except by the caller
// that must not wait forever on a device that has gone away.
bool ReadRawPoint(CalibratorState& s) {
    if (!s.DriverHandle)
        return false;
    auto& b = s.RawBuffer;
    return s.DriverHandle->IoControl(IOCTL_ORX_GET_RAW_POINT, b.data(), RawPoint::Size, b.data(),
                                     RawPoint::Size, nullptr) != 0;
}

uint8_t& TouchByte(CalibratorState& s) {
    return s.RawBuffer[4];
}

Rect InnerBar(const Rect& bar) {
    return {bar.left + 2, bar.top + 2, bar.right - 2, bar.bottom - 2};
}

int32_t Low16(int32_t v) {
    return static_cast<int32_t>(static_cast<uint16_t>(v));
}

enum class WaitTurn { GoOn, Leave, Abort };

// Takes at most one message and looks at the countdown: ESC or the
// countdown's end aborts the calibration, Enter leaves the wait as a touch
// (or a lift-off) would.
WaitTurn TakeKey(CalibratorState& s) {
    WindowMessage m;
    if (s.MainWindow->PeekMessage(&m) && (m.Message == WM_KEYDOWN || m.Message == WM_SYSKEYDOWN)) {
        if (m.WParam == VK_ESCAPE)
            return WaitTurn::Abort;
        if (m.WParam == VK_RETURN)
            return WaitTurn::Leave;
    }
    return s.CountdownExpired ? WaitTurn::Abort : WaitTurn::GoOn;
}

// A wait turn reads the driver, then takes a key. Only a turn after which
// the wait goes on lets time pass (CalibratorHost::Pace).
WaitTurn Turn(CalibratorState& s) {
    ReadRawPoint(s);
    return TakeKey(s);
}

}  // namespace

void PlaceTargets(CalibratorState& s) {
    s.TargetPoint[1] = {16, 16};
    s.TargetPoint[2] = {s.ScreenWidth - 16, 16};
    s.TargetPoint[3] = {s.ScreenWidth - 16, s.ScreenHeight - 16};
    s.TargetPoint[4] = {16, s.ScreenHeight - 16};
}

void RunCalibration(CalibratorState& s) {
    PlaceTargets(s);

    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    for (;;) {
        s.HasMemoryBitmap = canvas.CreateMemoryBitmap(TargetSize, TargetSize);
        DrawEscHint(s);
        ResetCountdown(s);
        uint32_t r = WaitLiftOffToStart(s);
        for (int i = 1; i <= 4 && r == 0; ++i) {
            DrawTarget(s, i);
            r = SampleTarget(s, i);
            EraseTarget(s, i);
        }
        if (s.HasMemoryBitmap)
            canvas.DeleteMemoryBitmap();
        s.HasMemoryBitmap = false;
        if (r == 1)
            return;
        if (CheckPanelDirection(s) == 0)
            return;
        ComputeCalibration(s);
        const uint32_t result = InstallAndReview(s);
        if (result == ReviewRedo)
            continue;
        s.CalibrationSaved = result == ReviewSave ? 1 : 0;
        return;
    }
}

uint32_t WaitLiftOffToStart(CalibratorState& s) {
    TouchByte(s) = 0;
    ReadRawPoint(s);
    if (TouchByte(s) != 0) {
        s.CountdownActive = 1;
        ShowPrompt(s, text::LiftOffToStart);
        while (TouchByte(s) != 0) {
            s.MainWindow->Pace();
            const WaitTurn t = Turn(s);
            if (t == WaitTurn::Abort)
                return 1;
            if (t == WaitTurn::Leave)
                break;
        }
        // Only a wait that ran has moved the bar on since RunCalibration
        // reset it.
        ResetCountdown(s);
    }
    s.CountdownActive = 0;
    return 0;
}

uint32_t SampleTarget(CalibratorState& s, int i) {
    TouchByte(s) = 0;
    s.CountdownActive = 1;
    ShowPrompt(s, text::TouchTarget);
    for (;;) {
        const WaitTurn t = Turn(s);
        if (t == WaitTurn::Abort)
            return 1;
        if (t == WaitTurn::Leave || TouchByte(s) != 0)
            break;
        s.MainWindow->Pace();
    }
    const RawPoint p = RawPoint::Decode(s.RawBuffer);
    s.SampleX[i] = p.X;
    s.SampleY[i] = p.Y;
    s.MainWindow->MessageBeep();
    s.CountdownActive = 0;
    ResetCountdown(s);
    ShowPrompt(s, text::LiftOffToNextStep);
    // A panel pressed in for good, or a stuck controller, reports a touch
    // for ever: this wait takes ESC and Enter and runs the countdown like
    // the others, so the window never holds the screen and the keyboard
    // past it. A refused read (the host has gone) ends it as a lift-off
    // would; the next wait can still be left with ESC or by its countdown.
    s.CountdownActive = 1;
    for (;;) {
        if (!ReadRawPoint(s) || TouchByte(s) == 0)
            break;
        const WaitTurn t = TakeKey(s);
        if (t == WaitTurn::Abort)
            return 1;
        if (t == WaitTurn::Leave)
            break;
        s.MainWindow->Pace();
    }
    s.CountdownActive = 0;
    // The next target has its own 30 seconds.
    if (s.CountdownSeconds != 0)
        ResetCountdown(s);
    return 0;
}

void DrawTarget(CalibratorState& s, int i) {
    const Point c = s.TargetPoint[i];
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    if (s.HasMemoryBitmap)
        canvas.CopyToMemory(c.x - 17, c.y - 17);
    canvas.DrawLine(c.x, c.y - 14, c.x, c.y + 14, 2, ColorBlack);
    canvas.DrawLine(c.x - 14, c.y, c.x + 14, c.y, 2, ColorBlack);
    CalibratorWindowProc(s, WM_PAINT);
}

void EraseTarget(CalibratorState& s, int i) {
    const Point c = s.TargetPoint[i];
    if (s.HasMemoryBitmap)
        s.MainWindow->Canvas().CopyFromMemory(c.x - 17, c.y - 17);
    CalibratorWindowProc(s, WM_PAINT);
}

void ShowPrompt(CalibratorState& s, std::u16string_view text) {
    const int32_t cx = s.ScreenWidth / 2, cy = s.ScreenHeight / 2;
    const Rect r{cx - 125, cy - 25, cx + 125, cy + 25};
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    canvas.FillRect(r, ColorGreen);
    canvas.DrawText(text, r, TextCentred, ColorWhite, ColorGreen, TextFont::Default);
}

void DrawEscHint(CalibratorState& s) {
    const int32_t q = s.ScreenHeight / 4;
    const Rect r{0, 3 * (q - 8), s.ScreenWidth - 1, 3 * (q + 8)};
    s.MainWindow->Canvas().DrawText(text::EscHint, r, TextCentred, ColorBlack, ColorWhite,
                                    TextFont::Default);
}

void ResetCountdown(CalibratorState& s) {
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    const Rect bar = s.CountdownBar;
    canvas.FillRect(bar, ColorBlack);
    const Rect inner = InnerBar(bar);
    for (int32_t k = 0; k < 50; ++k) {
        const int32_t x = bar.left + 2 + 5 * k;
        canvas.FillRect({x, inner.top, x + 3, inner.bottom}, ColorBlue);
    }
    s.CountdownSeconds = 0;
    s.CountdownExpired = 0;
    DrawCountdownText(s);
}

void CountdownTick(CalibratorState& s) {
    if (s.CountdownActive == 0)
        return;
    if (s.CountdownSeconds < static_cast<uint32_t>(CountdownLimit)) {
        ++s.CountdownSeconds;
        DrawCountdownStep(s);
        DrawCountdownText(s);
    } else {
        s.CountdownExpired = 1;
    }
}

void DrawCountdownStep(CalibratorState& s) {
    const int32_t n = static_cast<int32_t>(s.CountdownSeconds * 50 / 30);
    const Rect inner = InnerBar(s.CountdownBar);
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    if (n < 50)
        canvas.FillRect({inner.left, inner.top, inner.left + 5 * n + 3, inner.bottom}, ColorYellow);
    else
        canvas.FillRect(inner, ColorRed);
}

void DrawCountdownText(CalibratorState& s) {
    const Rect& bar = s.CountdownBar;
    const Rect r{bar.left, bar.bottom + 1, bar.right, bar.bottom + 22};
    const int32_t left = CountdownLimit - static_cast<int32_t>(s.CountdownSeconds);
    const std::u16string line =
        text::Format(s.ReviewMode ? text::CountdownReview : text::CountdownExit, left);
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    canvas.FillRect(r, ColorWhite);
    canvas.DrawText(line, r, TextCentred, ColorBlack, ColorWhite, TextFont::Default);
}

void ComputeCalibration(CalibratorState& s) {
    if (s.DirectionFlags & 2) {
        for (int i = 1; i <= 4; ++i)
            s.SampleY[i] = static_cast<uint16_t>(1023 - s.SampleY[i]);
    }
    if (s.DirectionFlags & 1) {
        for (int i = 1; i <= 4; ++i)
            s.SampleX[i] = static_cast<uint16_t>(1023 - s.SampleX[i]);
    }
    const int32_t l = (s.SampleX[1] + s.SampleX[4]) / 2;
    const int32_t r = (s.SampleX[2] + s.SampleX[3]) / 2;
    const int32_t t = (s.SampleY[1] + s.SampleY[2]) / 2;
    const int32_t b = (s.SampleY[3] + s.SampleY[4]) / 2;
    // A screen no wider (or higher) than the two target margins has no
    // distance between its target columns; the step is then taken as 0
    // rather than dividing by zero.
    const int32_t spanX = s.ScreenWidth - 32, spanY = s.ScreenHeight - 32;
    const int32_t stepX = spanX > 0 ? Low16(((r - l + 1) * 16) / spanX) : 0;
    const int32_t stepY = spanY > 0 ? Low16(((b - t + 1) * 16) / spanY) : 0;
    // Targets near a panel's edge put the extrapolated edge point below 0.
    // Its low 16 bits would be a point near 65535, which the driver accepts
    // (the span is not 0) and which then pins half the screen to its edge;
    // 0 is the nearest point the registry can hold. Points above 1023 are
    // kept as computed.
    auto stored = [](int32_t v) { return static_cast<uint16_t>(v < 0 ? 0 : v); };
    s.CalibrationX1 = stored(l - stepX);
    s.CalibrationX2 = stored(l + (r - l) / 2);
    s.CalibrationX3 = stored(r + stepX);
    s.CalibrationY1 = stored(t - stepY);
    s.CalibrationY2 = stored(t + (b - t) / 2);
    s.CalibrationY3 = stored(b + stepY);
}

}  // namespace orvex
