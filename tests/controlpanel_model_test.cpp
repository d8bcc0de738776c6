// The settings dialog's core against a real registry and the driver served
// in-process: loading, saving, the hand-over to the driver, start-up.
#include <gtest/gtest.h>

#include <vector>

#include "controlpanel/settings.h"
#include "support/failing_registry.h"
#include "support/settings_host.h"

using namespace orvex;
using namespace orvex::test;

namespace {

using Texts = std::vector<std::u16string>;

struct RecordedMessages final : PanelMessages {
    Texts Shown;
    void Show(std::u16string_view caption, std::u16string_view text) override {
        EXPECT_EQ(caption, u"Error");
        Shown.emplace_back(text);
    }
};

class PanelModel : public ::testing::Test {
  protected:
    void SetUp() override {
        Panel.Reg = &Host.Root.Reg();
        Panel.Messages = &Messages;
    }
    PanelSettings Load(uint32_t run, uint32_t sound, uint32_t tone, uint32_t duration) {
        Host.Reset(run, sound, tone, duration);
        LoadPanelSettings(Panel, DriverKeyPath);
        return Panel.Settings;
    }

    PanelHost& Host = PanelHost::Get();
    RecordedMessages Messages;
    ControlPanel Panel;
};

TEST_F(PanelModel, OutOfRangeValuesAreCorrectedSilentlyAndRunRightButtonIsNot) {
    PanelSettings s = Load(7, 0, 400, 6);
    EXPECT_EQ(s.RunRightButton, 7);
    EXPECT_EQ(s.FeedbackSound, 1);
    EXPECT_EQ(s.FeedbackTone, 2000);
    EXPECT_EQ(s.FeedbackDuration, 1);
    s = Load(0, 5, 0xFFFFFFFF, 5);  // a tone of -1 is below the range
    EXPECT_EQ(s.FeedbackSound, 1);
    EXPECT_EQ(s.FeedbackTone, 2000);
    EXPECT_EQ(s.FeedbackDuration, 5);
    s = Load(0, 4, 5000, 1);
    EXPECT_EQ(s.FeedbackSound, 4);
    EXPECT_EQ(s.FeedbackTone, 5000);
    EXPECT_EQ(Messages.Shown, Texts{});
}

TEST_F(PanelModel, FailedReadsShowTheirOwnMessageAndKeepTheirFields) {
    FailingRegistry failing(Host.Root.Reg());
    failing.FailQuery = {u"RunRightButton", u"FeedbackTone"};
    Panel.Reg = &failing;
    PanelSettings s = Load(1, 2, 3000, 3);
    EXPECT_EQ(Messages.Shown, (Texts{u"Fail to Get Configuration! (RunRightButton)",
                                     u"Fail to Get Configuration! (FeedbackTone)"}));
    EXPECT_EQ(s.RunRightButton, 0);
    EXPECT_EQ(s.FeedbackSound, 2);
    EXPECT_EQ(s.FeedbackTone, 2000);
    EXPECT_EQ(s.FeedbackDuration, 3);
    EXPECT_EQ(failing.OpenKeys(), 0);

    // Without the key nothing is read, and nothing corrected either.
    Messages.Shown.clear();
    Panel.Settings.FeedbackTone = 1;
    LoadPanelSettings(Panel, u"Drivers\\BuiltIn\\NoSuchKey");
    LoadPanelSettings(Panel, nullptr);
    EXPECT_EQ(Messages.Shown, (Texts{u"Fail to Get Configuration! (OpenKey)",
                                     u"Fail to Get Configuration! (BadReadPtr)"}));
    EXPECT_EQ(Panel.Settings.FeedbackTone, 1);
}

TEST_F(PanelModel, SaveWritesFourDwordsAndApplyReachesTheRunningDriver) {
    Host.Reset(1, 1, 2000, 1);
    Panel.Settings = PanelSettings{0, 3, 4500, 5};
    Panel.DriverHandle = Host.OpenDriver();
    SavePanelSettings(Panel, DriverKeyPath);
    ApplyFeedbackToDriver(Panel);
    EXPECT_EQ(Messages.Shown, Texts{});
    EXPECT_EQ(Host.Dword(u"RunRightButton"), 0u);
    EXPECT_EQ(Host.Dword(u"FeedbackSound"), 3u);
    EXPECT_EQ(Host.Dword(u"FeedbackTone"), 4500u);
    EXPECT_EQ(Host.Dword(u"FeedbackDuration"), 5u);
    // The driver takes the record from its output buffer: it got the values.
    const TouchSettings t = Host.DriverSettings();
    EXPECT_EQ(t.FeedbackSound, 3);
    EXPECT_EQ(t.FeedbackTone, 4500);
    EXPECT_EQ(t.FeedbackDuration, 5);
}

TEST_F(PanelModel, FailuresAreReportedAndTheOtherStepsStillRun) {
    Host.Reset(1, 1, 2000, 1);
    FailingRegistry failing(Host.Root.Reg());
    failing.FailSet = {u"FeedbackSound"};
    Panel.Reg = &failing;
    Panel.Settings = PanelSettings{1, 4, 900, 2};
    Panel.DriverHandle = Host.OpenRefusing();
    SavePanelSettings(Panel, DriverKeyPath);
    ApplyFeedbackToDriver(Panel);
    SavePanelSettings(Panel, u"Drivers\\BuiltIn\\NoSuchKey");
    EXPECT_EQ(Messages.Shown,
              (Texts{u"Fail to Set Configuration! (FeedbackSound)", u"Fail to setup feedbacksound!",
                     u"Fail to Set Configuration! (OpenKey)"}));
    EXPECT_EQ(Host.Dword(u"FeedbackSound"), 1u);
    EXPECT_EQ(Host.Dword(u"FeedbackTone"), 900u);
    EXPECT_EQ(Host.Dword(u"FeedbackDuration"), 2u);
    EXPECT_EQ(failing.OpenKeys(), 0);
}

TEST(PanelStartup, WithoutTheDriverTheProgramSaysSoAndEndsWithoutTouchingTheRegistry) {
    HostRoot empty;
    RecordedMessages messages;
    int registryOpens = 0, dialogs = 0;
    PanelStartup startup;
    startup.OpenDevice = [&](std::u16string_view name) { return OpenDevice(name, empty.Root()); };
    startup.OpenRegistry = [&]() -> std::unique_ptr<Registry> {
        ++registryOpens;
        return nullptr;
    };
    startup.RunDialog = [&](ControlPanel&) { return ++dialogs; };
    EXPECT_EQ(RunControlPanel(startup, messages), 0);
    EXPECT_EQ(messages.Shown, Texts{u"Fail to load ORVEX driver (ORX1:), error = 2"});
    EXPECT_EQ(registryOpens, 0);
    EXPECT_EQ(dialogs, 0);

    // Refused for not being in the group: the box says who may use it.
    startup.OpenDevice = [](std::u16string_view) -> std::unique_ptr<DeviceHandle> {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    };
    messages.Shown.clear();
    EXPECT_EQ(RunControlPanel(startup, messages), 0);
    ASSERT_EQ(messages.Shown.size(), 1u);
    EXPECT_TRUE(messages.Shown[0].starts_with(
        u"Fail to load ORVEX driver (ORX1:), error = 5\n\nOnly root and members of the group "
        u"orvex may use the device"));
    EXPECT_EQ(registryOpens, 0);
}

}  // namespace
