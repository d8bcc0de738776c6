// ORVEXCAL's Qt front: the window with its canvas image, the message queue
// fed by Qt's key and pointer events, the one-second tick as a timer of the
// GUI thread, and the paced waits that keep the event loop turning.
#pragma once

#include <QEventLoop>
#include <QFont>
#include <QImage>
#include <QMessageBox>
#include <QSize>
#include <QTimer>
#include <deque>
#include <memory>
#include <string>

#include "calibrator/calibrator.h"
#include "platform/gui/canvas.h"

namespace orvex {

// The window's device context: paints into the window's image.
class QtCanvas final : public CalibratorCanvas {
  public:
    explicit QtCanvas(CanvasWindow& window);
    void FillRect(const Rect& r, ColorRef color) override;
    void DrawText(std::u16string_view text, const Rect& r, uint32_t format, ColorRef textColor,
                  ColorRef background, TextFont font) override;
    void DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t width,
                  ColorRef color) override;
    bool CreateMemoryBitmap(int32_t width, int32_t height) override;
    void CopyToMemory(int32_t x, int32_t y) override;
    void CopyFromMemory(int32_t x, int32_t y) override;
    void DeleteMemoryBitmap() override;

  private:
    CanvasWindow& Window_;
    QFont DefaultFont_, TitleFont_;
    QImage Memory_;
};

class QtCalibratorHost : public CalibratorHost {
  public:
    // How long one turn of a wait lets the event loop run: short enough
    // that a touch is taken within a few milliseconds of the driver seeing
    // it, long enough that waiting costs next to nothing.
    static constexpr int PaceMilliseconds = 4;
    // Messages the queue holds at most; later ones are dropped.
    static constexpr size_t QueueLimit = 1024;

    // root: the platform root the device client connects under.
    QtCalibratorHost(CalibratorState& s, QSize size, std::string root);
    ~QtCalibratorHost() override;

    CanvasWindow& Window() { return *Window_; }
    QImage& Image() { return Window_->Image(); }

    CalibratorCanvas& Canvas() override { return *Canvas_; }
    void Pace() override;
    bool PeekMessage(WindowMessage* message) override;
    void MessageBox(std::u16string_view text, std::u16string_view caption) override;
    void MessageBeep() override;
    std::unique_ptr<DeviceHandle> OpenDevice(std::u16string_view name, uint32_t* error) override;
    uint32_t StartTimer() override;
    void StopTimer(uint32_t id) override;
    void PostMessage(uint32_t message) override;
    void DestroyWindow() override;
    void PostQuitMessage() override;

  private:
    void Queue(const WindowMessage& m);

    CalibratorState& S_;
    std::string Root_;
    std::unique_ptr<CanvasWindow> Window_;
    std::unique_ptr<QtCanvas> Canvas_;
    std::deque<WindowMessage> Messages_;
    QTimer Tick_;
    QTimer PaceTimer_;
    QEventLoop PaceLoop_;
};

// A message box as the program shows it: caption, text, an OK button, the
// text wrapped to fit a small screen.
std::unique_ptr<QMessageBox> MakeCalibratorMessageBox(std::u16string_view caption,
                                                      std::u16string_view text, QWidget* owner);

// The whole program: start-up, the calibration, the post-save command.
// --ready FILE makes FILE once the window is shown.
int RunCalibratorProgram(int argc, char** argv);
// orvexcal --print-monitor: the monitor the program would cover, as
// "NAME WxH+X+Y" in device pixels, for scripts that size a touch script to it.
int PrintPanelMonitor(int argc, char** argv);

}  // namespace orvex
