// The settings dialog's core against a real registry and the driver served
// in-process: loading with its corrections and messages, saving, the
// hand-over to the driver, and the program's start-up.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "controlpanel/panel.h"
#include "support/failing_registry.h"
#include "support/panel_host.h"
#include "support/temp_root.h"

using namespace orvex;
using namespace orvex::test;

namespace {

struct RecordedMessages final : PanelMessages {
    std::vector<std::u16string> Texts;
    void Show(std::u16string_view caption, std::u16string_view text) override {
        EXPECT_EQ(caption, u"Error");
        Texts.emplace_back(text);
    }
};

class PanelModel : public ::testing::Test {
  protected:
    void SetUp() override {
        Host.Reset(1, 2, 3000, 3);
        Panel.Reg = &Host.Reg();
        Panel.Messages = &Shown;
    }
    PanelSettings Load() {
        LoadPanelSettings(Panel, DriverKeyPath);
        return Panel.Settings;
    }

    PanelHost& Host = PanelHost::Get();
    RecordedMessages Shown;
    ControlPanel Panel;
};

TEST_F(PanelModel, OutOfRangeValuesAreCorrectedSilentlyAndRunRightButtonIsNot) {
    Host.Reset(7, 0, 400, 6);
    PanelSettings s = Load();
    EXPECT_EQ(s.RunRightButton, 7);
    EXPECT_EQ(s.FeedbackSound, 1);
    EXPECT_EQ(s.FeedbackTone, 2000);
    EXPECT_EQ(s.FeedbackDuration, 1);

    Host.Reset(0, 5, 0xFFFFFFFF, 5);  // -1 as a signed value is below the range
    s = Load();
    EXPECT_EQ(s.FeedbackSound, 1);
    EXPECT_EQ(s.FeedbackTone, 2000);
    EXPECT_EQ(s.FeedbackDuration, 5);

    Host.Reset(0, 4, 5000, 1);
    s = Load();
    EXPECT_EQ(s.FeedbackSound, 4);
    EXPECT_EQ(s.FeedbackTone, 5000);
    EXPECT_TRUE(Shown.Texts.empty());
}

TEST_F(PanelModel, EachFailedReadShowsItsOwnMessageAndKeepsTheField) {
    Host.Remove(u"RunRightButton");
    Host.Remove(u"FeedbackTone");
    Panel.Settings.RunRightButton = 0;
    PanelSettings s = Load();
    EXPECT_EQ(Shown.Texts,
              (std::vector<std::u16string>{u"Fail to Get Configuration! (RunRightButton)",
                                           u"Fail to Get Configuration! (FeedbackTone)"}));
    EXPECT_EQ(s.RunRightButton, 0);
    EXPECT_EQ(s.FeedbackSound, 2);
    EXPECT_EQ(s.FeedbackTone, 2000);
    EXPECT_EQ(s.FeedbackDuration, 3);

    // Version is looked at only for whether it reads: too long is a failure.
    Host.Reset(1, 2, 3000, 3);
    RegKey k = 0;
    ASSERT_EQ(Host.Reg().OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, KEY_ALL_ACCESS, &k), 0u);
    const std::vector<uint8_t> longText(258, 'v');
    Host.Reg().SetValue(k, u"Version", REG_SZ, longText.data(), 258);
    Host.Reg().CloseKey(k);
    Shown.Texts.clear();
    EXPECT_EQ(Load().FeedbackTone, 3000);
    EXPECT_EQ(Shown.Texts, std::vector<std::u16string>{u"Fail to Get Configuration! (Version)"});
}

TEST_F(PanelModel, WithoutTheKeyNothingIsReadAndNothingCorrected) {
    Panel.Settings.FeedbackTone = 1;
    LoadPanelSettings(Panel, u"Drivers\\BuiltIn\\NoSuchKey");
    LoadPanelSettings(Panel, nullptr);
    EXPECT_EQ(Shown.Texts,
              (std::vector<std::u16string>{u"Fail to Get Configuration! (OpenKey)",
                                           u"Fail to Get Configuration! (BadReadPtr)"}));
    EXPECT_EQ(Panel.Settings.FeedbackTone, 1);
}

TEST_F(PanelModel, SaveWritesFourDwordsAndApplyReachesTheRunningDriver) {
    Panel.Settings = PanelSettings{0, 3, 4500, 5};
    Panel.DriverHandle = Host.OpenDriver();
    ASSERT_TRUE(Panel.DriverHandle);
    SavePanelSettings(Panel, DriverKeyPath);
    ApplyFeedbackToDriver(Panel);
    EXPECT_TRUE(Shown.Texts.empty());
    for (auto [name, value] : {std::pair{u"RunRightButton", 0u},
                               {u"FeedbackSound", 3u},
                               {u"FeedbackTone", 4500u},
                               {u"FeedbackDuration", 5u}}) {
        EXPECT_EQ(Host.Dword(name), value);
        EXPECT_EQ(Host.Type(name), REG_DWORD);
    }
    // The driver reads the record from its output buffer: it got the values.
    const TouchSettings t = Host.DriverSettings();
    EXPECT_EQ(t.FeedbackSound, 3);
    EXPECT_EQ(t.FeedbackTone, 4500);
    EXPECT_EQ(t.FeedbackDuration, 5);
}

TEST_F(PanelModel, FailuresAreReportedAndTheOtherStepsStillRun) {
    FailingRegistry failing(Host.Reg());
    failing.FailSet = {u"FeedbackSound"};
    Panel.Reg = &failing;
    Panel.Settings = PanelSettings{1, 4, 900, 2};
    Panel.DriverHandle = Host.OpenRefusing();
    ASSERT_TRUE(Panel.DriverHandle);
    SavePanelSettings(Panel, DriverKeyPath);
    ApplyFeedbackToDriver(Panel);
    EXPECT_EQ(Shown.Texts,
              (std::vector<std::u16string>{u"Fail to Set Configuration! (FeedbackSound)",
                                           u"Fail to setup feedbacksound!"}));
    EXPECT_EQ(Host.Dword(u"FeedbackSound"), 2u);
    EXPECT_EQ(Host.Dword(u"FeedbackTone"), 900u);
    EXPECT_EQ(Host.Dword(u"FeedbackDuration"), 2u);
    EXPECT_EQ(failing.OpenKeys(), 0);

    Shown.Texts.clear();
    SavePanelSettings(Panel, u"Drivers\\BuiltIn\\NoSuchKey");
    EXPECT_EQ(Shown.Texts, std::vector<std::u16string>{u"Fail to Set Configuration! (OpenKey)"});
}

TEST(PanelStartupTest, WithoutTheDriverTheProgramReportsItAndEndsWithoutTouchingTheRegistry) {
    TempRoot empty;
    RecordedMessages shown;
    int registryOpens = 0, dialogs = 0;
    PanelStartup startup;
    startup.OpenDevice = [&](std::u16string_view name) { return OpenDevice(name, empty.Path()); };
    startup.OpenRegistry = [&]() -> std::unique_ptr<Registry> {
        ++registryOpens;
        return nullptr;
    };
    startup.RunDialog = [&](ControlPanel&) { return ++dialogs; };
    EXPECT_EQ(RunControlPanel(startup, shown), 0);
    EXPECT_EQ(shown.Texts,
              std::vector<std::u16string>{u"Fail to load ORVEX driver (ORX1:), error = 2"});
    EXPECT_EQ(registryOpens, 0);
    EXPECT_EQ(dialogs, 0);
}

TEST(PanelStartupTest, WithTheDriverTheDialogRunsOnTheLoadedSettings) {
    PanelHost& host = PanelHost::Get();
    host.Reset(0, 3, 1500, 4);
    RecordedMessages shown;
    PanelStartup startup;
    startup.OpenDevice = [&](std::u16string_view name) { return OpenDevice(name, host.Root()); };
    startup.OpenRegistry = [&]() {
        uint32_t error = 0;
        return OpenSqliteRegistry(host.Root(), &error);
    };
    PanelSettings seen;
    startup.RunDialog = [&](ControlPanel& panel) {
        EXPECT_TRUE(panel.DriverHandle);
        seen = panel.Settings;
        return 0;
    };
    EXPECT_EQ(RunControlPanel(startup, shown), 0);
    EXPECT_TRUE(shown.Texts.empty());
    EXPECT_EQ(seen.FeedbackSound, 3);
    EXPECT_EQ(seen.FeedbackTone, 1500);
    EXPECT_EQ(seen.FeedbackDuration, 4);
}

}  // namespace
