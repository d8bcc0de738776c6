// A stand-in stream driver with recognisable behaviour, for the device
// manager's tests. Prefix FAK; the prefix BAD is a driver whose Init fails.
#include "fake_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "device/streamdriver.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace orvex::fake;

std::atomic<uint32_t> Counters[CounterCount];
std::atomic<uint32_t> RefuseOpens{0};
std::atomic<uint32_t> InCall{0};
std::atomic<uint32_t> NextOpen{1};
std::mutex OpenLock;
std::set<uint32_t> OpenContexts;

uint32_t Fail(uint32_t error) {
    orvex::PublishLastError(error);
    return 0;
}

uint32_t Succeed(uint32_t result) {
    orvex::PublishLastError(0);
    return result;
}

uint32_t FirstWord(const uint8_t* in, uint32_t inSize) {
    if (in == nullptr || inSize < 4)
        return 0;
    uint32_t v;
    std::memcpy(&v, in, 4);  // the tests run on little-endian machines only
    return v;
}

bool KnownOpen(uint32_t open) {
    std::lock_guard g(OpenLock);
    return OpenContexts.count(open) != 0;
}

}  // namespace

FAKE_EXPORT uint32_t FAK_Init(uint32_t activeKeyPath) {
    if (activeKeyPath != 0)
        return 0;
    ++Counters[Inits];
    return DeviceContext;
}

FAKE_EXPORT uint32_t FAK_Deinit(uint32_t deviceContext) {
    if (deviceContext != DeviceContext)
        ++Counters[BadContexts];
    if (InCall.load() != 0)
        ++Counters[BusyAtDeinit];
    ++Counters[Deinits];
    std::fputs("FAKEDRV: Deinit\r\n", stderr);
    return 1;
}

FAKE_EXPORT uint32_t FAK_Open(uint32_t deviceContext, uint32_t access, uint32_t shareMode) {
    if (deviceContext != DeviceContext || access != 0xC0000000u || shareMode != 0) {
        ++Counters[BadContexts];
        return Fail(87);
    }
    uint32_t refuse = RefuseOpens.load();
    while (refuse > 0 && !RefuseOpens.compare_exchange_weak(refuse, refuse - 1)) {
    }
    if (refuse > 0)
        return Fail(5);
    const uint32_t open = 0x0B000000u + NextOpen++;
    {
        std::lock_guard g(OpenLock);
        OpenContexts.insert(open);
    }
    ++Counters[Opens];
    const uint32_t now = ++Counters[OpenNow];
    uint32_t peak = Counters[OpenPeak].load();
    while (now > peak && !Counters[OpenPeak].compare_exchange_weak(peak, now)) {
    }
    return Succeed(open);
}

FAKE_EXPORT uint32_t FAK_Close(uint32_t openContext) {
    {
        std::lock_guard g(OpenLock);
        if (OpenContexts.erase(openContext) == 0) {
            ++Counters[BadContexts];
            return 0;
        }
    }
    ++Counters[Closes];
    --Counters[OpenNow];
    return 1;
}

FAKE_EXPORT uint32_t FAK_Read(uint32_t openContext, uint8_t* buffer, uint32_t count) {
    if (!KnownOpen(openContext))
        return Fail(6);
    if (buffer == nullptr)
        return Fail(87);
    for (uint32_t i = 0; i < count; ++i)
        buffer[i] = static_cast<uint8_t>(i * 3 + 1);
    return Succeed(count);
}

FAKE_EXPORT uint32_t FAK_Write(uint32_t openContext, const uint8_t* buffer, uint32_t count) {
    if (!KnownOpen(openContext))
        return Fail(6);
    if (buffer == nullptr)
        return Fail(87);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum += buffer[i];
    Counters[WriteSum] = sum;
    return Succeed(count);
}

FAKE_EXPORT uint32_t FAK_Seek(uint32_t openContext, int32_t distance, uint32_t moveMethod) {
    if (!KnownOpen(openContext)) {
        orvex::PublishLastError(6);
        return 0xFFFFFFFFu;
    }
    return Succeed(static_cast<uint32_t>(distance) * 2 + moveMethod);
}

FAKE_EXPORT void FAK_PowerUp(uint32_t) {}
FAKE_EXPORT void FAK_PowerDown(uint32_t) {}

FAKE_EXPORT uint32_t FAK_IOControl(uint32_t openContext, uint32_t code, const uint8_t* in,
                                   uint32_t inSize, uint8_t* out, uint32_t outSize,
                                   uint32_t* returned) {
    if (code == CodePostLoad) {
        // The post-load code arrives on the device context, not on a handle.
        if (openContext != DeviceContext)
            ++Counters[BadContexts];
        ++Counters[PostLoads];
        if (in != nullptr || out != nullptr || inSize != 0 || outSize != 0 || returned) {
            ++Counters[PostLoadsWithBuffers];
        }
        return Succeed(0);
    }
    if (!KnownOpen(openContext))
        return Fail(6);
    struct Busy {
        Busy() { ++InCall; }
        ~Busy() { --InCall; }
    } busy;
    switch (code) {
        case CodeTransform: {
            if (in == nullptr || out == nullptr)
                return Fail(87);
            const uint32_t n = std::min(inSize, outSize);
            for (uint32_t i = 0; i < n; ++i)
                out[i] = in[i] ^ 0x5A;
            if (returned != nullptr)
                *returned = n;
            return Succeed(1);
        }
        case CodeOutputSum: {
            uint32_t sum = 0;
            for (uint32_t i = 0; out != nullptr && i < outSize; ++i)
                sum += out[i];
            return Succeed(0x10000 + sum);
        }
        case CodeDescribe: {
            uint32_t r = 0x100;
            if (in == nullptr)
                r |= 1;
            if (out == nullptr)
                r |= 2;
            if (in != nullptr && static_cast<const void*>(in) == out)
                r |= 4;
            if (returned == nullptr)
                r |= 8;
            if (returned != nullptr)
                *returned = (inSize << 16) | outSize;
            return Succeed(r);
        }
        case CodeFail:
            return Fail(FirstWord(in, inSize));
        case CodeSlow:
            std::this_thread::sleep_for(std::chrono::milliseconds(FirstWord(in, inSize)));
            return Succeed(1);
        case CodeStats:
            if (out == nullptr || outSize < 4 * CounterCount)
                return Fail(87);
            for (uint32_t i = 0; i < CounterCount; ++i) {
                const uint32_t v = Counters[i].load();
                std::memcpy(out + 4 * i, &v, 4);
            }
            return Succeed(1);
        case CodeRefuseOpens:
            RefuseOpens = FirstWord(in, inSize);
            return Succeed(1);
        default:
            return Fail(50);
    }
}

// Counters for a test that holds the module loaded past the host's Stop.
FAKE_EXPORT void FakeDriverCounters(uint32_t* out) {
    for (uint32_t i = 0; i < CounterCount; ++i)
        out[i] = Counters[i].load();
}

FAKE_EXPORT void FakeDriverReset() {
    for (auto& c : Counters)
        c = 0;
    RefuseOpens = 0;
    std::lock_guard g(OpenLock);
    OpenContexts.clear();
}

// A driver whose start fails: the host must not create its device.
FAKE_EXPORT uint32_t BAD_Init(uint32_t) {
    return 0;
}
FAKE_EXPORT uint32_t BAD_Deinit(uint32_t) {
    ++Counters[BadContexts];  // never called for a driver that did not start
    return 1;
}
FAKE_EXPORT uint32_t BAD_Open(uint32_t, uint32_t, uint32_t) {
    return 0;
}
FAKE_EXPORT uint32_t BAD_Close(uint32_t) {
    return 0;
}
FAKE_EXPORT uint32_t BAD_IOControl(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t,
                                   uint32_t*) {
    return 0;
}
