// The facilities the system calls on its platform, gathered in one place.
// The driver is handed one Platform and reaches the outside world only
// through it.
#pragma once

#include <memory>
#include <string>

#include "platform/debug.h"
#include "platform/host-status.h"
#include "platform/input.h"
#include "platform/lasterror.h"
#include "platform/launcher.h"
#include "platform/portbus.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/timer.h"

namespace orvex {

struct Platform {
    DebugOutput* Debug = nullptr;
    Input* Pointer = nullptr;
    PortBus* Ports = nullptr;
    TimerService* Timers = nullptr;
    Launcher* Programs = nullptr;
    Registry* Reg = nullptr;
    SerialPorts* Serial = nullptr;
};

// $ORVEX_ROOT, or /var/lib/orvex.
std::string PlatformRoot();

// The real platform for a host process, each facility chosen by its registry
// setting (Platform\Input, Platform\PortIo). Owns what it creates.
class LinuxPlatform {
  public:
    static std::unique_ptr<LinuxPlatform> Create(const std::string& root);
    Platform& Get() { return P_; }
    ~LinuxPlatform();

  private:
    struct Token {
        explicit Token() = default;
    };

  public:
    explicit LinuxPlatform(Token) {}

  private:
    Platform P_;
    // Before what logs to it, so it goes last.
    std::unique_ptr<HostStatus> Status_;
    std::unique_ptr<DebugOutput> Debug_;
    std::unique_ptr<Input> Input_;
    std::unique_ptr<PortBus> Ports_;
    std::unique_ptr<TimerService> Timers_;
    std::unique_ptr<Launcher> Launcher_;
    std::unique_ptr<Registry> Reg_;
    std::unique_ptr<SerialPorts> Serial_;
};

}  // namespace orvex
