// The log port bus: a host without port access (no /dev/port, not x86, not
// root) still shows what the speaker code does to the hardware.
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "platform/fdline.h"
#include "platform/lasterror.h"
#include "platform/portbus.h"

namespace orvex {

namespace {

class LogPortBus final : public PortBus {
  public:
    explicit LogPortBus(int fd) : Fd_(fd) {}

    bool TranslateBusAddress(uint32_t /*interfaceType*/, uint32_t /*busNumber*/,
                             uint64_t busAddress, uint32_t* addressSpace,
                             uint64_t* translated) override {
        if (addressSpace == nullptr || translated == nullptr)
            return false;
        // Only port space exists here; memory would need a real mapping.
        if (*addressSpace != 1)
            return false;
        *translated = busAddress;
        return true;
    }

    uint32_t MapIoSpace(uint64_t /*physical*/, uint32_t /*bytes*/, bool /*cached*/) override {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }

    uint8_t ReadPortUchar(uint32_t port) override {
        // The lock spans the line too, so two beeps at once never show a
        // read with a value that the other's later write produced.
        std::lock_guard g(Lock_);
        uint8_t value = 0;
        if (auto it = Ports_.find(port); it != Ports_.end())
            value = it->second;
        char line[64];
        int n = std::snprintf(line, sizeof line, "READ_PORT_UCHAR(0x%02" PRIX32 ") = 0x%02X\n",
                              port, static_cast<unsigned>(value));
        // Port accesses have no result to report a lost line in.
        (void)WriteWholeLine(Fd_, FormattedText(line, sizeof line, n));
        return value;
    }

    void WritePortUchar(uint32_t port, uint8_t value) override {
        std::lock_guard g(Lock_);
        Ports_[port] = value;
        char line[64];
        int n = std::snprintf(line, sizeof line, "WRITE_PORT_UCHAR(0x%02" PRIX32 ", 0x%02X)\n",
                              port, static_cast<unsigned>(value));
        (void)WriteWholeLine(Fd_, FormattedText(line, sizeof line, n));
    }

  private:
    int Fd_;
    std::mutex Lock_;
    std::unordered_map<uint32_t, uint8_t> Ports_;
};

}  // namespace

std::unique_ptr<PortBus> CreateLogPortBus(int fd) {
    return std::make_unique<LogPortBus>(fd);
}

}  // namespace orvex
