// The whole system for end-to-end tests: a temporary platform root with a
// registry, a simulated controller on a pseudo-terminal (orvexsim), the
// device manager with the real driver module, and device clients.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/client.h"
#include "platform/registry.h"
#include "process.h"
#include "temp_root.h"

namespace orvex::test {

class SystemUnderTest {
  public:
    SystemUnderTest();
    ~SystemUnderTest();

    const std::string& Root() const { return Root_; }
    Registry& Reg() { return *Reg_; }
    // Leaves the registry to the programs under test: a connection held here
    // would hide faults that only show when another process is its last user.
    void CloseRegistry() { Reg_.reset(); }

    void SetString(std::u16string_view key, std::u16string_view name, const std::string& value);
    void SetDword(std::u16string_view key, std::u16string_view name, uint32_t value);
    std::optional<uint32_t> GetDword(std::u16string_view key, std::u16string_view name);

    // Registers the driver module, maps COM1 to the simulator's link and
    // chooses the log backends.
    void Configure();

    // orvexsim with the given options, behind the link $ROOT/dev/ttySIM.
    bool StartSimulator(const std::vector<std::string>& options);
    bool StartDeviceManager();
    // Waits for the device socket; then the driver has finished its start.
    bool WaitForDevice(std::chrono::milliseconds timeout);
    std::unique_ptr<DeviceHandle> Open();
    // A panel of the TS protocol at 9600 that plays script once sent
    // SIGUSR1, and the device manager serving it, started.
    bool StartScriptedPanel(const std::string& script);

    std::string HostOut() const { return ReadWholeFile(Root_ + "/devmgr.out"); }
    std::string HostErr() const { return ReadWholeFile(Root_ + "/devmgr.err"); }
    std::string SimOut() const { return ReadWholeFile(Root_ + "/sim.out"); }
    std::string Link() const { return Root_ + "/dev/ttySIM"; }

    ChildProcess Simulator;
    ChildProcess Host;

  private:
    TempRoot Tmp_;
    std::string Root_ = Tmp_.Path();
    std::unique_ptr<Registry> Reg_;
};

}  // namespace orvex::test
