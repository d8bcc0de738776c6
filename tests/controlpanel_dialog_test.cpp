// The settings dialog on Qt's offscreen platform: what each control does to
// the settings, and Apply, OK and Cancel against the driver served
// in-process and its registry.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSlider>
#include <memory>
#include <vector>

#include "controlpanel/dialog.h"
#include "platform/gui/app.h"
#include "support/settings_host.h"

using namespace orvex;
using namespace orvex::test;

namespace {

struct RecordedMessages final : SettingsMessages {
    std::vector<std::u16string> Texts;
    void Show(std::u16string_view, std::u16string_view text) override { Texts.emplace_back(text); }
};

class SettingsDialogTest : public ::testing::Test {
  protected:
    // Qt's own state is gone by the time static objects are destroyed, so
    // the application ends with the suite.
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "controlpanel_dialog_test";
        static char* argv[] = {name, nullptr};
        App = CreateGuiApplication(argc, argv, "controlpanel_dialog_test");
    }
    static void TearDownTestSuite() { App.reset(); }

    static inline std::unique_ptr<QApplication> App;
    void SetUp() override { Model.Messages = &Shown; }
    void Open() {
        Dialog = std::make_unique<SettingsDialog>(Model, [this] { ++Quits; });
        Dialog->show();
    }
    QSlider* Bar(int id) { return static_cast<QSlider*>(Dialog->Item(id)); }
    QString Text(int id) { return static_cast<QLineEdit*>(Dialog->Item(id))->text(); }
    void Click(int id) { static_cast<QAbstractButton*>(Dialog->Item(id))->click(); }
    bool Checked(int id) { return static_cast<QAbstractButton*>(Dialog->Item(id))->isChecked(); }
    static void Key(QWidget* target, int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &press);
    }
    // As the program starts: the driver open, the settings loaded.
    void LoadFromHost(std::unique_ptr<DeviceHandle> driver) {
        Model.Reg = &Host.Root.Reg();
        Model.DriverHandle = std::move(driver);
        LoadSettings(Model, DriverKeyPath);
    }

    SettingsHost& Host = SettingsHost::Get();
    RecordedMessages Shown;
    SettingsModel Model;
    int Quits = 0;
    std::unique_ptr<SettingsDialog> Dialog;
};

TEST_F(SettingsDialogTest, TrackbarsActOnStepsAtOnceAndOnADragOnlyWhenReleased) {
    Open();
    QSlider* tone = Bar(IDC_TONE_TRACKBAR);
    tone->setSliderDown(true);  // the thumb is held and dragged
    tone->setSliderPosition(3500);
    tone->setSliderPosition(3600);
    EXPECT_EQ(Model.Settings.FeedbackTone, 2000);
    EXPECT_EQ(Text(IDC_TONE_VALUE), "2000");
    tone->setSliderDown(false);
    EXPECT_EQ(Model.Settings.FeedbackTone, 3600);
    EXPECT_EQ(Text(IDC_TONE_VALUE), "3600");

    // Page Down pages towards the maximum by a fifth of the range.
    Key(tone, Qt::Key_PageDown);
    EXPECT_EQ(Text(IDC_TONE_VALUE), "4500");
    Key(tone, Qt::Key_Up);
    EXPECT_EQ(Model.Settings.FeedbackTone, 4499);
    Key(tone, Qt::Key_Home);
    EXPECT_EQ(Model.Settings.FeedbackTone, 500);

    QSlider* duration = Bar(IDC_DURATION_TRACKBAR);
    Key(duration, Qt::Key_End);
    EXPECT_EQ(Model.Settings.FeedbackDuration, 5);
    EXPECT_EQ(Text(IDC_DURATION_VALUE), "5");
    Key(duration, Qt::Key_PageUp);
    EXPECT_EQ(Model.Settings.FeedbackDuration, 4);
    Key(duration, Qt::Key_Left);
    EXPECT_EQ(Model.Settings.FeedbackDuration, 3);
}

TEST_F(SettingsDialogTest, RadiosAndTheCheckBoxSetTheirSettingsAndNothingElseCloses) {
    Model.Settings.FeedbackSound = 9;  // not a radio: the first is taken
    Open();
    EXPECT_TRUE(Checked(IDC_SOUND_SILENCE));
    EXPECT_EQ(Model.Settings.FeedbackSound, 1);
    EXPECT_FALSE(Checked(IDC_RUN_RIGHT_BUTTON));
    const int sounds[][2] = {{IDC_SOUND_LIFT_OFF, 3},
                             {IDC_SOUND_BOTH, 4},
                             {IDC_SOUND_TOUCH_DOWN, 2},
                             {IDC_SOUND_SILENCE, 1}};
    for (auto [id, sound] : sounds) {
        Click(id);
        EXPECT_EQ(Model.Settings.FeedbackSound, sound) << id;
    }
    Click(IDC_RUN_RIGHT_BUTTON);
    EXPECT_EQ(Model.Settings.RunRightButton, 1);
    Click(IDC_RUN_RIGHT_BUTTON);
    EXPECT_EQ(Model.Settings.RunRightButton, 0);

    // The standard cancel, Escape and the close request leave it open.
    Dialog->Command(2);
    Key(Dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(Dialog->close());
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_FALSE(Dialog->Destroyed());
    EXPECT_EQ(Quits, 0);

    // The box shows any stored nonzero value as checked.
    Model.Settings = SettingsValues{5, 4, 2000, 1};
    Open();
    EXPECT_TRUE(Checked(IDC_RUN_RIGHT_BUTTON));
    EXPECT_TRUE(Checked(IDC_SOUND_BOTH));
}

TEST_F(SettingsDialogTest, ApplyThenCancelKeepsTheAppliedValuesInRegistryAndDriver) {
    Host.Reset(1, 1, 2000, 1);
    LoadFromHost(Host.OpenDriver());
    Open();
    Click(IDC_SOUND_TOUCH_DOWN);
    Key(Bar(IDC_TONE_TRACKBAR), Qt::Key_End);
    Key(Bar(IDC_DURATION_TRACKBAR), Qt::Key_End);
    Click(IDC_APPLY);
    EXPECT_FALSE(Dialog->Destroyed());
    EXPECT_EQ(Host.Dword(u"FeedbackSound"), 2u);
    EXPECT_EQ(Host.Dword(u"FeedbackTone"), 5000u);
    EXPECT_EQ(Host.Dword(u"FeedbackDuration"), 5u);
    EXPECT_EQ(Host.Dword(u"RunRightButton"), 1u);

    Click(IDC_SOUND_BOTH);
    Key(Bar(IDC_TONE_TRACKBAR), Qt::Key_Home);
    Click(IDC_CANCEL);
    EXPECT_TRUE(Dialog->Destroyed());
    EXPECT_EQ(Quits, 1);
    EXPECT_EQ(Host.Dword(u"FeedbackTone"), 5000u);
    const TouchSettings t = Host.DriverSettings();
    EXPECT_EQ(t.FeedbackSound, 2);
    EXPECT_EQ(t.FeedbackTone, 5000);
    EXPECT_EQ(t.FeedbackDuration, 5);
    EXPECT_TRUE(Shown.Texts.empty());
}

TEST_F(SettingsDialogTest, OkWithARefusingDriverReportsItClosesAndKeepsTheHelperOff) {
    Host.Reset(0, 3, 2000, 1);
    LoadFromHost(Host.OpenRefusing());
    Open();
    EXPECT_FALSE(Checked(IDC_RUN_RIGHT_BUTTON));
    Key(Bar(IDC_DURATION_TRACKBAR), Qt::Key_PageDown);
    Click(IDC_OK);
    EXPECT_EQ(Shown.Texts, std::vector<std::u16string>{u"Fail to setup feedbacksound!"});
    EXPECT_TRUE(Dialog->Destroyed());
    EXPECT_EQ(Quits, 1);
    EXPECT_EQ(Host.Dword(u"RunRightButton"), 0u);
    EXPECT_EQ(Host.Dword(u"FeedbackSound"), 3u);
    EXPECT_EQ(Host.Dword(u"FeedbackDuration"), 2u);
}

}  // namespace
