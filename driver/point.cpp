// The hot path: every report the reader thread frames ends here, one call
// per report, on the reader thread only. It beeps, decides the buttons from
// the click mode, turns the raw point by the panel direction, maps it through
// the calibration onto 0..0xFFFF and injects one pointer event when anything
// changed. Apart from the beep, whose length is capped, and the pointer
// backend's own call, nothing here allocates or waits: a slow report here
// holds back every report behind it.
#include "common/orvex.h"
#include "driver/driver.h"

namespace orvex {

namespace {

constexpr uint16_t RawLimit = 1023;
constexpr uint8_t LeftButton = 1;
constexpr uint8_t RightButton = 2;

// One axis through its three calibration points. Each field is loaded once,
// so a calibration being replaced on another thread can mix old and new
// values but never hands a divisor of 0 to the division (spans are never
// stored as 0).
uint16_t MapAxis(uint16_t v, const Shared<uint16_t>& p1f, const Shared<uint16_t>& p2f,
                 const Shared<uint16_t>& p3f, const Shared<uint16_t>& s1f,
                 const Shared<uint16_t>& s2f) {
    const uint16_t p1 = p1f, p2 = p2f;
    int32_t r;
    if (v < p2) {
        const uint16_t c = v < p1 ? p1 : v;
        r = ((int32_t{c} - int32_t{p1}) * 32768) / int32_t{s1f.Load()};
    } else {
        const uint16_t p3 = p3f;
        const uint16_t c = v > p3 ? p3 : v;
        // v <= 1023 keeps the product within 32 bits even for points in
        // reverse order.
        r = ((int32_t{c} - int32_t{p2}) * 32768) / int32_t{s2f.Load()} + 0x8000;
    }
    if (r > 0xFFFF)
        r = 0xFFFF;
    // Only reachable when points and spans of two different calibrations
    // meet in one report; a negative value must not wrap to the far edge.
    if (r < 0)
        r = 0;
    return static_cast<uint16_t>(r);
}

}  // namespace

uint32_t ProcessPoint(Driver& d, uint16_t rawX, uint16_t rawY, uint8_t touch) {
    DriverState& s = d.State;
    const uint8_t previous = s.LastTouch;
    const bool touchDown = touch != 0 && previous == 0;
    const bool liftOff = touch == 0 && previous != 0;

    switch (s.FeedbackSound.Load()) {
        case SoundOnTouchDown:
            if (touchDown)
                TouchBeep(d);
            break;
        case SoundOnLiftOff:
            if (liftOff)
                TouchBeep(d);
            break;
        case SoundOnBoth:
            if (touchDown || liftOff)
                TouchBeep(d);
            break;
        default:
            break;
    }

    const uint8_t button =
        (s.RightClickArmed == 1 && s.RightClickPending != 0) ? RightButton : LeftButton;

    uint8_t buttons = 0;
    switch (s.ClickMode.Load()) {
        case ClickWhileTouched:
            if (touch != 0) {
                buttons = button;
            } else {
                s.RightClickPending = 0;
            }
            break;
        case ClickOnTouchDown:
            if (touchDown) {
                buttons = button;
                s.RightClickPending = 0;
            }
            break;
        case ClickOnLiftOff:
            if (liftOff)
                buttons = button;
            break;
        case ClickNever:
            s.RightClickPending = 0;
            break;
        default:
            break;
    }

    uint16_t x = rawX > RawLimit ? RawLimit : rawX;
    uint16_t y = rawY > RawLimit ? RawLimit : rawY;

    s.SampleCount = static_cast<uint16_t>(s.SampleCount + 1);
    s.LastRawX = x;
    s.LastRawY = y;
    s.LastTouch = touch;

    if (const uint32_t dir = s.PanelDirection; dir != 0) {
        if (dir & 4) {
            const uint16_t t = x;
            x = y;
            y = t;
        }
        if (dir & 2)
            y = static_cast<uint16_t>(RawLimit - y);
        if (dir & 1)
            x = static_cast<uint16_t>(RawLimit - x);
    }

    const uint16_t mappedX =
        MapAxis(x, s.CalibrationX1, s.CalibrationX2, s.CalibrationX3, s.SpanX1, s.SpanX2);
    const uint16_t mappedY =
        MapAxis(y, s.CalibrationY1, s.CalibrationY2, s.CalibrationY3, s.SpanY1, s.SpanY2);

    uint32_t flags = MOUSEEVENTF_ABSOLUTE;
    if (mappedX != s.LastX || mappedY != s.LastY) {
        s.LastX = mappedX;
        s.LastY = mappedY;
        flags |= MOUSEEVENTF_MOVE;
    }

    const uint8_t before = s.ButtonState;
    if (buttons != before) {
        const uint8_t changed = buttons ^ before;
        if (changed & LeftButton)
            flags |= (buttons & LeftButton) ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
        if (changed & RightButton)
            flags |= (buttons & RightButton) ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP;
        s.ButtonState = buttons;
    }

    if (flags != MOUSEEVENTF_ABSOLUTE && d.Sys.Pointer)
        d.Sys.Pointer->MouseEvent(flags, mappedX, mappedY, 0, 0);

    if (s.RightClickArmed == 1 && s.RightClickPending == 0) {
        if (const uint32_t window = s.RightClickWindow; window != 0) {
            s.RightClickArmed = 0;
            // Posting never waits for the window; its result tells us nothing.
            if (d.Sys.Pointer)
                d.Sys.Pointer->PostMessage(window, WM_COMMAND, RightClickDoneCommand, 0);
        }
    }
    return 1;
}

}  // namespace orvex
