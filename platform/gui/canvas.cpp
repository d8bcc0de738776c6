#include "platform/gui/canvas.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace orvex {

CanvasWindow::CanvasWindow(QSize size, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      Image_(size, QImage::Format_RGB32) {
    Image_.fill(Qt::white);
    setFixedSize(size);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    // The image is the whole window: nothing for Qt to erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

void CanvasWindow::ShowCovering(QScreen* screen, const QRect& area) {
    setGeometry(QRect(area.topLeft(), size()));
    if (screen) {
        if (!windowHandle())
            create();
        if (windowHandle())
            windowHandle()->setScreen(screen);
    }
    // Full screen is the window manager's to grant, and it grants a whole Qt
    // screen; a monitor Qt does not list as one is covered by geometry alone.
    if (screen && screen->geometry() == area) {
        showFullScreen();
    } else {
        show();
        move(area.topLeft());
    }
    raise();
    TakeInput();
}

void CanvasWindow::TakeInput() {
    activateWindow();
    setFocus(Qt::OtherFocusReason);
    grabKeyboard();
    Grabbed_ = true;
}

void CanvasWindow::ReleaseInput() {
    if (Grabbed_)
        releaseKeyboard();
    Grabbed_ = false;
    clearFocus();
}

void CanvasWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, Image_);
}

void CanvasWindow::keyPressEvent(QKeyEvent* event) {
    if (OnKeyPress)
        OnKeyPress(*event);
}

void CanvasWindow::mouseMoveEvent(QMouseEvent* event) {
    if (OnMouse)
        OnMouse(*event);
}

void CanvasWindow::mousePressEvent(QMouseEvent* event) {
    if (OnMouse)
        OnMouse(*event);
}

// Qt delivers the second press of a quick double tap only as this event.
void CanvasWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    if (OnMouse)
        OnMouse(*event);
}

void CanvasWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (OnMouse)
        OnMouse(*event);
}

}  // namespace orvex
