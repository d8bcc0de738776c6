// Shared pieces of the device manager's tests: a temporary platform root with
// its registry, the stand-in driver module, and raw socket access for
// requests no well-behaved client would send.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../fake_driver/fake_driver.h"
#include "device/client.h"
#include "device/wire.h"
#include "platform/registry.h"
#include "temp_root.h"

namespace orvex::test {

// A fresh root under /tmp with dev/ and registry.db; removed afterwards.
class HostRoot {
  public:
    HostRoot();
    ~HostRoot();
    HostRoot(const HostRoot&) = delete;
    HostRoot& operator=(const HostRoot&) = delete;

    const std::string& Root() const { return Root_; }
    Registry& Reg() { return *Reg_; }
    std::string SocketPath(const std::string& device) const { return Root_ + "/dev/" + device; }

    // Values under HKEY_LOCAL_MACHINE\Drivers\BuiltIn\<key>.
    void SetString(const std::u16string& key, std::u16string_view name, const std::string& value);
    void SetDword(const std::u16string& key, std::u16string_view name, uint32_t value);
    // Registers the stand-in driver: Dll, Prefix, Index and, when given, Ioctl.
    void RegisterDriver(const std::u16string& key, const std::string& dll,
                        const std::string& prefix, uint32_t index,
                        std::optional<uint32_t> ioctl = fake::CodePostLoad);

  private:
    TempRoot Tmp_;
    std::string Root_ = Tmp_.Path();
    std::unique_ptr<Registry> Reg_;
};

std::string FakeDriverPath();

// Keeps the stand-in module loaded for a test's lifetime (so its counters
// outlive a host's Stop) and starts them from zero.
class FakeModule {
  public:
    FakeModule();
    ~FakeModule();
    FakeModule(const FakeModule&) = delete;
    FakeModule& operator=(const FakeModule&) = delete;
    uint32_t Counter(fake::Counter which) const;

  private:
    void* Handle_ = nullptr;
    void (*Counters_)(uint32_t*) = nullptr;
};

// A connection made without the device client; Hello holds the host's first
// packet's error field (nullopt when there was none).
struct RawConnection {
    devwire::UniqueFd Fd;
    std::optional<uint32_t> Hello;
};
RawConnection ConnectRaw(const std::string& socketPath);
// True when the host has closed the connection (a receive sees its end)
// within a generous limit.
bool ClosedByHost(int fd);

// Transform round trip on a handle; true when the driver's answer is right.
bool TransformWorks(DeviceHandle& h, uint8_t seed);

}  // namespace orvex::test
