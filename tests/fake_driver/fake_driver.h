// The control codes and counters of the stand-in stream driver that the
// device manager's tests load (tests/fake_driver/fake_driver.cpp, prefix FAK).
#pragma once

#include <cstdint>

namespace orvex::fake {

// out[i] = in[i] ^ 0x5A for i < min(inSize, outSize); the rest of the output
// buffer is left alone; *returned = that count. Fails (87) without buffers.
inline constexpr uint32_t CodeTransform = 0x2000;
// Result: 0x10000 + the sum of the output buffer's bytes as they arrive.
inline constexpr uint32_t CodeOutputSum = 0x2004;
// Result: 0x100 | in null (1) | out null (2) | in == out (4) | returned null
// (8); *returned = inSize << 16 | outSize.
inline constexpr uint32_t CodeDescribe = 0x2008;
// Fails with the last error given as the input's first u32.
inline constexpr uint32_t CodeFail = 0x200C;
// Sleeps for the input's first u32 in milliseconds, then succeeds.
inline constexpr uint32_t CodeSlow = 0x2010;
// Fills the output with the counters below (u32 each, in that order).
inline constexpr uint32_t CodeStats = 0x2014;
// The post-load code the tests register.
inline constexpr uint32_t CodePostLoad = 0x2018;
// The next N opens (input's first u32) fail with ERROR_ACCESS_DENIED.
inline constexpr uint32_t CodeRefuseOpens = 0x201C;

enum Counter : uint32_t {
    Inits,
    Deinits,
    Opens,
    Closes,
    OpenNow,
    OpenPeak,
    PostLoads,
    PostLoadsWithBuffers,
    BadContexts,  // a call with a context the driver never handed out
    WriteSum,
    BusyAtDeinit,  // control calls still running when Deinit came
    CounterCount
};

inline constexpr uint32_t DeviceContext = 0xFA110000;

}  // namespace orvex::fake
