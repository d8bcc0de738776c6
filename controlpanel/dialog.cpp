#include "controlpanel/dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <algorithm>
#include <vector>

#include "common/orvex.h"
#include "platform/gui/app.h"

namespace orvex {
namespace {

enum class Kind { PushButton, CheckBox, Radio, Label, Trackbar, Value, GroupBox };

struct TemplateItem {
    int Id;  // -1: never looked up
    Kind Type;
    const char16_t* Text;
    int X, Y, Width, Height;  // dialog units
};

// In template order, which is also the tab order.
constexpr TemplateItem Template[] = {
    {IDC_CANCEL, Kind::PushButton, u"&Cancel", 11, 172, 46, 18},
    {IDC_APPLY, Kind::PushButton, u"&Apply", 62, 172, 46, 18},
    {IDC_OK, Kind::PushButton, u"&OK", 113, 172, 46, 18},
    {IDC_RUN_RIGHT_BUTTON, Kind::CheckBox, u"Run Right Button When Driver Loaded.", 12, 10, 150,
     14},
    {IDC_SOUND_SILENCE, Kind::Radio, u"Slience ( no sound )", 23, 45, 105, 11},
    {IDC_SOUND_TOUCH_DOWN, Kind::Radio, u"Touch down only", 23, 58, 105, 11},
    {IDC_SOUND_LIFT_OFF, Kind::Radio, u"Lift off only", 23, 71, 105, 11},
    {IDC_SOUND_BOTH, Kind::Radio, u"Both touch down & lift off", 23, 84, 105, 11},
    {-1, Kind::Label, u"Tone:", 25, 102, 18, 10},
    {-1, Kind::Label, u"Duration:", 25, 130, 27, 10},
    {IDC_TONE_TRACKBAR, Kind::Trackbar, u"Slider1", 56, 102, 96, 23},
    {IDC_DURATION_TRACKBAR, Kind::Trackbar, u"Slider2", 56, 130, 96, 23},
    {IDC_TONE_VALUE, Kind::Value, u"", 26, 113, 27, 12},
    {IDC_DURATION_VALUE, Kind::Value, u"", 25, 140, 27, 12},
    {-1, Kind::GroupBox, u" Feedback Sound ", 12, 30, 148, 132},
};

constexpr int DialogWidthDu = 170;
constexpr int DialogHeightDu = 200;

// Each trackbar, the box that shows its setting, and its range and ticks.
struct TrackbarItems {
    int Bar, Value;
    int32_t SettingsValues::*Setting;
    int Low, High, Tick;
};

constexpr TrackbarItems Trackbars[] = {
    {IDC_TONE_TRACKBAR, IDC_TONE_VALUE, &SettingsValues::FeedbackTone, FeedbackToneMin,
     FeedbackToneMax, 500},
    {IDC_DURATION_TRACKBAR, IDC_DURATION_VALUE, &SettingsValues::FeedbackDuration,
     FeedbackDurationMin, FeedbackDurationMax, 1},
};

// The template asks for "System" at 8 points; this metric-compatible sans
// face is the one every installation has.
QFont DialogFont() {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPointSize(8);
    return font;
}

// Dialog units to pixels, as the platform converts them: with the dialog
// font's average character width cx (the width of the 52 letters A-Z, a-z,
// divided by 26, halved and rounded) and its character height cy, a
// horizontal unit is cx / 4 pixels and a vertical unit cy / 8 pixels, each
// product rounded to the nearest pixel.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics fm(font);
        const int letters = fm.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        Cx_ = (letters / 26 + 1) / 2;
        Cy_ = fm.height();
    }
    int X(int du) const { return (du * Cx_ + 2) / 4; }
    int Y(int du) const { return (du * Cy_ + 4) / 8; }
    QRect Rect(const TemplateItem& item) const {
        return QRect(X(item.X), Y(item.Y), X(item.Width), Y(item.Height));
    }

  private:
    int Cx_ = 0, Cy_ = 0;
};

// Keys as the platform's trackbar takes them: Up and Page Up move towards
// the minimum, Down and Page Down towards the maximum (Qt's slider moves
// up the range on both). Left, Right, Home and End agree already.
class Trackbar final : public QSlider {
  public:
    using QSlider::QSlider;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
            case Qt::Key_Up:
                triggerAction(SliderSingleStepSub);
                break;
            case Qt::Key_Down:
                triggerAction(SliderSingleStepAdd);
                break;
            case Qt::Key_PageUp:
                triggerAction(SliderPageStepSub);
                break;
            case Qt::Key_PageDown:
                triggerAction(SliderPageStepAdd);
                break;
            default:
                QSlider::keyPressEvent(event);
                return;
        }
        event->accept();
    }
};

void SetupTrackbar(QSlider& bar, int low, int high, int tick, int position) {
    bar.setRange(low, high);
    bar.setTickInterval(tick);
    bar.setTickPosition(QSlider::TicksBothSides);
    bar.setSingleStep(1);
    // The platform's trackbar pages by a fifth of its range, at least 1.
    bar.setPageStep(std::max(1, (high - low) / 5));
    bar.setValue(position);
}

}  // namespace

TrackbarCode TrackbarCodeOf(int sliderAction, bool thumbHeld) {
    switch (sliderAction) {
        case QAbstractSlider::SliderSingleStepSub:
            return TB_LINEUP;
        case QAbstractSlider::SliderSingleStepAdd:
            return TB_LINEDOWN;
        case QAbstractSlider::SliderPageStepSub:
            return TB_PAGEUP;
        case QAbstractSlider::SliderPageStepAdd:
            return TB_PAGEDOWN;
        case QAbstractSlider::SliderToMinimum:
            return TB_TOP;
        case QAbstractSlider::SliderToMaximum:
            return TB_BOTTOM;
        case QAbstractSlider::SliderMove:
            return thumbHeld ? TB_THUMBTRACK : TB_LINEDOWN;
        default:
            return TB_ENDTRACK;
    }
}

SettingsDialog::SettingsDialog(SettingsModel& model, std::function<void()> onQuit)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      Model_(model),
      OnQuit_(std::move(onQuit)) {
    setWindowTitle(QStringLiteral("ORVEX - Control Model"));
    setFont(DialogFont());
    const DialogUnits du(font());
    setFixedSize(du.X(DialogWidthDu), du.Y(DialogHeightDu));

    auto* sounds = new QButtonGroup(this);
    sounds->setExclusive(true);
    std::vector<QWidget*> tabOrder;
    QWidget* groupBox = nullptr;
    for (const TemplateItem& item : Template) {
        const QString text = ToQString(item.Text);
        QWidget* w = nullptr;
        QWidget* placed = nullptr;  // what carries the geometry
        switch (item.Type) {
            case Kind::PushButton: {
                auto* b = new QPushButton(text, this);
                // Enter presses nothing: there is no default button.
                b->setAutoDefault(false);
                connect(b, &QPushButton::clicked, this, [this, id = item.Id] { Command(id); });
                w = b;
                break;
            }
            case Kind::CheckBox: {
                auto* c = new QCheckBox(text, this);
                connect(c, &QCheckBox::clicked, this, [this, id = item.Id] { Command(id); });
                w = c;
                break;
            }
            case Kind::Radio: {
                auto* r = new QRadioButton(text, this);
                sounds->addButton(r, item.Id);
                w = r;
                break;
            }
            case Kind::Label:
                w = new QLabel(text, this);
                break;
            case Kind::Trackbar: {
                // The sunken client edge around the bar.
                auto* edge = new QFrame(this);
                edge->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
                auto* layout = new QHBoxLayout(edge);
                layout->setContentsMargins(1, 1, 1, 1);
                auto* bar = new Trackbar(Qt::Horizontal, edge);
                bar->setAccessibleName(text);
                layout->addWidget(bar);
                placed = edge;
                w = bar;
                break;
            }
            case Kind::Value: {
                auto* e = new QLineEdit(this);
                e->setReadOnly(true);
                e->setAlignment(Qt::AlignCenter);
                e->setTextMargins(0, 0, 0, 0);
                w = e;
                break;
            }
            case Kind::GroupBox:
                groupBox = new QGroupBox(text, this);
                w = groupBox;
                break;
        }
        QRect rect = du.Rect(item);
        // A label wider than its box in this font grows to the right rather
        // than lose its last letters.
        if (item.Type == Kind::Label)
            rect.setWidth(std::max(rect.width(), w->sizeHint().width()));
        (placed ? placed : w)->setGeometry(rect);
        if (item.Id != -1) {
            w->setObjectName(QString::number(item.Id));
            Items_[item.Id] = w;
        }
        if (w->focusPolicy() & Qt::TabFocus)
            tabOrder.push_back(w);
    }
    // The group box only frames the radio buttons: beneath them, so the
    // clicks reach them.
    if (groupBox)
        groupBox->lower();
    for (size_t i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    InitDialog();

    connect(sounds, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked)
            Command(id);
    });
    for (const TrackbarItems& t : Trackbars) {
        auto* bar = static_cast<QSlider*>(Item(t.Bar));
        connect(bar, &QAbstractSlider::actionTriggered, this, [this, bar](int action) {
            HScroll(TrackbarCodeOf(action, bar->isSliderDown()), bar);
        });
        connect(bar, &QAbstractSlider::sliderReleased, this,
                [this, bar] { HScroll(TB_THUMBPOSITION, bar); });
    }

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

QWidget* SettingsDialog::Item(int id) const {
    auto it = Items_.find(id);
    return it == Items_.end() ? nullptr : it->second;
}

void SettingsDialog::InitDialog() {
    SettingsValues& s = Model_.Settings;
    for (const TrackbarItems& t : Trackbars) {
        SetupTrackbar(*static_cast<QSlider*>(Item(t.Bar)), t.Low, t.High, t.Tick, s.*t.Setting);
        static_cast<QLineEdit*>(Item(t.Value))->setText(QString::number(s.*t.Setting));
    }
    // The box shows what is stored, so OK does not switch the helper back on
    // for a user who turned it off and only came to change the beep.
    static_cast<QCheckBox*>(Item(IDC_RUN_RIGHT_BUTTON))->setChecked(s.RunRightButton != 0);
    // The radios stand for the values 1 to 4 in id order; any other value
    // takes the first.
    if (s.FeedbackSound < SoundNever || s.FeedbackSound > SoundOnBoth)
        s.FeedbackSound = SoundNever;
    static_cast<QRadioButton*>(Item(IDC_SOUND_SILENCE + s.FeedbackSound - SoundNever))
        ->setChecked(true);
}

void SettingsDialog::Command(int id) {
    SettingsValues& s = Model_.Settings;
    switch (id) {
        case IDC_CANCEL:
            Destroy();
            break;
        case IDC_APPLY:
        case IDC_OK:
            // Each step runs whether or not the other failed.
            SaveSettings(Model_, DriverKeyPath);
            ApplyFeedbackToDriver(Model_);
            if (id == IDC_OK)
                Destroy();
            break;
        case IDC_RUN_RIGHT_BUTTON:
            s.RunRightButton =
                static_cast<QCheckBox*>(Item(IDC_RUN_RIGHT_BUTTON))->checkState() != Qt::Unchecked
                    ? 1
                    : 0;
            break;
        case IDC_SOUND_SILENCE:
        case IDC_SOUND_TOUCH_DOWN:
        case IDC_SOUND_LIFT_OFF:
        case IDC_SOUND_BOTH:
            s.FeedbackSound = id - IDC_SOUND_SILENCE + SoundNever;
            break;
        default:
            break;
    }
}

void SettingsDialog::HScroll(int code, QAbstractSlider* trackbar) {
    switch (code) {
        case TB_LINEUP:
        case TB_LINEDOWN:
        case TB_PAGEUP:
        case TB_PAGEDOWN:
        case TB_THUMBPOSITION:
        case TB_TOP:
        case TB_BOTTOM:
            break;
        default:  // a thumb being dragged, the end of a move, anything else
            return;
    }
    for (const TrackbarItems& t : Trackbars) {
        if (Item(t.Bar) != trackbar)
            continue;
        // The position as the action left it; the slider's value follows later.
        int32_t& setting = Model_.Settings.*t.Setting;
        setting = trackbar->sliderPosition();
        static_cast<QLineEdit*>(Item(t.Value))->setText(QString::number(setting));
    }
}

void SettingsDialog::closeEvent(QCloseEvent* event) {
    if (!Destroyed_)
        event->ignore();
}

void SettingsDialog::Destroy() {
    if (Destroyed_)
        return;
    Destroyed_ = true;
    hide();
    if (OnQuit_)
        OnQuit_();
}

void QtSettingsMessages::Show(std::u16string_view caption, std::u16string_view text) {
    ShowMessageBox(caption, text, nullptr);
}

}  // namespace orvex
