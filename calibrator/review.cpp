// Installing the new calibration in the driver and the review screen on
// which the user keeps it (SAVE), goes back (UNDO, ESC) or calibrates again
// (REDO, or 30 seconds without a touch).
#include <array>

#include "calibrator/calibrator.h"
#include "calibrator/text.h"
#include "common/calibration.h"

namespace orvex {

namespace {

bool Control(CalibratorState& s, uint32_t code, std::array<uint8_t, TouchSettings::Size>& b) {
    if (!s.DriverHandle)
        return false;
    return s.DriverHandle->IoControl(code, b.data(), TouchSettings::Size, b.data(),
                                     TouchSettings::Size, nullptr) != 0;
}

void PutValues(const CalibrationValues& v, std::array<uint8_t, TouchSettings::Size>& b) {
    TouchSettings t;
    t.CalibrationX1 = v.CalibrationX1;
    t.CalibrationX2 = v.CalibrationX2;
    t.CalibrationX3 = v.CalibrationX3;
    t.CalibrationY1 = v.CalibrationY1;
    t.CalibrationY2 = v.CalibrationY2;
    t.CalibrationY3 = v.CalibrationY3;
    t.PanelDirection = v.PanelDirection;
    t.EncodeCalibration(b);
}

CalibrationValues GetValues(const std::array<uint8_t, TouchSettings::Size>& b) {
    const TouchSettings t = TouchSettings::Decode(b);
    return {t.CalibrationX1, t.CalibrationX2, t.CalibrationX3, t.CalibrationY1,
            t.CalibrationY2, t.CalibrationY3, t.PanelDirection};
}

bool Inside(const Rect& r, uint32_t lParam) {
    const int32_t x = static_cast<int32_t>(lParam & 0xFFFF);
    const int32_t y = static_cast<int32_t>(lParam >> 16);
    return r.left <= x && x <= r.right && r.top <= y && y <= r.bottom;
}

std::u16string_view Caption(ReviewButton b) {
    switch (b) {
        case ReviewButton::Save:
            return text::Save;
        case ReviewButton::Undo:
            return text::Undo;
        case ReviewButton::Redo:
            return text::Redo;
        case ReviewButton::None:
            break;
    }
    return {};
}

constexpr ReviewButton Buttons[] = {ReviewButton::Save, ReviewButton::Undo, ReviewButton::Redo};

void ShowButton(CalibratorState& s, ReviewButton b, bool down) {
    const Rect r = ReviewButtonRect(s, b);
    if (down)
        DrawButtonDown(s, r, Caption(b));
    else
        DrawButtonUp(s, r, Caption(b));
}

}  // namespace

CalibrationValues LoadedCalibration(Registry* reg) {
    // A key that cannot be opened leaves the driver on its start values.
    CalibrationPoints p = StartCalibration;
    uint32_t direction = 0;
    const OpenedRegKey key(reg, DriverKeyPath);
    if (key) {
        p = LoadCalibrationPoints([&key](size_t i, uint32_t* value) {
            return key.ReadU32(CalibrationValueNames[i], value);
        });
        // Read afresh after the points, whatever they fell back to.
        if (!key.ReadU32(u"PanelDirection", &direction))
            direction = 0;
    }
    return {p[0], p[1], p[2], p[3], p[4], p[5], static_cast<uint8_t>(direction)};
}

Rect ReviewArea(const CalibratorState& s) {
    const int32_t cx = s.ScreenWidth / 2, cy = s.ScreenHeight / 2, q = s.ScreenHeight / 4;
    return {cx - 125, cy - 25, cx + 125, 3 * (q + 8)};
}

Rect ReviewButtonRect(const CalibratorState& s, ReviewButton b) {
    const int32_t cx = s.ScreenWidth / 2, cy = s.ScreenHeight / 2;
    switch (b) {
        case ReviewButton::Save:
            return {cx - 125, cy + 105, cx - 48, cy + 140};
        case ReviewButton::Undo:
            return {cx - 40, cy + 105, cx + 37, cy + 140};
        case ReviewButton::Redo:
            return {cx + 45, cy + 105, cx + 122, cy + 140};
        case ReviewButton::None:
            break;
    }
    return {};
}

void DrawButtonUp(CalibratorState& s, const Rect& r, std::u16string_view caption) {
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    canvas.FillRect(r, ColorLightGrey);
    canvas.DrawText(caption, r, TextCentred, ColorBlack, ColorLightGrey, TextFont::Default);
}

void DrawButtonDown(CalibratorState& s, const Rect& r, std::u16string_view caption) {
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    canvas.FillRect(r, ColorGrey);
    canvas.DrawText(caption, r, TextCentred, ColorWhite, ColorGrey, TextFont::Default);
}

void DrawReviewScreen(CalibratorState& s) {
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    const int32_t cx = s.ScreenWidth / 2, cy = s.ScreenHeight / 2;
    canvas.FillRect(ReviewArea(s), ColorWhite);
    const Rect heading{cx - 125, cy - 25, cx + 125, cy};
    canvas.FillRect(heading, ColorNavy);
    canvas.DrawText(text::ReviewHeading, heading, TextCentred, ColorWhite, ColorNavy,
                    TextFont::Default);
    canvas.DrawText(text::ReviewLine1, {cx - 125, cy + 10, cx + 125, cy + 30}, TextLeft, ColorBlack,
                    ColorWhite, TextFont::Default);
    canvas.DrawText(text::ReviewLine2, {cx - 125, cy + 35, cx + 125, cy + 50}, TextLeft, ColorBlack,
                    ColorWhite, TextFont::Default);
    canvas.DrawText(text::ReviewLine3, {cx - 125, cy + 55, cx + 125, cy + 70}, TextLeft, ColorBlack,
                    ColorWhite, TextFont::Default);
    canvas.DrawText(text::ReviewLine4, {cx - 125, cy + 75, cx + 125, cy + 90}, TextLeft, ColorBlack,
                    ColorWhite, TextFont::Default);
    for (ReviewButton b : Buttons)
        ShowButton(s, b, false);
}

uint32_t InstallAndReview(CalibratorState& s) {
    // Should the driver not answer, the buffer already holds what it would
    // load at its next start, so that going back restores a calibration
    // that works rather than whatever the buffer held.
    std::array<uint8_t, TouchSettings::Size> buffer{};
    TouchSettings{}.Encode(buffer);
    PutValues(LoadedCalibration(s.Reg), buffer);
    if (!Control(s, IOCTL_ORX_GET_SETTINGS, buffer))
        s.MainWindow->MessageBox(text::ReadSettingsFailed, text::ErrorCaption);
    const CalibrationValues old = GetValues(buffer);
    const CalibrationValues fresh{s.CalibrationX1, s.CalibrationX2, s.CalibrationX3,
                                  s.CalibrationY1, s.CalibrationY2, s.CalibrationY3,
                                  s.DirectionFlags};
    PutValues(fresh, buffer);
    if (!Control(s, IOCTL_ORX_SET_CALIBRATION, buffer))
        s.MainWindow->MessageBox(text::SendFailed, text::ErrorCaption);
    const uint32_t result = ReviewCalibration(s);
    if (result != ReviewSave) {
        PutValues(old, buffer);
        if (!Control(s, IOCTL_ORX_SET_CALIBRATION, buffer))
            s.MainWindow->MessageBox(text::RestoreFailed, text::ErrorCaption);
    }
    return result;
}

uint32_t ReviewCalibration(CalibratorState& s) {
    DrawReviewScreen(s);
    ReviewButton armed = ReviewButton::None;
    bool shownDown = false;
    s.ReviewMode = 1;
    ResetCountdown(s);
    s.CountdownActive = 1;

    uint32_t result = 0;
    while (result == 0) {
        if (s.CountdownExpired) {
            s.CountdownActive = 0;
            result = ReviewRedo;
            break;
        }
        WindowMessage m;
        if (!s.MainWindow->PeekMessage(&m)) {
            s.MainWindow->Pace();
            continue;
        }
        switch (m.Message) {
            case WM_KEYDOWN:
            case WM_SYSKEYDOWN:
                if (m.WParam == VK_ESCAPE)
                    result = ReviewUndo;
                break;
            case WM_MOUSEMOVE:
                // The armed button shows down while the pointer is on it.
                if (armed != ReviewButton::None &&
                    Inside(ReviewButtonRect(s, armed), m.LParam) != shownDown) {
                    shownDown = !shownDown;
                    ShowButton(s, armed, shownDown);
                }
                break;
            case WM_LBUTTONDOWN:
                s.CountdownActive = 0;
                ResetCountdown(s);
                if (armed != ReviewButton::None)
                    break;
                for (ReviewButton b : Buttons) {
                    if (Inside(ReviewButtonRect(s, b), m.LParam)) {
                        ShowButton(s, b, true);
                        armed = b;
                        shownDown = true;
                        break;
                    }
                }
                break;
            case WM_LBUTTONUP:
                s.CountdownActive = 1;
                if (armed != ReviewButton::None && shownDown) {
                    ShowButton(s, armed, false);
                    if (Inside(ReviewButtonRect(s, armed), m.LParam))
                        result = static_cast<uint32_t>(armed);
                    armed = ReviewButton::None;
                    shownDown = false;
                }
                break;
            default:
                break;
        }
    }
    s.MainWindow->Canvas().FillRect(ReviewArea(s), ColorWhite);
    s.ReviewMode = 0;
    return result;
}

}  // namespace orvex
