// The programs' side of a device: CreateFileW("ORX1:"), DeviceIoControl and
// CloseHandle. A device "<Prefix><Index>:" is served by the device manager on
// the socket $ORVEX_ROOT/dev/<Prefix><Index>; one connection is one open
// handle. docs/device-protocol.md describes the wire format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace orvex {

class DeviceHandle {
  public:
    virtual ~DeviceHandle() = default;  // closes the handle
    // Sends the input buffer AND the output buffer's current bytes; on return
    // the output buffer holds the driver's bytes, *returned (if not null) the
    // byte count the driver reported, and the thread's last error is the one
    // the driver left. Returns the driver's result (nonzero = TRUE). A broken
    // connection returns 0 with ERROR_DEVICE_NOT_CONNECTED.
    virtual uint32_t IoControl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                               uint32_t outSize, uint32_t* returned) = 0;
    virtual uint32_t Read(uint8_t* buffer, uint32_t count) = 0;
    virtual uint32_t Write(const uint8_t* buffer, uint32_t count) = 0;
    virtual uint32_t Seek(int32_t distance, uint32_t method) = 0;
};

// Opens a device by its name ("ORX1:"), under the platform root. Returns null
// and sets the last error (ERROR_FILE_NOT_FOUND when no such device is served).
std::unique_ptr<DeviceHandle> OpenDevice(std::u16string_view name, const std::string& root);

}  // namespace orvex
