// ORVEX shared definitions: the driver's control codes, the four records that
// cross the device boundary, the driver's registry key, and the named values
// of its settings (report protocol, feedback sound, click mode).
//
// Every record is a packed little-endian byte array. A record crosses a process
// boundary only through Encode/Decode below; the structs are the in-memory
// form and their layout is never copied as raw bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orvex {

inline constexpr char16_t DriverKeyPath[] = u"Drivers\\BuiltIn\\ORVEXSER";
inline constexpr char DriverVersion[] = "6.0.1.1";

// Control codes: device type 0xFFFF, any access, buffered.
constexpr uint32_t CtlCode(uint32_t function) {
    return (0xFFFFu << 16) | (function << 2);
}

inline constexpr uint32_t IOCTL_ORX_STARTUP = 0x00000000;
inline constexpr uint32_t IOCTL_ORX_GET_SETTINGS = CtlCode(0xC02);
inline constexpr uint32_t IOCTL_ORX_GET_POINTER = CtlCode(0xC03);
inline constexpr uint32_t IOCTL_ORX_GET_RAW_POINT = CtlCode(0xC04);
inline constexpr uint32_t IOCTL_ORX_SET_FEEDBACK = CtlCode(0xC07);
inline constexpr uint32_t IOCTL_ORX_SET_CALIBRATION = CtlCode(0xC0A);
inline constexpr uint32_t IOCTL_ORX_GET_RIGHT_CLICK = CtlCode(0xC0D);
inline constexpr uint32_t IOCTL_ORX_SET_RIGHT_CLICK = CtlCode(0xC0E);

static_assert(IOCTL_ORX_GET_SETTINGS == 0xFFFF3008u);
static_assert(IOCTL_ORX_GET_POINTER == 0xFFFF300Cu);
static_assert(IOCTL_ORX_GET_RAW_POINT == 0xFFFF3010u);
static_assert(IOCTL_ORX_SET_FEEDBACK == 0xFFFF301Cu);
static_assert(IOCTL_ORX_SET_CALIBRATION == 0xFFFF3028u);
static_assert(IOCTL_ORX_GET_RIGHT_CLICK == 0xFFFF3034u);
static_assert(IOCTL_ORX_SET_RIGHT_CLICK == 0xFFFF3038u);

// The controller's report protocol, as detection finds it. The record carries
// it as one byte (TouchSettings::Protocol), the value below.
enum class ReportProtocol : uint8_t { TS = 0, EL = 1 };
constexpr uint8_t WireValue(ReportProtocol p) {
    return static_cast<uint8_t>(p);
}

// FeedbackSound: when a touch beeps. Any other value never beeps.
inline constexpr uint8_t SoundNever = 1;
inline constexpr uint8_t SoundOnTouchDown = 2;
inline constexpr uint8_t SoundOnLiftOff = 3;
inline constexpr uint8_t SoundOnBoth = 4;

// ClickMode: when the touch presses a button. Any other value never presses.
inline constexpr uint8_t ClickNever = 1;
inline constexpr uint8_t ClickOnLiftOff = 2;
inline constexpr uint8_t ClickOnTouchDown = 3;
inline constexpr uint8_t ClickWhileTouched = 4;

// The window message and command id of the right-click notification.
inline constexpr uint32_t WM_COMMAND = 0x0111;
inline constexpr uint32_t RightClickDoneCommand = 0x7FFF;

// ---------------------------------------------------------------------------
// Little-endian helpers. Callers pass spans that are at least as long as the
// record; the encode/decode functions never look past the record's size.

inline uint16_t GetU16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t GetU32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline void PutU16(std::span<uint8_t> b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(std::span<uint8_t> b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---------------------------------------------------------------------------
// TouchSettings, 82 bytes.
//
//   0x00 u16 0       0x02 u8 0xFF     0x03 u8 0
//   0x04+4n u16 0, 0x06+4n u8 0xFF, 0x07+4n untouched   (n = 0..8)
//   0x28 ClickMode   0x29 FeedbackSound   0x2A FeedbackTone   0x2C FeedbackDuration
//   0x2E 0  0x2F 1  0x30 10  0x31 10  0x32 1  0x33 0  0x34 0
//   0x35 RightClickArmed   0x36..0x39 untouched
//   0x3A..0x45 CalibrationX1..X3, Y1..Y3 (u16)
//   0x46 PanelDirection   0x47 Protocol   0x48 640   0x4A 480   0x4C..0x51 0
struct TouchSettings {
    static constexpr size_t Size = 0x52;
    static constexpr size_t OffClickMode = 0x28;
    static constexpr size_t OffFeedbackSound = 0x29;
    static constexpr size_t OffFeedbackTone = 0x2A;
    static constexpr size_t OffFeedbackDuration = 0x2C;
    static constexpr size_t OffRightClickArmed = 0x35;
    static constexpr size_t OffCalibrationX1 = 0x3A;
    static constexpr size_t OffCalibrationX2 = 0x3C;
    static constexpr size_t OffCalibrationX3 = 0x3E;
    static constexpr size_t OffCalibrationY1 = 0x40;
    static constexpr size_t OffCalibrationY2 = 0x42;
    static constexpr size_t OffCalibrationY3 = 0x44;
    static constexpr size_t OffPanelDirection = 0x46;
    static constexpr size_t OffProtocol = 0x47;
    static constexpr size_t OffScreenWidth = 0x48;
    static constexpr size_t OffScreenHeight = 0x4A;

    uint8_t ClickMode = ClickWhileTouched;
    uint8_t FeedbackSound = SoundNever;
    uint16_t FeedbackTone = 2000;
    uint16_t FeedbackDuration = 1;
    uint8_t RightClickArmed = 0;
    uint16_t CalibrationX1 = 0, CalibrationX2 = 511, CalibrationX3 = 1023;
    uint16_t CalibrationY1 = 0, CalibrationY2 = 511, CalibrationY3 = 1023;
    uint8_t PanelDirection = 0;
    uint8_t Protocol = WireValue(ReportProtocol::TS);

    // Writes every field and the fixed reserved bytes; the bytes at 0x07 + 4n
    // and 0x36..0x39 keep what the buffer held.
    void Encode(std::span<uint8_t, Size> out) const;
    static TouchSettings Decode(std::span<const uint8_t, Size> in);

    // The two partial writes the programs make: the feedback block (0x29..0x2D)
    // and the calibration block (0x3A..0x46). Other bytes are left alone.
    void EncodeFeedback(std::span<uint8_t, Size> out) const;
    void EncodeCalibration(std::span<uint8_t, Size> out) const;
};
static_assert(TouchSettings::Size == 82);
static_assert(TouchSettings::OffCalibrationY3 + 2 == TouchSettings::OffPanelDirection);
static_assert(TouchSettings::OffScreenHeight + 2 + 6 == TouchSettings::Size);

// PointerState, 6 bytes: X u16, Y u16, Buttons u8, reserved u8 = 1.
struct PointerState {
    static constexpr size_t Size = 6;
    uint16_t X = 0xFFFF;
    uint16_t Y = 0xFFFF;
    uint8_t Buttons = 0;

    void Encode(std::span<uint8_t, Size> out) const {
        PutU16(out, 0, X);
        PutU16(out, 2, Y);
        out[4] = Buttons;
        out[5] = 1;
    }
    static PointerState Decode(std::span<const uint8_t, Size> in) {
        return PointerState{GetU16(in, 0), GetU16(in, 2), in[4]};
    }
};

// RawPoint, 8 bytes: X u16, Y u16, Touch u8, reserved u8 = 0, SampleCount u16.
struct RawPoint {
    static constexpr size_t Size = 8;
    uint16_t X = 0xFFFF;
    uint16_t Y = 0xFFFF;
    uint8_t Touch = 0;
    uint16_t SampleCount = 0;

    void Encode(std::span<uint8_t, Size> out) const {
        PutU16(out, 0, X);
        PutU16(out, 2, Y);
        out[4] = Touch;
        out[5] = 0;
        PutU16(out, 6, SampleCount);
    }
    static RawPoint Decode(std::span<const uint8_t, Size> in) {
        return RawPoint{GetU16(in, 0), GetU16(in, 2), in[4], GetU16(in, 6)};
    }
};

// RightClickRequest, 6 bytes: Window u32, Pending u16.
struct RightClickRequest {
    static constexpr size_t Size = 6;
    uint32_t Window = 0;
    uint16_t Pending = 0;

    void Encode(std::span<uint8_t, Size> out) const {
        PutU32(out, 0, Window);
        PutU16(out, 4, Pending);
    }
    static RightClickRequest Decode(std::span<const uint8_t, Size> in) {
        return RightClickRequest{GetU32(in, 0), GetU16(in, 4)};
    }
};

// ---------------------------------------------------------------------------

inline void TouchSettings::EncodeFeedback(std::span<uint8_t, Size> out) const {
    out[OffFeedbackSound] = FeedbackSound;
    PutU16(out, OffFeedbackTone, FeedbackTone);
    PutU16(out, OffFeedbackDuration, FeedbackDuration);
}

inline void TouchSettings::EncodeCalibration(std::span<uint8_t, Size> out) const {
    PutU16(out, OffCalibrationX1, CalibrationX1);
    PutU16(out, OffCalibrationX2, CalibrationX2);
    PutU16(out, OffCalibrationX3, CalibrationX3);
    PutU16(out, OffCalibrationY1, CalibrationY1);
    PutU16(out, OffCalibrationY2, CalibrationY2);
    PutU16(out, OffCalibrationY3, CalibrationY3);
    out[OffPanelDirection] = PanelDirection;
}

inline void TouchSettings::Encode(std::span<uint8_t, Size> out) const {
    PutU16(out, 0x00, 0);
    out[0x02] = 0xFF;
    out[0x03] = 0;
    for (size_t n = 0; n <= 8; ++n) {
        PutU16(out, 0x04 + 4 * n, 0);
        out[0x06 + 4 * n] = 0xFF;
    }
    out[OffClickMode] = ClickMode;
    EncodeFeedback(out);
    static constexpr uint8_t Fixed[] = {0, 1, 10, 10, 1, 0, 0};
    for (size_t i = 0; i < sizeof Fixed; ++i)
        out[0x2E + i] = Fixed[i];
    out[OffRightClickArmed] = RightClickArmed;
    EncodeCalibration(out);
    out[OffProtocol] = Protocol;
    PutU16(out, OffScreenWidth, 640);
    PutU16(out, OffScreenHeight, 480);
    for (size_t i = 0x4C; i < Size; ++i)
        out[i] = 0;
}

inline TouchSettings TouchSettings::Decode(std::span<const uint8_t, Size> in) {
    TouchSettings s;
    s.ClickMode = in[OffClickMode];
    s.FeedbackSound = in[OffFeedbackSound];
    s.FeedbackTone = GetU16(in, OffFeedbackTone);
    s.FeedbackDuration = GetU16(in, OffFeedbackDuration);
    s.RightClickArmed = in[OffRightClickArmed];
    s.CalibrationX1 = GetU16(in, OffCalibrationX1);
    s.CalibrationX2 = GetU16(in, OffCalibrationX2);
    s.CalibrationX3 = GetU16(in, OffCalibrationX3);
    s.CalibrationY1 = GetU16(in, OffCalibrationY1);
    s.CalibrationY2 = GetU16(in, OffCalibrationY2);
    s.CalibrationY3 = GetU16(in, OffCalibrationY3);
    s.PanelDirection = in[OffPanelDirection];
    s.Protocol = in[OffProtocol];
    return s;
}

}  // namespace orvex
