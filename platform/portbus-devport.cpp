// I/O ports through /dev/port: the file offset is the port number, so one
// pread or pwrite of one byte is one port access.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/lasterror.h"
#include "platform/portbus.h"

namespace orvex {

namespace {

// The x86 I/O space is 64 KiB; anything beyond is not a port.
constexpr uint64_t IoSpaceSize = 0x10000;

class DevPortBus final : public PortBus {
  public:
    explicit DevPortBus(int fd) : Fd_(fd) {}
    ~DevPortBus() override { ::close(Fd_); }
    DevPortBus(const DevPortBus&) = delete;
    DevPortBus& operator=(const DevPortBus&) = delete;

    bool TranslateBusAddress(uint32_t /*interfaceType*/, uint32_t busNumber, uint64_t busAddress,
                             uint32_t* addressSpace, uint64_t* translated) override {
        if (addressSpace == nullptr || translated == nullptr || busNumber != 0)
            return false;
        if (*addressSpace == 1 && busAddress >= IoSpaceSize)
            return false;
        // Ports are addressed by their own numbers; memory space keeps its
        // address too, but MapIoSpace below offers no mapping for it.
        *translated = busAddress;
        return true;
    }

    uint32_t MapIoSpace(uint64_t /*physical*/, uint32_t /*bytes*/, bool /*cached*/) override {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }

    uint8_t ReadPortUchar(uint32_t port) override {
        uint8_t b = 0xFF;  // what a floating bus reads
        if (port >= IoSpaceSize)
            return b;
        if (::pread(Fd_, &b, 1, static_cast<off_t>(port)) != 1)
            return 0xFF;
        return b;
    }

    void WritePortUchar(uint32_t port, uint8_t value) override {
        if (port >= IoSpaceSize)
            return;
        // Port writes have no result in the driver kit; a failing write is
        // as silent there as here.
        // (A (void) cast does not quiet the C library's unused-result mark.)
        if (::pwrite(Fd_, &value, 1, static_cast<off_t>(port)) != 1)
            return;
    }

  private:
    int Fd_;
};

}  // namespace

std::unique_ptr<PortBus> CreateDevPortBus() {
#if defined(__x86_64__) || defined(__i386__)
    int fd = ::open("/dev/port", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    return std::make_unique<DevPortBus>(fd);
#else
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
#endif
}

}  // namespace orvex
