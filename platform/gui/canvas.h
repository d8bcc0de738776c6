// A top-level window that shows an image the program paints into, and hands
// the window's key and pointer events to the program. What is on screen is
// then exactly the pixels of the image, one image pixel per device pixel.
#pragma once

#include <QImage>
#include <QSize>
#include <QWidget>
#include <functional>

class QKeyEvent;
class QMouseEvent;
class QScreen;

namespace orvex {

class CanvasWindow final : public QWidget {
  public:
    // The image starts out white.
    explicit CanvasWindow(QSize size, QWidget* parent = nullptr);

    QImage& Image() { return Image_; }
    // Call after painting into the image; the window repaints soon after.
    void ImageChanged() { update(); }

    // Covers area (the whole of screen, or the part of it that is one
    // monitor), frameless and above every other window, panel and dock, and
    // takes the keyboard focus (with a grab where the display server allows
    // one).
    void ShowCovering(QScreen* screen, const QRect& area);
    // Gives the keyboard back.
    void ReleaseInput();
    // Whether the window holds the keyboard (ShowCovering or TakeInput).
    bool HoldsInput() const { return Grabbed_; }
    // Takes the keyboard again, after a dialog has had it.
    void TakeInput();

    std::function<void(QKeyEvent&)> OnKeyPress;
    // Pointer moves (tracking is on, so also with no button down), presses
    // (a press Qt takes as a double click too: its type says so) and
    // releases.
    std::function<void(QMouseEvent&)> OnMouse;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    QImage Image_;
    bool Grabbed_ = false;
};

}  // namespace orvex
