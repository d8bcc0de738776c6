#include "controlpanel/settings.h"

#include <array>
#include <string>

#include "common/orvex.h"
#include "platform/error-help.h"

namespace orvex {
namespace {

void ShowError(SettingsModel& model, std::u16string_view text) {
    if (model.Messages)
        model.Messages->Show(SettingsErrorCaption, text);
}

struct NamedField {
    const char16_t* Name;
    int32_t SettingsValues::*Field;
};

constexpr NamedField StoredFields[] = {
    {u"RunRightButton", &SettingsValues::RunRightButton},
    {u"FeedbackSound", &SettingsValues::FeedbackSound},
    {u"FeedbackTone", &SettingsValues::FeedbackTone},
    {u"FeedbackDuration", &SettingsValues::FeedbackDuration},
};

void Correct(int32_t& value, int32_t low, int32_t high, int32_t fallback) {
    if (value < low || value > high)
        value = fallback;
}

}  // namespace

void LoadSettings(SettingsModel& model, const char16_t* path) {
    if (path == nullptr) {
        ShowError(model, u"Fail to Get Configuration! (BadReadPtr)");
        return;
    }
    OpenedRegKey key(model.Reg, path);
    if (!key) {
        ShowError(model, u"Fail to Get Configuration! (OpenKey)");
        return;
    }
    // Only whether it can be read matters: a longer text counts as a failure.
    std::array<uint8_t, 512> version{};
    uint32_t versionSize = 256;
    if (model.Reg->QueryValue(key.Get(), u"Version", nullptr, version.data(), &versionSize) != 0)
        ShowError(model, u"Fail to Get Configuration! (Version)");

    for (const NamedField& f : StoredFields) {
        // Any type is taken as it comes.
        uint32_t value = 0;
        if (key.ReadU32(f.Name, &value)) {
            model.Settings.*f.Field = static_cast<int32_t>(value);
        } else {
            ShowError(model, u"Fail to Get Configuration! (" + std::u16string(f.Name) + u")");
        }
    }
    key.Close();

    SettingsValues& s = model.Settings;
    const SettingsValues defaults;
    Correct(s.FeedbackSound, SoundNever, SoundOnBoth, defaults.FeedbackSound);
    Correct(s.FeedbackTone, FeedbackToneMin, FeedbackToneMax, defaults.FeedbackTone);
    Correct(s.FeedbackDuration, FeedbackDurationMin, FeedbackDurationMax,
            defaults.FeedbackDuration);
}

void SaveSettings(SettingsModel& model, const char16_t* path) {
    OpenedRegKey key(path ? model.Reg : nullptr, path ? path : u"");  // a null path opens nothing
    if (!key) {
        ShowError(model, u"Fail to Set Configuration! (OpenKey)");
        return;
    }
    for (const NamedField& f : StoredFields) {
        std::array<uint8_t, 4> data{};
        PutU32(data, 0, static_cast<uint32_t>(model.Settings.*f.Field));
        if (model.Reg->SetValue(key.Get(), f.Name, REG_DWORD, data.data(), 4) != 0)
            ShowError(model, u"Fail to Set Configuration! (" + std::u16string(f.Name) + u")");
    }
    key.Close();
    // So the values survive a power loss; a failed flush is not reported.
    (void)model.Reg->FlushKey(HKEY_LOCAL_MACHINE);
}

void ApplyFeedbackToDriver(SettingsModel& model) {
    // The driver takes the record from the output buffer and the device
    // client carries both, so one block goes in both places. Only the
    // feedback bytes are filled in; the driver ignores the rest for this code.
    std::array<uint8_t, TouchSettings::Size> block{};
    TouchSettings t;
    t.FeedbackSound = static_cast<uint8_t>(model.Settings.FeedbackSound);
    t.FeedbackTone = static_cast<uint16_t>(model.Settings.FeedbackTone);
    t.FeedbackDuration = static_cast<uint16_t>(model.Settings.FeedbackDuration);
    t.EncodeFeedback(block);
    uint32_t returned = 0;  // not looked at
    uint32_t ok = 0;
    if (model.DriverHandle)
        ok = model.DriverHandle->IoControl(IOCTL_ORX_SET_FEEDBACK, block.data(), block.size(),
                                           block.data(), block.size(), &returned);
    if (ok == 0)
        ShowError(model, u"Fail to setup feedbacksound!");
}

int RunSettingsProgram(const SettingsStartup& startup, SettingsMessages& messages) {
    SettingsModel model;
    model.Messages = &messages;
    model.DriverHandle = startup.OpenDevice(SettingsDeviceName);
    if (!model.DriverHandle) {
        const uint32_t error = GetLastError();
        messages.Show(
            SettingsErrorCaption,
            u"Fail to load ORVEX driver (" + std::u16string(SettingsDeviceName) + u"), error = " +
                Utf8ToUtf16(std::to_string(static_cast<int32_t>(error))) + AccessAdvice(error));
        return 0;
    }
    std::unique_ptr<Registry> reg = startup.OpenRegistry();
    model.Reg = reg.get();
    LoadSettings(model, DriverKeyPath);
    const int code = startup.RunDialog(model);
    model.DriverHandle.reset();
    return code;
}

}  // namespace orvex
