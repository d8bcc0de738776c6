#include "calibrator/front.h"

#include <unistd.h>
#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/gui/app.h"
#include "platform/gui/monitor.h"
#include "platform/input-screen-layout.h"
#include "platform/lasterror.h"
#include "platform/platform.h"

namespace orvex {

namespace {

QColor ToQColor(ColorRef c) {
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                  static_cast<int>((c >> 16) & 0xFF));
}

// Rect's right and bottom edges are exclusive, as FillRect takes them.
QRect ToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

// Pixel-exact text: drawing the same line twice leaves the same pixels.
QFont PlainFont(const QString& family, int pixels) {
    QFont f(family);
    f.setPixelSize(pixels);
    f.setWeight(QFont::Normal);
    f.setStyleStrategy(QFont::NoAntialias);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

// The title font asks for characters 12 pixels high and 12 wide on
// average; Qt takes the width as a horizontal stretch.
QFont TitleFont() {
    QFont f = PlainFont(QStringLiteral("Times New Roman"), 12);
    const int average = QFontMetrics(f).averageCharWidth();
    if (average > 0)
        f.setStretch(std::clamp(12 * 100 / average, 1, 4000));
    return f;
}

uint32_t VirtualKey(const QKeyEvent& e) {
    switch (e.key()) {
        case Qt::Key_Escape:
            return VK_ESCAPE;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return VK_RETURN;
        default:
            break;
    }
    const int k = e.key();
    if ((k >= Qt::Key_0 && k <= Qt::Key_9) || (k >= Qt::Key_A && k <= Qt::Key_Z))
        return static_cast<uint32_t>(k);  // the virtual-key codes of letters and digits
    return 0xFF;                          // some other key: taken and dropped like any
}

// Made once the window is on screen: a script that plays a finger starts it
// then, whatever window system shows the window.
class ReadyFile final : public QObject {
  public:
    explicit ReadyFile(QString path) : Path_(std::move(path)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto* window = qobject_cast<QWindow*>(watched);
        if (!Written_ && event->type() == QEvent::Expose && window && window->isExposed()) {
            Written_ = true;
            QFile f(Path_);
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                std::fprintf(stderr, "orvexcal: cannot write %s\n", Path_.toUtf8().constData());
        }
        return false;
    }

  private:
    QString Path_;
    bool Written_ = false;
};

}  // namespace

// ---- canvas

QtCanvas::QtCanvas(CanvasWindow& window)
    : Window_(window),
      DefaultFont_(PlainFont(QStringLiteral("Liberation Sans"), 12)),
      TitleFont_(TitleFont()) {}

void QtCanvas::FillRect(const Rect& r, ColorRef color) {
    if (r.right <= r.left || r.bottom <= r.top)
        return;
    QPainter p(&Window_.Image());
    p.fillRect(ToQRect(r), ToQColor(color));
    Window_.ImageChanged();
}

void QtCanvas::DrawText(std::u16string_view text, const Rect& r, uint32_t format,
                        ColorRef textColor, ColorRef background, TextFont font) {
    const QString line = ToQString(text);
    const QFont& f = font == TextFont::Title ? TitleFont_ : DefaultFont_;
    const QFontMetrics m(f);
    const int width = m.horizontalAdvance(line), height = m.height();
    const int x = (format & DT_CENTER) ? r.left + (r.right - r.left - width) / 2 : r.left;
    const int y = (format & DT_VCENTER) ? r.top + (r.bottom - r.top - height) / 2 : r.top;
    QPainter p(&Window_.Image());
    p.setClipRect(ToQRect(r));
    p.fillRect(QRect(x, y, width, height), ToQColor(background));
    p.setFont(f);
    p.setPen(ToQColor(textColor));
    p.drawText(x, y + m.ascent(), line);
    Window_.ImageChanged();
}

void QtCanvas::DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t width,
                        ColorRef color) {
    QPainter p(&Window_.Image());
    const int32_t half = width / 2;
    // A straight pen line of width w covers w pixels across, centred on the
    // line; the end point is left out.
    if (x0 == x1) {
        const int32_t top = std::min(y0, y1), bottom = std::max(y0, y1);
        p.fillRect(QRect(x0 - half, y0 <= y1 ? top : top + 1, width, bottom - top),
                   ToQColor(color));
    } else if (y0 == y1) {
        const int32_t left = std::min(x0, x1), right = std::max(x0, x1);
        p.fillRect(QRect(x0 <= x1 ? left : left + 1, y0 - half, right - left, width),
                   ToQColor(color));
    } else {
        p.setPen(QPen(ToQColor(color), width, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(x0, y0, x1, y1);
    }
    Window_.ImageChanged();
}

bool QtCanvas::CreateMemoryBitmap(int32_t width, int32_t height) {
    Memory_ = QImage(width, height, QImage::Format_RGB32);
    if (Memory_.isNull())
        return false;
    Memory_.fill(Qt::black);
    return true;
}

void QtCanvas::CopyToMemory(int32_t x, int32_t y) {
    if (Memory_.isNull())
        return;
    QPainter p(&Memory_);
    p.drawImage(0, 0, Window_.Image(), x, y, Memory_.width(), Memory_.height());
}

void QtCanvas::CopyFromMemory(int32_t x, int32_t y) {
    if (Memory_.isNull())
        return;
    QPainter p(&Window_.Image());
    p.drawImage(x, y, Memory_);
    Window_.ImageChanged();
}

void QtCanvas::DeleteMemoryBitmap() {
    Memory_ = QImage();
}

// ---- host

QtCalibratorHost::QtCalibratorHost(CalibratorState& s, QSize size, std::string root)
    : S_(s), Root_(std::move(root)), Window_(std::make_unique<CanvasWindow>(size)) {
    Canvas_ = std::make_unique<QtCanvas>(*Window_);
    Window_->setWindowTitle(ToQString(WindowTitle));
    Window_->OnKeyPress = [this](QKeyEvent& e) {
        const bool alt = (e.modifiers() & Qt::AltModifier) != 0;
        Queue({.Message = alt ? WM_SYSKEYDOWN : WM_KEYDOWN, .WParam = VirtualKey(e)});
    };
    Window_->OnMouse = [this](QMouseEvent& e) {
        const QPoint at = e.position().toPoint();
        const uint32_t lParam =
            PointerLParam(static_cast<uint32_t>(at.x()), static_cast<uint32_t>(at.y()));
        switch (e.type()) {
            case QEvent::MouseMove:
                Queue({.Message = WM_MOUSEMOVE, .LParam = lParam});
                break;
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:  // a quick second tap is a press like any
                if (e.button() == Qt::LeftButton)
                    Queue({.Message = WM_LBUTTONDOWN, .LParam = lParam});
                break;
            case QEvent::MouseButtonRelease:
                if (e.button() == Qt::LeftButton)
                    Queue({.Message = WM_LBUTTONUP, .LParam = lParam});
                break;
            default:
                break;
        }
    };
    Tick_.setInterval(1000);
    QObject::connect(&Tick_, &QTimer::timeout, [this] { CountdownTick(S_); });
    PaceTimer_.setSingleShot(true);
    PaceTimer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&PaceTimer_, &QTimer::timeout, &PaceLoop_, &QEventLoop::quit);
}

QtCalibratorHost::~QtCalibratorHost() = default;

void QtCalibratorHost::Queue(const WindowMessage& m) {
    if (Messages_.size() < QueueLimit)
        Messages_.push_back(m);
}

void QtCalibratorHost::Pace() {
    // Input and the tick arrive while the loop sleeps in the display
    // connection's poll; the loop ends when the pace timer fires.
    PaceTimer_.start(PaceMilliseconds);
    PaceLoop_.exec();
}

bool QtCalibratorHost::PeekMessage(WindowMessage* message) {
    if (Messages_.empty())
        return false;
    *message = Messages_.front();
    Messages_.pop_front();
    return true;
}

std::unique_ptr<QMessageBox> MakeCalibratorMessageBox(std::u16string_view caption,
                                                      std::u16string_view text, QWidget* owner) {
    auto box = MakeMessageBox(caption, text, owner);
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        label->setWordWrap(true);
        label->setMinimumWidth(400);  // wraps long texts without squeezing them
    }
    return box;
}

void QtCalibratorHost::MessageBox(std::u16string_view text, std::u16string_view caption) {
    // The box needs the keyboard for its OK button while it is up.
    const bool held = Window_->HoldsInput();
    if (held)
        Window_->ReleaseInput();
    MakeCalibratorMessageBox(caption, text, Window_.get())->exec();
    if (held)
        Window_->TakeInput();
}

void QtCalibratorHost::MessageBeep() {
    QApplication::beep();
}

std::unique_ptr<DeviceHandle> QtCalibratorHost::OpenDevice(std::u16string_view name,
                                                           uint32_t* error) {
    auto h = orvex::OpenDevice(name, Root_);
    if (!h && error)
        *error = GetLastError();
    return h;
}

uint32_t QtCalibratorHost::StartTimer() {
    Tick_.start();
    return Tick_.isActive() ? 1 : 0;
}

void QtCalibratorHost::StopTimer(uint32_t) {
    Tick_.stop();
}

void QtCalibratorHost::PostMessage(uint32_t message) {
    QMetaObject::invokeMethod(
        Window_.get(), [this, message] { CalibratorWindowProc(S_, message); },
        Qt::QueuedConnection);
}

void QtCalibratorHost::DestroyWindow() {
    Window_->ReleaseInput();
    Window_->hide();
    CalibratorWindowProc(S_, WM_DESTROY);
}

void QtCalibratorHost::PostQuitMessage() {
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

// ---- the program

int PrintPanelMonitor(int argc, char** argv) {
    auto app = CreateGuiApplication(argc, argv, "ORVEXCAL");
    if (!app)
        return 1;
    // A look only: a root without a registry stays without one.
    uint32_t error = 0;
    auto reg = OpenSqliteRegistryReadOnly(PlatformRoot(), std::chrono::seconds(5), &error);
    const std::string name = reg ? PanelMonitorName(*reg) : std::string();
    const PanelMonitor m = FindPanelMonitor(name);
    // The screen's own name where Qt lists it; a monitor known to RandR only
    // by the name asked for; "-" for the whole screen a missing one leaves.
    QString shown = QStringLiteral("-");
    if (m.From == PanelMonitor::Source::RandrMonitor)
        shown = QString::fromStdString(name);
    else if (m.From != PanelMonitor::Source::WholeScreen && m.Screen)
        shown = m.Screen->name();
    std::printf("%s %dx%d%+d%+d\n", shown.toUtf8().constData(), m.Rect.width(), m.Rect.height(),
                m.Rect.x(), m.Rect.y());
    return 0;
}

int RunCalibratorProgram(int argc, char** argv) {
    // The command run after a save gets the environment the user started us
    // with, not the one changed below for Qt's sake.
    std::vector<std::string> startEnvironment = CurrentEnvironment();
    // The instance half of WM_CLASS; the class half is the application name.
    setenv("RESOURCE_NAME", "ORVEXCAL", 1);
    auto app = CreateGuiApplication(argc, argv, "ORVEXCAL");
    if (!app)
        return 1;
    const std::string root = PlatformRoot();
    uint32_t error = 0;
    // Without a registry the version stays unknown and nothing runs after a
    // save; the calibration itself goes on.
    auto reg = OpenSqliteRegistry(root, &error);
    auto programs = CreateSpawnLauncher(root, nullptr, std::move(startEnvironment), true);
    StderrDebugOutput errors;

    CalibratorState s;
    s.Reg = reg.get();
    s.Programs = programs.get();
    s.EffectiveUid = ::geteuid();
    s.Errors = &errors;
    ReadDriverVersion(s);

    // The panel's own monitor (Platform\Input "Monitor"), the rectangle the
    // pointer backend maps touches onto; the primary screen when none is
    // named. Qt's pixels are device pixels here (no high-DPI scaling).
    const PanelMonitor monitor = reg ? FindPanelMonitor(*reg) : FindPanelMonitor(std::string());
    const QSize size = monitor.Rect.isEmpty() ? QSize(640, 480) : monitor.Rect.size();
    s.ScreenWidth = size.width();
    s.ScreenHeight = size.height();
    QtCalibratorHost host(s, size, root);
    s.MainWindow = &host;
    // --ready FILE (Qt has taken its own options out by now).
    std::unique_ptr<ReadyFile> ready;
    const QStringList args = QCoreApplication::arguments();
    const qsizetype readyAt = args.indexOf(QStringLiteral("--ready"));
    if (readyAt > 0 && readyAt + 1 < args.size()) {
        ready = std::make_unique<ReadyFile>(args[readyAt + 1]);
        (void)host.Window().winId();  // the window handle, made before it is shown
        host.Window().windowHandle()->installEventFilter(ready.get());
    }
    host.Window().ShowCovering(monitor.Screen, QRect(monitor.Rect.topLeft(), size));
    CalibratorWindowProc(s, WM_CREATE);
    CalibratorWindowProc(s, WM_PAINT);

    app->exec();

    host.Window().ReleaseInput();
    if (s.CalibrationSaved)
        RunAfterSave(s);
    return 0;
}

}  // namespace orvex
