// The control panel's tests: the real driver served in-process as "ORX1:"
// (no controller: its serial port does not exist, so it serves its start
// values) and the stand-in driver as "FAK1:", which refuses the driver's
// control codes, on one temporary root per test program.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/orvex.h"
#include "platform/devclient.h"
#include "platform/registry.h"

namespace orvex::test {

class PanelHost {
  public:
    // Started on first use, stopped when the program ends.
    static PanelHost& Get();

    const std::string& Root() const;
    Registry& Reg();
    std::unique_ptr<DeviceHandle> OpenDriver();
    std::unique_ptr<DeviceHandle> OpenRefusing();

    // The running driver's settings (IOCTL_ORX_GET_SETTINGS).
    TouchSettings DriverSettings();
    // Values under the driver's key.
    std::optional<uint32_t> Dword(std::u16string_view name);
    std::optional<uint32_t> Type(std::u16string_view name);
    void SetDword(std::u16string_view name, uint32_t value);
    void Remove(std::u16string_view name);
    // The four values the panel stores, as given, and a readable Version; the
    // driver's feedback back at 1, 2000, 1.
    void Reset(uint32_t runRightButton, uint32_t sound, uint32_t tone, uint32_t duration);

    struct Impl;

  private:
    PanelHost();
    std::unique_ptr<Impl> I_;
};

}  // namespace orvex::test
