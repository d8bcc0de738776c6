// The program's own texts, exactly as it shows them, and the one bit of
// wsprintfW it needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvex::text {

inline constexpr char16_t Title[] = u"TouchScreen Calibration";
inline constexpr char16_t VersionUnknown[] = u"ORVEX Version X.X.X.X";
inline constexpr char16_t VersionPrefix[] = u"ORVEX Version ";
inline constexpr char16_t LiftOffToStart[] = u"PLEASE LIFT OFF TO START";
inline constexpr char16_t TouchTarget[] = u"Please touh on the center of target";
inline constexpr char16_t LiftOffToNextStep[] = u"PLEASE LIFT OFF TO NEXT STEP";
inline constexpr char16_t EscHint[] = u"Press ESC key to break calibration";
inline constexpr char16_t CountdownExit[] = u"( automatic exit after %d seconds )";
inline constexpr char16_t CountdownReview[] = u"( automatic re-calibrate after %d seconds )";
inline constexpr char16_t ErrorCaption[] = u"Error";
inline constexpr char16_t CalibrationCaption[] = u"Calibration";
inline constexpr char16_t DriverOpenFailed[] = u"Fail to load ORVEX driver (%s), error = %d";
inline constexpr char16_t NoTimer[] = u"Could not set timer!";
inline constexpr char16_t ReadSettingsFailed[] = u"Fail to rending current calibration data";
inline constexpr char16_t SendFailed[] = u"Fail to sending new calibration data";
inline constexpr char16_t RestoreFailed[] = u"Fail to restoring new calibration data";
inline constexpr char16_t DirectionWrong[] =
    u"Incorrect Panel Direction! ( %c%c%c%c%c%c%c%c - %c%c%c%c%c%c%c%c )\n"
    u"It may be caused by the Pinout of Touch Panel is not supported or touched on incorrect "
    u"position during the calibration.";
inline constexpr char16_t ReviewHeading[] = u"CALIBRATION IS COMPLETE";
inline constexpr char16_t ReviewLine1[] = u"For test, touch on and check cursor position.";
inline constexpr char16_t ReviewLine2[] = u"To save new calibration, click SAVE button.";
inline constexpr char16_t ReviewLine3[] = u"To restore old calibration, click UNDO button.";
inline constexpr char16_t ReviewLine4[] = u"To resume calibration, click REDO button.";
inline constexpr char16_t Save[] = u"SAVE";
inline constexpr char16_t Undo[] = u"UNDO";
inline constexpr char16_t Redo[] = u"REDO";

// Replaces the first "%d" with a decimal number.
inline std::u16string Format(std::u16string_view format, int32_t value) {
    std::u16string out(format);
    const auto at = out.find(u"%d");
    if (at != std::u16string::npos) {
        const std::string digits = std::to_string(value);
        out.replace(at, 2, std::u16string(digits.begin(), digits.end()));
    }
    return out;
}

// Replaces the first "%s" with text.
inline std::u16string FormatText(std::u16string_view format, std::u16string_view value) {
    std::u16string out(format);
    const auto at = out.find(u"%s");
    if (at != std::u16string::npos)
        out.replace(at, 2, value);
    return out;
}

}  // namespace orvex::text
