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

struct RecordedMessages final : SettingsMessages {
    Texts Shown;
    void Show(std::u16string_view caption, std::u16string_view text) override {
        EXPECT_EQ(caption, u"Error");
        Shown.emplace_back(text);
    }
};

class SettingsModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Model.Reg = &Host.Root.Reg();
        Model.Messages = &Messages;
    }
    SettingsValues Load(uint32_t run, uint32_t sound, uint32_t tone, uint32_t duration) {
        Host.Reset(run, sound, tone, duration);
        LoadSettings(Model, DriverKeyPath);
        return Model.Settings;
    }

    SettingsHost& Host = SettingsHost::Get();
    RecordedMessages Messages;
    SettingsModel Model;
};

TEST_F(SettingsModelTest, OutOfRangeValuesAreCorrectedSilentlyAndRunRightButtonIsNot) {
    SettingsValues s = Load(7, 0, 400, 6);
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

TEST_F(SettingsModelTest, FailedReadsShowTheirOwnMessageAndKeepTheirFields) {
    FailingRegistry failing(Host.Root.Reg());
    failing.FailQuery = {u"RunRightButton", u"FeedbackTone"};
    Model.Reg = &failing;
    SettingsValues s = Load(1, 2, 3000, 3);
    EXPECT_EQ(Messages.Shown, (Texts{u"Fail to Get Configuration! (RunRightButton)",
                                     u"Fail to Get Configuration! (FeedbackTone)"}));
    EXPECT_EQ(s.RunRightButton, 0);
    EXPECT_EQ(s.FeedbackSound, 2);
    EXPECT_EQ(s.FeedbackTone, 2000);
    EXPECT_EQ(s.FeedbackDuration, 3);
    EXPECT_EQ(failing.OpenKeys(), 0);

    // Without the key nothing is read, and nothing corrected either.
    Messages.Shown.clear();
    Model.Settings.FeedbackTone = 1;
    LoadSettings(Model, u"Drivers\\BuiltIn\\NoSuchKey");
    LoadSettings(Model, nullptr);
    EXPECT_EQ(Messages.Shown, (Texts{u"Fail to Get Configuration! (OpenKey)",
                                     u"Fail to Get Configuration! (BadReadPtr)"}));
    EXPECT_EQ(Model.Settings.FeedbackTone, 1);
}

TEST_F(SettingsModelTest, SaveWritesFourDwordsAndApplyReachesTheRunningDriver) {
    Host.Reset(1, 1, 2000, 1);
    Model.Settings = SettingsValues{0, 3, 4500, 5};
    Model.DriverHandle = Host.OpenDriver();
    SaveSettings(Model, DriverKeyPath);
    ApplyFeedbackToDriver(Model);
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

TEST_F(SettingsModelTest, FailuresAreReportedAndTheOtherStepsStillRun) {
    Host.Reset(1, 1, 2000, 1);
    FailingRegistry failing(Host.Root.Reg());
    failing.FailSet = {u"FeedbackSound"};
    Model.Reg = &failing;
    Model.Settings = SettingsValues{1, 4, 900, 2};
    Model.DriverHandle = Host.OpenRefusing();
    SaveSettings(Model, DriverKeyPath);
    ApplyFeedbackToDriver(Model);
    SaveSettings(Model, u"Drivers\\BuiltIn\\NoSuchKey");
    EXPECT_EQ(Messages.Shown,
              (Texts{u"Fail to Set Configuration! (FeedbackSound)", u"Fail to setup feedbacksound!",
                     u"Fail to Set Configuration! (OpenKey)"}));
    EXPECT_EQ(Host.Dword(u"FeedbackSound"), 1u);
    EXPECT_EQ(Host.Dword(u"FeedbackTone"), 900u);
    EXPECT_EQ(Host.Dword(u"FeedbackDuration"), 2u);
    EXPECT_EQ(failing.OpenKeys(), 0);
}

TEST(SettingsStartup, WithoutTheDriverTheProgramSaysSoAndEndsWithoutTouchingTheRegistry) {
    HostRoot empty;
    RecordedMessages messages;
    int registryOpens = 0, dialogs = 0;
    SettingsStartup startup;
    startup.OpenDevice = [&](std::u16string_view name) { return OpenDevice(name, empty.Root()); };
    startup.OpenRegistry = [&]() -> std::unique_ptr<Registry> {
        ++registryOpens;
        return nullptr;
    };
    startup.RunDialog = [&](SettingsModel&) { return ++dialogs; };
    EXPECT_EQ(RunSettingsProgram(startup, messages), 0);
    EXPECT_EQ(messages.Shown, Texts{u"Fail to load ORVEX driver (ORX1:), error = 2"});
    EXPECT_EQ(registryOpens, 0);
    EXPECT_EQ(dialogs, 0);

    // Refused for not being in the group: the box says who may use it.
    startup.OpenDevice = [](std::u16string_view) -> std::unique_ptr<DeviceHandle> {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    };
    messages.Shown.clear();
    EXPECT_EQ(RunSettingsProgram(startup, messages), 0);
    ASSERT_EQ(messages.Shown.size(), 1u);
    EXPECT_TRUE(messages.Shown[0].starts_with(
        u"Fail to load ORVEX driver (ORX1:), error = 5\n\nOnly root and members of the group "
        u"orvex may use the device"));
    EXPECT_EQ(registryOpens, 0);
}

}  // namespace
