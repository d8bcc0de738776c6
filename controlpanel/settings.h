// ORVEXCPL's core, free of any toolkit: the four settings the dialog edits,
// their storage under the driver's registry key, the hand-over of the
// feedback values to the running driver, and the program's start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "common/orvex.h"
#include "device/client.h"
#include "platform/registry.h"

namespace orvex {

// The program's copy of the settings, named like their registry values.
struct SettingsValues {
    int32_t RunRightButton = 0;
    int32_t FeedbackSound = SoundNever;  // SoundNever..SoundOnBoth
    int32_t FeedbackTone = 2000;
    int32_t FeedbackDuration = 1;  // in 10 ms
};

inline constexpr int32_t FeedbackToneMin = 500;
inline constexpr int32_t FeedbackToneMax = 5000;
inline constexpr int32_t FeedbackDurationMin = 1;
inline constexpr int32_t FeedbackDurationMax = 5;

inline constexpr char16_t SettingsDeviceName[] = u"ORX1:";
inline constexpr char16_t SettingsErrorCaption[] = u"Error";

// Every message the program shows: caption "Error", an OK button only, no
// owner window. Returns once the user has dismissed it.
class SettingsMessages {
  public:
    virtual ~SettingsMessages() = default;
    virtual void Show(std::u16string_view caption, std::u16string_view text) = 0;
};

struct SettingsModel {
    SettingsValues Settings;
    std::unique_ptr<DeviceHandle> DriverHandle;
    // Null when the registry could not be opened at all: every key open fails.
    Registry* Reg = nullptr;
    SettingsMessages* Messages = nullptr;
};

// path null counts as an unreadable key path. A failed key open leaves the
// settings untouched, without the range correction.
void LoadSettings(SettingsModel& model, const char16_t* path);
void SaveSettings(SettingsModel& model, const char16_t* path);
// Sends the three feedback values with IOCTL_ORX_SET_FEEDBACK.
void ApplyFeedbackToDriver(SettingsModel& model);

// What the program's start-up reaches outside itself. Each is called at most
// once, in this order: the device first, the registry only once the device is
// open, the dialog last.
struct SettingsStartup {
    std::function<std::unique_ptr<DeviceHandle>(std::u16string_view name)> OpenDevice;
    std::function<std::unique_ptr<Registry>()> OpenRegistry;
    // Runs the dialog until it is closed; returns the exit code.
    std::function<int(SettingsModel& model)> RunDialog;
};

// The program: open the driver (or report it and end with 0), load the
// settings, run the dialog, close the driver.
int RunSettingsProgram(const SettingsStartup& startup, SettingsMessages& messages);

}  // namespace orvex
