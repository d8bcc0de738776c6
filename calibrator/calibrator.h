// ORVEXCAL's logic: the program state, the calibration procedure, the
// panel-direction check, the install-and-review step and the start-up and
// post-save work. It knows no window system: everything it needs from its
// platform comes through CalibratorHost (the window, its message queue, the
// one-second tick, message boxes) and CalibratorCanvas (the window's device
// context), plus the platform's device client, registry and launcher.
//
// Like the design it follows, the procedure is a set of blocking waits. A
// wait turn is: let the platform run (CalibratorHost::Pace), read the
// driver, take at most one message. The tick runs only inside Pace, so it
// never lands in the middle of a drawing step.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "common/orvex.h"
#include "device/client.h"
#include "platform/debug.h"
#include "platform/launcher.h"
#include "platform/registry.h"
#include "platform/window-messages.h"

namespace orvex {

// ---- window-system vocabulary the logic speaks

using ColorRef = uint32_t;  // 0x00BBGGRR
inline constexpr ColorRef ColorBlack = 0x000000;
inline constexpr ColorRef ColorWhite = 0xFFFFFF;
inline constexpr ColorRef ColorRed = 0x0000FF;
inline constexpr ColorRef ColorBlue = 0xFF0000;
inline constexpr ColorRef ColorGreen = 0x008000;
inline constexpr ColorRef ColorYellow = 0x00FFFF;
inline constexpr ColorRef ColorNavy = 0x800000;
inline constexpr ColorRef ColorLightGrey = 0xC0C0C0;
inline constexpr ColorRef ColorGrey = 0x808080;

// Left, top, right, bottom; right and bottom are exclusive when filling.
struct Rect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const Rect&) const = default;
};

// DrawTextW formats: single line, vertically centred; centred horizontally
// (37) or left-aligned (36).
inline constexpr uint32_t DT_CENTER = 0x01;
inline constexpr uint32_t DT_VCENTER = 0x04;
inline constexpr uint32_t DT_SINGLELINE = 0x20;
inline constexpr uint32_t TextCentred = DT_SINGLELINE | DT_VCENTER | DT_CENTER;  // 37
inline constexpr uint32_t TextLeft = DT_SINGLELINE | DT_VCENTER;                 // 36

enum class TextFont : uint8_t {
    Default,  // the window's default font
    Title,    // Times New Roman, 12 high, 12 wide, normal weight
};

inline constexpr uint32_t WM_CREATE = 0x0001;
inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_PAINT = 0x000F;
inline constexpr uint32_t WM_KEYDOWN = 0x0100;
inline constexpr uint32_t WM_SYSKEYDOWN = 0x0104;
inline constexpr uint32_t WM_MOUSEMOVE = 0x0200;
inline constexpr uint32_t WM_LBUTTONDOWN = 0x0201;
inline constexpr uint32_t WM_LBUTTONUP = 0x0202;
inline constexpr uint32_t WM_START_CALIBRATION = 0x7FFF;
inline constexpr uint32_t VK_RETURN = 0x0D;
inline constexpr uint32_t VK_ESCAPE = 0x1B;

// The window's queue holds the platform's WindowMessage with Window left 0:
// the queue is the one window's own. A pointer message's LParam is
// x | y << 16, in window coordinates.
inline constexpr uint32_t PointerLParam(uint32_t x, uint32_t y) {
    return (x & 0xFFFF) | ((y & 0xFFFF) << 16);
}

// The window's device context: the drawing operations the procedure uses,
// on an image the size of the screen that the window shows.
class CalibratorCanvas {
  public:
    virtual ~CalibratorCanvas() = default;
    virtual void FillRect(const Rect& r, ColorRef color) = 0;
    // DrawTextW with the background mode left opaque: the text's cells are
    // painted in the background colour.
    virtual void DrawText(std::u16string_view text, const Rect& r, uint32_t format,
                          ColorRef textColor, ColorRef background, TextFont font) = 0;
    // Polyline through two points with a solid pen; the last point is not
    // drawn.
    virtual void DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t width,
                          ColorRef color) = 0;
    // A memory context with a bitmap of width x height; false when it cannot
    // be made.
    virtual bool CreateMemoryBitmap(int32_t width, int32_t height) = 0;
    // BitBlt SRCCOPY between the window at (x, y) and the bitmap at (0, 0).
    virtual void CopyToMemory(int32_t x, int32_t y) = 0;
    virtual void CopyFromMemory(int32_t x, int32_t y) = 0;
    virtual void DeleteMemoryBitmap() = 0;
};

struct CalibratorState;

// What the program needs from its window and window system.
class CalibratorHost {
  public:
    virtual ~CalibratorHost() = default;
    virtual CalibratorCanvas& Canvas() = 0;
    // One turn's worth of time passes: the platform delivers input into the
    // window's queue and runs the one-second tick (CountdownTick) here. It
    // never burns a core: it returns after a short pause or an event.
    virtual void Pace() = 0;
    // PeekMessageW with PM_REMOVE: takes at most one pending message.
    virtual bool PeekMessage(WindowMessage* message) = 0;
    // Modal, OK button only.
    virtual void MessageBox(std::u16string_view text, std::u16string_view caption) = 0;
    virtual void MessageBeep() = 0;
    // CreateFileW on a device; null with *error set on failure.
    virtual std::unique_ptr<DeviceHandle> OpenDevice(std::u16string_view name, uint32_t* error) = 0;
    // SetTimer of one second whose callback is CountdownTick; 0 on failure.
    virtual uint32_t StartTimer() = 0;
    virtual void StopTimer(uint32_t id) = 0;
    // Queues a message for the window procedure (PostMessageW).
    virtual void PostMessage(uint32_t message) = 0;
    virtual void DestroyWindow() = 0;
    virtual void PostQuitMessage() = 0;
};

struct Point {
    int32_t x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

// The calibration values and the orientation, as the TouchSettings fields.
struct CalibrationValues {
    uint16_t CalibrationX1 = 0, CalibrationX2 = 0, CalibrationX3 = 0;
    uint16_t CalibrationY1 = 0, CalibrationY2 = 0, CalibrationY3 = 0;
    uint8_t PanelDirection = 0;
    bool operator==(const CalibrationValues&) const = default;
};

// The program's state. Arrays indexed by target run 1..4; entry 0 is
// unused, so the numbers read as the targets do.
struct CalibratorState {
    int32_t ScreenWidth = 0, ScreenHeight = 0;
    CalibratorHost* MainWindow = nullptr;
    std::unique_ptr<DeviceHandle> DriverHandle;
    uint32_t TickTimer = 0;
    int32_t CountdownActive = 0;
    uint32_t CountdownSeconds = 0;
    int32_t CountdownExpired = 0;
    int32_t ReviewMode = 0;
    Rect CountdownBar{};
    std::array<Point, 5> TargetPoint{};
    std::array<uint16_t, 5> SampleX{}, SampleY{};
    uint8_t DirectionFlags = 0;
    uint16_t CalibrationX1 = 0, CalibrationX2 = 0, CalibrationX3 = 0;
    uint16_t CalibrationY1 = 0, CalibrationY2 = 0, CalibrationY3 = 0;
    int32_t CalibrationSaved = 0;
    std::u16string VersionText;
    std::u16string RunCommand;

    // The RawPoint buffer the waits read into; it keeps its bytes between
    // reads, so a refused read leaves the last point in place.
    std::array<uint8_t, RawPoint::Size> RawBuffer{};
    // A memory bitmap exists for the current pass.
    bool HasMemoryBitmap = false;
    // The platform's registry and launcher (not owned; either may be null).
    Registry* Reg = nullptr;
    Launcher* Programs = nullptr;
    // The effective user the program runs as (the front asks the system).
    // Root starts no post-save command: every member of the group may set
    // it. Root until told otherwise.
    uint32_t EffectiveUid = 0;
    // The program's standard error (not owned; may be null).
    DebugOutput* Errors = nullptr;
};

inline constexpr char16_t DriverDeviceName[] = u"ORX1:";
inline constexpr char16_t WindowTitle[] = u"ORVEXCAL";  // string resources 101 and 102
inline constexpr int32_t CountdownLimit = 30;

// ---- start-up, window procedure, post-save command

void ReadDriverVersion(CalibratorState& s);
// WM_CREATE, WM_DESTROY, WM_PAINT and WM_START_CALIBRATION; 0 for each.
uint32_t CalibratorWindowProc(CalibratorState& s, uint32_t message);
// The paint handler: title, version line and CountdownBar.
void PaintWindow(CalibratorState& s);

bool ReadRunCommand(CalibratorState& s);
// The file part and the parameters of a command of n characters (the value
// as read, terminator included when there is one).
std::pair<std::u16string, std::u16string> SplitRunCommand(std::u16string_view command);
// Starts the command, unless the program runs as root: then one line on
// Errors says it was not started.
void RunAfterSave(CalibratorState& s);

// ---- the procedure

void RunCalibration(CalibratorState& s);
// Step 1 of RunCalibration: the four target centres.
void PlaceTargets(CalibratorState& s);
uint32_t WaitLiftOffToStart(CalibratorState& s);
uint32_t SampleTarget(CalibratorState& s, int i);
void DrawTarget(CalibratorState& s, int i);
void EraseTarget(CalibratorState& s, int i);
void ShowPrompt(CalibratorState& s, std::u16string_view text);
void DrawEscHint(CalibratorState& s);
void ResetCountdown(CalibratorState& s);
void CountdownTick(CalibratorState& s);
void DrawCountdownStep(CalibratorState& s);
void DrawCountdownText(CalibratorState& s);
void ComputeCalibration(CalibratorState& s);

// ---- the panel-direction check

// Fills 8 characters and a terminating 0.
void BuildDirectionPattern(const CalibratorState& s, char pattern[9]);
uint8_t MatchDirectionPattern(const char* pattern);
uint32_t CheckPanelDirection(CalibratorState& s);

// ---- installing and reviewing

enum ReviewResult : uint32_t { ReviewSave = 1, ReviewUndo = 2, ReviewRedo = 3 };

uint32_t InstallAndReview(CalibratorState& s);
uint32_t ReviewCalibration(CalibratorState& s);
// The review screen as ReviewCalibration first draws it.
void DrawReviewScreen(CalibratorState& s);
void DrawButtonUp(CalibratorState& s, const Rect& r, std::u16string_view caption);
void DrawButtonDown(CalibratorState& s, const Rect& r, std::u16string_view caption);

enum class ReviewButton : uint8_t { None = 0, Save = 1, Undo = 2, Redo = 3 };
Rect ReviewButtonRect(const CalibratorState& s, ReviewButton b);
Rect ReviewArea(const CalibratorState& s);

// The calibration the driver would load at its next start: the registry
// values, or the driver's fallbacks for those missing.
CalibrationValues LoadedCalibration(Registry* reg);

}  // namespace orvex
