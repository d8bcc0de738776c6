// I/O port access: bus translation, mapping and byte read/write, as the
// driver kit offers them (HalTranslateBusAddress, MmMapIoSpace,
// READ_PORT_UCHAR, WRITE_PORT_UCHAR).
#pragma once

#include <cstdint>
#include <memory>

namespace orvex {

inline constexpr uint32_t InterfaceTypeIsa = 1;

class PortBus {
  public:
    virtual ~PortBus() = default;
    // addressSpace: in, 1 = I/O space, 0 = memory; out, the translated space.
    virtual bool TranslateBusAddress(uint32_t interfaceType, uint32_t busNumber,
                                     uint64_t busAddress, uint32_t* addressSpace,
                                     uint64_t* translated) = 0;
    // Maps memory space; returns 0 on failure.
    virtual uint32_t MapIoSpace(uint64_t physical, uint32_t bytes, bool cached) = 0;
    virtual uint8_t ReadPortUchar(uint32_t port) = 0;
    virtual void WritePortUchar(uint32_t port, uint8_t value) = 0;
};

// The machine's I/O ports through /dev/port (x86 only). Returns null and sets
// the last error when the ports cannot be opened.
std::unique_ptr<PortBus> CreateDevPortBus();

// No hardware: one text line per port access on fd (standard output by
// default). Reads return the last value written to the port, 0 at first.
std::unique_ptr<PortBus> CreateLogPortBus(int fd = 1);

}  // namespace orvex
