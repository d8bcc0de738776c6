// The control codes: the driver's only interface to programs. Each record
// crosses the boundary through its encode/decode in common/orvex.h.
#include <span>

#include "common/orvex.h"
#include "driver/driver.h"

namespace orvex {

namespace {

// A missing buffer, or one shorter than the record, fails the call and
// touches nothing: callers on the device were trusted to keep the sizes, a
// socket peer is not.
bool Fits(const void* buffer, uint32_t size, size_t record) {
    if (buffer == nullptr || size < record) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

void ReportBytes(uint32_t* returned, uint32_t bytes) {
    if (returned)
        *returned = bytes;
}

TouchSettings Snapshot(const DriverState& s) {
    TouchSettings t;
    t.ClickMode = static_cast<uint8_t>(s.ClickMode.Load());
    t.FeedbackSound = static_cast<uint8_t>(s.FeedbackSound.Load());
    t.FeedbackTone = static_cast<uint16_t>(s.FeedbackTone.Load());
    t.FeedbackDuration = static_cast<uint16_t>(s.FeedbackDuration.Load());
    t.RightClickArmed = static_cast<uint8_t>(s.RightClickArmed.Load());
    t.CalibrationX1 = s.CalibrationX1;
    t.CalibrationX2 = s.CalibrationX2;
    t.CalibrationX3 = s.CalibrationX3;
    t.CalibrationY1 = s.CalibrationY1;
    t.CalibrationY2 = s.CalibrationY2;
    t.CalibrationY3 = s.CalibrationY3;
    t.PanelDirection = static_cast<uint8_t>(s.PanelDirection.Load());
    t.Protocol = WireValue(s.Protocol);
    return t;
}

template <size_t N>
std::span<uint8_t, N> Out(uint8_t* p) {
    return std::span<uint8_t, N>(p, N);
}
template <size_t N>
std::span<const uint8_t, N> In(const uint8_t* p) {
    return std::span<const uint8_t, N>(p, N);
}

}  // namespace

uint32_t DriverIoControl(Driver& d, uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                         uint32_t outSize, uint32_t* returned) {
    DriverState& s = d.State;
    switch (code) {
        case IOCTL_ORX_STARTUP:
            DebugPrint(d, "ORVEXSER: Device IO Control Test ... Pass\r\n");
            MapSpeakerPorts(d);
            SelfTestBeep(d);
            if (s.RunRightButton == 1)
                ArmRightButtonLauncher(d);
            ReportBytes(returned, 0);
            return 0;  // the work is done; the code answers FALSE by design

        case IOCTL_ORX_GET_SETTINGS:
            if (!Fits(out, outSize, TouchSettings::Size))
                return 0;
            Snapshot(s).Encode(Out<TouchSettings::Size>(out));
            ReportBytes(returned, TouchSettings::Size);
            return 1;

        case IOCTL_ORX_GET_POINTER:
            if (!Fits(out, outSize, PointerState::Size))
                return 0;
            PointerState{s.LastX, s.LastY, s.ButtonState}.Encode(Out<PointerState::Size>(out));
            ReportBytes(returned, PointerState::Size);
            return 1;

        case IOCTL_ORX_GET_RAW_POINT:
            if (!Fits(out, outSize, RawPoint::Size))
                return 0;
            RawPoint{s.LastRawX, s.LastRawY, s.LastTouch, s.SampleCount}.Encode(
                Out<RawPoint::Size>(out));
            ReportBytes(returned, RawPoint::Size);
            return 1;

        case IOCTL_ORX_SET_FEEDBACK: {
            // This code takes its record from the OUTPUT buffer.
            if (!Fits(out, outSize, TouchSettings::Size))
                return 0;
            auto t = TouchSettings::Decode(In<TouchSettings::Size>(out));
            s.FeedbackSound = t.FeedbackSound;
            s.FeedbackTone = t.FeedbackTone;
            s.FeedbackDuration = CapFeedbackDuration(t.FeedbackDuration);
            ReportBytes(returned, 0);
            return 1;
        }

        case IOCTL_ORX_SET_CALIBRATION: {
            if (!Fits(in, inSize, TouchSettings::Size))
                return 0;
            auto t = TouchSettings::Decode(In<TouchSettings::Size>(in));
            s.CalibrationX1 = t.CalibrationX1;
            s.CalibrationX2 = t.CalibrationX2;
            s.CalibrationX3 = t.CalibrationX3;
            s.CalibrationY1 = t.CalibrationY1;
            s.CalibrationY2 = t.CalibrationY2;
            s.CalibrationY3 = t.CalibrationY3;
            s.PanelDirection = t.PanelDirection;
            RecomputeSpans(s);
            SaveCalibrationAndDirection(d, DriverKeyPath);
            FlushRegistrySoon(d);
            ReportBytes(returned, 0);
            return 1;  // also when a registry write failed: the calibration is in force
        }

        case IOCTL_ORX_GET_RIGHT_CLICK:
            if (!Fits(out, outSize, RightClickRequest::Size))
                return 0;
            RightClickRequest{s.RightClickWindow, s.RightClickPending}.Encode(
                Out<RightClickRequest::Size>(out));
            ReportBytes(returned, RightClickRequest::Size);
            return 1;

        case IOCTL_ORX_SET_RIGHT_CLICK: {
            if (!Fits(in, inSize, RightClickRequest::Size))
                return 0;
            auto r = RightClickRequest::Decode(In<RightClickRequest::Size>(in));
            s.RightClickPending = r.Pending;
            s.RightClickArmed = r.Pending;
            s.RightClickWindow = r.Window;
            ReportBytes(returned, 0);
            return 1;
        }

        default:
            DebugPrint(d, "ORVEXSER: Error IOCTL Code (0x%X)\r\n", code);
            return 0;
    }
}

}  // namespace orvex
