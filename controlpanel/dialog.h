// ORVEXCPL's dialog: the settings window over a SettingsModel, built from the
// dialog template's controls and laid out in its dialog units.
#pragma once

#include <QWidget>
#include <functional>
#include <map>

#include "controlpanel/settings.h"

class QAbstractSlider;
class QCloseEvent;

namespace orvex {

// Control ids of the template.
enum SettingsControl : int {
    IDC_CANCEL = 1000,
    IDC_APPLY = 1001,
    IDC_OK = 1002,
    IDC_RUN_RIGHT_BUTTON = 1003,
    IDC_SOUND_SILENCE = 1004,
    IDC_SOUND_TOUCH_DOWN = 1005,
    IDC_SOUND_LIFT_OFF = 1006,
    IDC_SOUND_BOTH = 1007,
    IDC_TONE_TRACKBAR = 1008,
    IDC_DURATION_TRACKBAR = 1009,
    IDC_TONE_VALUE = 1010,
    IDC_DURATION_VALUE = 1011,
};

// The trackbar's scroll codes, as the dialog procedure receives them.
enum TrackbarCode : int {
    TB_LINEUP = 0,
    TB_LINEDOWN = 1,
    TB_PAGEUP = 2,
    TB_PAGEDOWN = 3,
    TB_THUMBPOSITION = 4,
    TB_THUMBTRACK = 5,
    TB_TOP = 6,
    TB_BOTTOM = 7,
    TB_ENDTRACK = 8,
};

// The scroll code a slider action stands for; the thumb's release is
// TB_THUMBPOSITION and reported separately. A move while the thumb is held
// is a drag; one without (the wheel) is a line step.
TrackbarCode TrackbarCodeOf(int sliderAction, bool thumbHeld);

class SettingsDialog : public QWidget {
  public:
    // onQuit runs when Cancel or OK has closed the dialog.
    SettingsDialog(SettingsModel& model, std::function<void()> onQuit);

    // The control of that id (GetDlgItem), or null.
    QWidget* Item(int id) const;
    // The two entry points of the dialog procedure that the controls feed.
    void Command(int id);
    void HScroll(int code, QAbstractSlider* trackbar);
    bool Destroyed() const { return Destroyed_; }

  protected:
    // The standard cancel (the window's close button) does nothing: the
    // dialog closes only through Cancel or OK.
    void closeEvent(QCloseEvent* event) override;

  private:
    void InitDialog();
    void Destroy();

    SettingsModel& Model_;
    std::function<void()> OnQuit_;
    std::map<int, QWidget*> Items_;
    bool Destroyed_ = false;
};

// The program's message boxes: modal, no owner, OK only.
class QtSettingsMessages final : public SettingsMessages {
  public:
    void Show(std::u16string_view caption, std::u16string_view text) override;
};

}  // namespace orvex
