// The program around the procedure: the version line, the window procedure
// (driver and timer at creation, the static screen), and the command that
// runs after a saved calibration.
#include <string>

#include "calibrator/calibrator.h"
#include "calibrator/text.h"
#include "platform/error-help.h"

namespace orvex {

namespace {

constexpr uint32_t ValueBufferBytes = 256;

// Opens the driver key, queries one value into a 256-byte buffer and closes
// the key again. False when either step fails.
bool QueryDriverValue(Registry* reg, std::u16string_view name, uint32_t* type,
                      std::u16string* value, uint32_t* bytes) {
    uint8_t data[ValueBufferBytes] = {};
    uint32_t size = sizeof data;
    {
        const OpenedRegKey key(reg, DriverKeyPath);
        if (!key || reg->QueryValue(key.Get(), name, type, data, &size) != ERROR_SUCCESS)
            return false;
    }
    if (size > sizeof data)
        return false;
    value->assign(size / 2, u'\0');
    for (uint32_t i = 0; i < size / 2; ++i)
        (*value)[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    *bytes = size;
    return true;
}

// Up to the first terminator.
std::u16string_view UntilTerminator(std::u16string_view s) {
    const auto end = s.find(u'\0');
    return end == std::u16string_view::npos ? s : s.substr(0, end);
}

}  // namespace

void ReadDriverVersion(CalibratorState& s) {
    s.VersionText = text::VersionUnknown;
    std::u16string value;
    uint32_t type = 0, bytes = 0;
    // The value's type is not looked at.
    if (QueryDriverValue(s.Reg, u"Version", &type, &value, &bytes))
        s.VersionText =
            std::u16string(text::VersionPrefix) + std::u16string(UntilTerminator(value));
}

void PaintWindow(CalibratorState& s) {
    CalibratorCanvas& canvas = s.MainWindow->Canvas();
    const int32_t q = s.ScreenHeight / 4, cx = s.ScreenWidth / 2;
    canvas.DrawText(text::Title, {0, q - 50, s.ScreenWidth - 1, q + 50}, TextCentred, ColorRed,
                    ColorWhite, TextFont::Title);
    canvas.DrawText(s.VersionText, {0, q + 50, s.ScreenWidth - 1, q + 70}, TextCentred, ColorBlue,
                    ColorWhite, TextFont::Default);
    s.CountdownBar = {cx - 126, 3 * q + 25, cx + 126, 3 * (q + 15)};
}

uint32_t CalibratorWindowProc(CalibratorState& s, uint32_t message) {
    CalibratorHost& w = *s.MainWindow;
    switch (message) {
        case WM_CREATE: {
            s.ReviewMode = 0;
            uint32_t error = 0;
            s.DriverHandle = w.OpenDevice(DriverDeviceName, &error);
            if (!s.DriverHandle) {
                const std::u16string m =
                    text::Format(text::FormatText(text::DriverOpenFailed, DriverDeviceName),
                                 static_cast<int32_t>(error)) +
                    AccessAdvice(error);
                w.MessageBox(m, text::ErrorCaption);
                w.PostQuitMessage();
                return 0;
            }
            s.TickTimer = w.StartTimer();
            if (s.TickTimer == 0)
                w.MessageBox(text::NoTimer, text::ErrorCaption);
            w.PostMessage(WM_START_CALIBRATION);
            return 0;
        }
        case WM_DESTROY:
            if (s.DriverHandle) {
                s.DriverHandle.reset();
                w.StopTimer(s.TickTimer);
                s.TickTimer = 0;
            }
            w.PostQuitMessage();
            return 0;
        case WM_PAINT:
            PaintWindow(s);
            return 0;
        case WM_START_CALIBRATION:
            RunCalibration(s);
            w.DestroyWindow();
            return 0;
        default:
            return 0;
    }
}

bool ReadRunCommand(CalibratorState& s) {
    std::u16string value;
    uint32_t type = 0, bytes = 0;
    if (!QueryDriverValue(s.Reg, u"OemRunWhenCalOK", &type, &value, &bytes))
        return false;
    if (type != REG_SZ || bytes <= 2)
        return false;
    s.RunCommand = value;  // bytes / 2 characters, terminator included
    return !s.RunCommand.empty() && s.RunCommand[0] != u'\0';
}

std::pair<std::u16string, std::u16string> SplitRunCommand(std::u16string_view command) {
    const std::u16string_view value = UntilTerminator(command);
    const auto blank = value.find(u' ');
    if (blank == std::u16string_view::npos)
        return {std::u16string(value), std::u16string()};
    return {std::u16string(value.substr(0, blank)), std::u16string(value.substr(blank + 1))};
}

void RunAfterSave(CalibratorState& s) {
    if (!ReadRunCommand(s))
        return;
    // An administrator calibrating with sudo would otherwise run whatever a
    // member of the group put in the value, as root.
    if (s.EffectiveUid == 0) {
        if (s.Errors)
            s.Errors->Print(
                "orvexcal: running as root, so the post-save command in OemRunWhenCalOK is not "
                "started\n");
        return;
    }
    const auto [file, parameters] = SplitRunCommand(s.RunCommand);
    // A command that cannot be started is not reported.
    if (s.Programs)
        (void)s.Programs->ShellExecute(file, parameters, 1);
}

}  // namespace orvex
