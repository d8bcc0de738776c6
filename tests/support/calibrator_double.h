// A scripted stand-in for everything the calibration logic needs from its
// platform: a driver whose raw point the script sets, a message queue, the
// tick, a canvas that records what is drawn, and message boxes. Each Pace()
// performs the next step of the script, so a whole calibration runs in a
// test without a display and without sleeping.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "calibrator/calibrator.h"

namespace orvex::test {

struct DrawOp {
    enum Kind { Fill, Text, Line, SaveSquare, RestoreSquare } What;
    Rect Area;  // Line: x0, y0, x1, y1
    ColorRef Color = 0;
    std::u16string Words;
    uint32_t Format = 0;
};

class RecordingCanvas final : public CalibratorCanvas {
  public:
    void FillRect(const Rect& r, ColorRef c) override {
        Ops.push_back({DrawOp::Fill, r, c, {}, 0});
    }
    void DrawText(std::u16string_view t, const Rect& r, uint32_t format, ColorRef c, ColorRef,
                  TextFont) override {
        Ops.push_back({DrawOp::Text, r, c, std::u16string(t), format});
    }
    void DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t, ColorRef c) override {
        Ops.push_back({DrawOp::Line, {x0, y0, x1, y1}, c, {}, 0});
    }
    bool CreateMemoryBitmap(int32_t, int32_t) override { return BitmapWorks; }
    void CopyToMemory(int32_t x, int32_t y) override {
        Ops.push_back({DrawOp::SaveSquare, {x, y, x + 34, y + 34}, 0, {}, 0});
    }
    void CopyFromMemory(int32_t x, int32_t y) override {
        Ops.push_back({DrawOp::RestoreSquare, {x, y, x + 34, y + 34}, 0, {}, 0});
    }
    void DeleteMemoryBitmap() override {}

    // The texts drawn, in order.
    std::vector<std::u16string> Texts() const {
        std::vector<std::u16string> t;
        for (const auto& op : Ops)
            if (op.What == DrawOp::Text)
                t.push_back(op.Words);
        return t;
    }
    int Count(const Rect& r, ColorRef c) const {
        int n = 0;
        for (const auto& op : Ops)
            n += op.What == DrawOp::Fill && op.Area == r && op.Color == c;
        return n;
    }
    bool Filled(const Rect& r, ColorRef c) const { return Count(r, c) > 0; }

    std::vector<DrawOp> Ops;
    bool BitmapWorks = true;
};

// The driver: the script sets its raw point; calibration calls are
// recorded with the record they carried.
struct ScriptedDriver {
    RawPoint Raw;
    TouchSettings Settings;
    uint32_t GetSettingsResult = 1;
    std::vector<uint32_t> SetCalibrationResults;  // consumed in order; 1 when empty
    uint32_t RawResult = 1;
    std::vector<TouchSettings> CalibrationsSent;
    uint32_t RawReads = 0;
};

class ScriptedDevice final : public DeviceHandle {
  public:
    explicit ScriptedDevice(ScriptedDriver& d) : D_(d) {}
    uint32_t IoControl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                       uint32_t outSize, uint32_t*) override {
        if (code == IOCTL_ORX_GET_RAW_POINT && outSize == RawPoint::Size && in == out) {
            ++D_.RawReads;
            if (D_.RawResult)
                D_.Raw.Encode(std::span<uint8_t, RawPoint::Size>(out, RawPoint::Size));
            return D_.RawResult;
        }
        if (inSize != TouchSettings::Size || outSize != TouchSettings::Size || in != out)
            return 0;  // the program always passes one full buffer both ways
        std::span<uint8_t, TouchSettings::Size> b(out, TouchSettings::Size);
        if (code == IOCTL_ORX_GET_SETTINGS) {
            if (D_.GetSettingsResult)
                D_.Settings.Encode(b);
            return D_.GetSettingsResult;
        }
        if (code == IOCTL_ORX_SET_CALIBRATION) {
            D_.CalibrationsSent.push_back(TouchSettings::Decode(b));
            uint32_t r = 1;
            if (!D_.SetCalibrationResults.empty()) {
                r = D_.SetCalibrationResults.front();
                D_.SetCalibrationResults.erase(D_.SetCalibrationResults.begin());
            }
            if (r) {
                const TouchSettings t = TouchSettings::Decode(b);
                D_.Settings.CalibrationX1 = t.CalibrationX1;
                D_.Settings.CalibrationX2 = t.CalibrationX2;
                D_.Settings.CalibrationX3 = t.CalibrationX3;
                D_.Settings.CalibrationY1 = t.CalibrationY1;
                D_.Settings.CalibrationY2 = t.CalibrationY2;
                D_.Settings.CalibrationY3 = t.CalibrationY3;
                D_.Settings.PanelDirection = t.PanelDirection;
            }
            return r;
        }
        return 0;
    }
    uint32_t Read(uint8_t*, uint32_t) override { return 0; }
    uint32_t Write(const uint8_t*, uint32_t) override { return 0; }
    uint32_t Seek(int32_t, uint32_t) override { return 0xFFFFFFFF; }

  private:
    ScriptedDriver& D_;
};

class ScriptedHost final : public CalibratorHost {
  public:
    explicit ScriptedHost(CalibratorState& s, int32_t width = 640, int32_t height = 480) : S(s) {
        s.ScreenWidth = width;
        s.ScreenHeight = height;
        s.MainWindow = this;
    }

    // ---- the script: one step per Pace

    ScriptedHost& Do(std::function<void()> step) {
        Script.push_back(std::move(step));
        return *this;
    }
    ScriptedHost& Touch(uint16_t x, uint16_t y) {
        return Do([this, x, y] {
            Driver.Raw = {x, y, 8, static_cast<uint16_t>(Driver.Raw.SampleCount + 1)};
        });
    }
    ScriptedHost& Lift() {
        return Do([this] {
            Driver.Raw.Touch = 0;
            ++Driver.Raw.SampleCount;
        });
    }
    ScriptedHost& Key(uint32_t vk) {
        return Do([this, vk] { Messages.push_back({.Message = WM_KEYDOWN, .WParam = vk}); });
    }
    ScriptedHost& Pointer(uint32_t message, uint32_t x, uint32_t y) {
        return Do([this, message, x, y] {
            Messages.push_back({.Message = message, .LParam = PointerLParam(x, y)});
        });
    }
    ScriptedHost& Tap(uint32_t x, uint32_t y) {
        return Pointer(WM_LBUTTONDOWN, x, y).Pointer(WM_LBUTTONUP, x, y);
    }
    ScriptedHost& Ticks(int n) {
        for (int i = 0; i < n; ++i)
            Do([this] { CountdownTick(S); });
        return *this;
    }
    // A touch on each target with these raw points.
    ScriptedHost& Targets(const std::array<uint16_t, 4>& x, const std::array<uint16_t, 4>& y) {
        for (size_t i = 0; i < 4; ++i)
            Touch(x[i], y[i]).Lift();
        return *this;
    }

    // The program from window creation to its end, as the front runs it.
    void RunProgram() {
        CalibratorWindowProc(S, WM_CREATE);
        if (Quit)
            return;
        CalibratorWindowProc(S, WM_PAINT);
        if (Posted == WM_START_CALIBRATION)
            CalibratorWindowProc(S, WM_START_CALIBRATION);
        if (S.CalibrationSaved)
            RunAfterSave(S);
    }

    // ---- CalibratorHost

    CalibratorCanvas& Canvas() override { return Paint; }
    void Pace() override {
        ++Paces;
        if (!Script.empty()) {
            auto step = std::move(Script.front());
            Script.pop_front();
            step();
            return;
        }
        // Out of script: end whatever wait is running, and say so.
        Exhausted = true;
        Driver.Raw.Touch = 0;
        CountdownTick(S);
    }
    bool PeekMessage(WindowMessage* m) override {
        if (Messages.empty())
            return false;
        *m = Messages.front();
        Messages.pop_front();
        return true;
    }
    void MessageBox(std::u16string_view text, std::u16string_view caption) override {
        Boxes.push_back({std::u16string(caption), std::u16string(text)});
    }
    void MessageBeep() override { ++Beeps; }
    std::unique_ptr<DeviceHandle> OpenDevice(std::u16string_view name, uint32_t* error) override {
        OpenedName = name;
        if (!DeviceWorks) {
            *error = OpenError;
            return nullptr;
        }
        return std::make_unique<ScriptedDevice>(Driver);
    }
    uint32_t StartTimer() override { return TimerId; }
    void StopTimer(uint32_t) override {}
    void PostMessage(uint32_t message) override { Posted = message; }
    void DestroyWindow() override {
        Destroyed = true;
        CalibratorWindowProc(S, WM_DESTROY);
    }
    void PostQuitMessage() override { Quit = true; }

    struct Box {
        std::u16string Caption, Text;
    };

    CalibratorState& S;
    ScriptedDriver Driver;
    RecordingCanvas Paint;
    std::deque<std::function<void()>> Script;
    std::deque<WindowMessage> Messages;
    std::vector<Box> Boxes;
    std::u16string OpenedName;
    bool DeviceWorks = true;
    uint32_t OpenError = 2;  // when the device does not work
    uint32_t TimerId = 1;
    uint32_t Posted = 0;
    bool Destroyed = false, Quit = false, Exhausted = false;
    int Beeps = 0;
    uint64_t Paces = 0;
};

}  // namespace orvex::test
