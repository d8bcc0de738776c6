// The settings dialog's tests: the real driver served in-process as "ORX1:"
// (without a controller, so it serves its start values) and the stand-in
// driver as "FAK1:", which refuses the driver's control codes. One per test
// program, started on first use.
#pragma once

#include <functional>
#include <optional>

#include "common/orvex.h"
#include "devhost_fixture.h"
#include "device/host.h"
#include "platform/debug.h"

namespace orvex::test {

struct SettingsHost {
    static SettingsHost& Get();

    // The four values the settings dialog stores under the driver's key, and the
    // running driver's feedback back at 1, 2000, 1.
    void Reset(uint32_t runRightButton, uint32_t sound, uint32_t tone, uint32_t duration);
    // A REG_DWORD under the driver's key; nothing when absent or of another type.
    std::optional<uint32_t> Dword(std::u16string_view name);
    TouchSettings DriverSettings();  // IOCTL_ORX_GET_SETTINGS
    std::unique_ptr<DeviceHandle> OpenDriver() { return OpenDevice(u"ORX1:", Root.Root()); }
    std::unique_ptr<DeviceHandle> OpenRefusing() { return OpenDevice(u"FAK1:", Root.Root()); }

    HostRoot Root;
    CaptureDebugOutput Log;
    DeviceHost Host{Log};

  private:
    SettingsHost();
    ~SettingsHost();
    static void OffMainThread(const std::function<void()>& work);
};

}  // namespace orvex::test
