// The stream-driver contract between the device manager (orvex-devmgr) and a
// driver module: the ten entry points a module exports by name, with the
// driver's prefix in front ("ORX_Init" for the prefix ORX), and how a module
// hands its last error back to the host.
//
// Every argument and result is 32 bits wide, as on the device the contract
// comes from. Contexts are opaque to the host: it only passes back what Init
// and Open returned.
//
// Last error. A module links its own, hidden copy of the platform library, so
// its thread-local last error (lasterror.h) is not the host's. The C library,
// however, is shared, and with it the calling thread's errno. The convention
// is therefore:
//   - before calling a module's IOControl, Read, Write or Seek, the host sets
//     errno to 0 on the calling thread;
//   - a module's IOControl (and, if it wants its last error seen, Read, Write
//     and Seek) stores its last error into errno as the very last thing before
//     it returns: PublishLastError(GetLastError());
//   - the host reads errno immediately after the call returns, before any
//     other library call can touch it, and forwards it to the program as the
//     last-error number unchanged (it is not an errno value: nothing maps it).
// A module that never publishes leaves errno at 0, which the program sees as
// ERROR_SUCCESS.
#pragma once

#include <cerrno>
#include <cstdint>

#define ORX_STREAM_EXPORT __attribute__((visibility("default")))

extern "C" {
ORX_STREAM_EXPORT uint32_t ORX_Init(uint32_t activeKeyPath);
ORX_STREAM_EXPORT uint32_t ORX_Deinit(uint32_t deviceContext);
ORX_STREAM_EXPORT uint32_t ORX_Open(uint32_t deviceContext, uint32_t access, uint32_t shareMode);
ORX_STREAM_EXPORT uint32_t ORX_Close(uint32_t openContext);
ORX_STREAM_EXPORT uint32_t ORX_Read(uint32_t openContext, uint8_t* buffer, uint32_t count);
ORX_STREAM_EXPORT uint32_t ORX_Write(uint32_t openContext, const uint8_t* buffer, uint32_t count);
ORX_STREAM_EXPORT uint32_t ORX_Seek(uint32_t openContext, int32_t distance, uint32_t moveMethod);
ORX_STREAM_EXPORT void ORX_PowerUp(uint32_t deviceContext);
ORX_STREAM_EXPORT void ORX_PowerDown(uint32_t deviceContext);
ORX_STREAM_EXPORT uint32_t ORX_IOControl(uint32_t openContext, uint32_t code, const uint8_t* in,
                                         uint32_t inSize, uint8_t* out, uint32_t outSize,
                                         uint32_t* returned);
}

namespace orvex {

// The entry points' types, for a host that looks them up by name.
using StreamInitFn = uint32_t (*)(uint32_t activeKeyPath);
using StreamDeinitFn = uint32_t (*)(uint32_t deviceContext);
using StreamOpenFn = uint32_t (*)(uint32_t deviceContext, uint32_t access, uint32_t shareMode);
using StreamCloseFn = uint32_t (*)(uint32_t openContext);
using StreamReadFn = uint32_t (*)(uint32_t openContext, uint8_t* buffer, uint32_t count);
using StreamWriteFn = uint32_t (*)(uint32_t openContext, const uint8_t* buffer, uint32_t count);
using StreamSeekFn = uint32_t (*)(uint32_t openContext, int32_t distance, uint32_t moveMethod);
using StreamPowerFn = void (*)(uint32_t deviceContext);
using StreamIoControlFn = uint32_t (*)(uint32_t openContext, uint32_t code, const uint8_t* in,
                                       uint32_t inSize, uint8_t* out, uint32_t outSize,
                                       uint32_t* returned);

// The access a program's open asks for (GENERIC_READ | GENERIC_WRITE), and
// the share mode (none) the host passes to Open for every connection.
inline constexpr uint32_t StreamOpenAccess = 0xC0000000u;
inline constexpr uint32_t StreamOpenShareMode = 0;

// Module side of the last-error convention: call as the last statement
// before returning from an entry point.
inline void PublishLastError(uint32_t error) noexcept {
    errno = static_cast<int>(error);
}

// Host side: ClearPublishedLastError right before the call,
// TakePublishedLastError right after it.
inline void ClearPublishedLastError() noexcept {
    errno = 0;
}
inline uint32_t TakePublishedLastError() noexcept {
    return static_cast<uint32_t>(errno);
}

}  // namespace orvex
