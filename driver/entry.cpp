// The ten stream-interface entry points, the module's only exports. They
// serve the one process-wide driver; no exception crosses them.
#include <memory>
#include <mutex>

#include "device/streamdriver.h"
#include "driver/driver.h"

#define ORX_EXPORT extern "C"

namespace orvex {
namespace {

// The process-wide driver and the platform it runs on. The platform is
// assembled on the first start, from the registry's platform settings.
struct Module {
    std::mutex Lock;
    std::unique_ptr<LinuxPlatform> Sys;
    std::unique_ptr<Driver> Instance;
    bool Started = false;

    ~Module() {
        // A host that exits without stopping the driver must not leave the
        // reader thread running into destroyed state.
        if (Instance && Started)
            DriverDeinit(*Instance);
    }
};

Module& TheModule() {
    static Module m;
    return m;
}

// The host reads a call's last error from errno (streamdriver.h).
uint32_t WithLastError(uint32_t result) {
    PublishLastError(GetLastError());
    return result;
}

}  // namespace
}  // namespace orvex

using namespace orvex;

ORX_EXPORT uint32_t ORX_Init(uint32_t /*activeKeyPath*/) {
    Module& m = TheModule();
    std::lock_guard g(m.Lock);
    try {
        if (!m.Sys)
            m.Sys = LinuxPlatform::Create(PlatformRoot());
        if (!m.Sys)
            return 0;
        if (!m.Instance)
            m.Instance = std::make_unique<Driver>(m.Sys->Get());
        uint32_t context = DriverInit(*m.Instance);
        m.Started = context != 0;
        return context;
    } catch (...) {
        return 0;
    }
}

ORX_EXPORT uint32_t ORX_Deinit(uint32_t /*deviceContext*/) {
    Module& m = TheModule();
    std::lock_guard g(m.Lock);
    if (m.Instance && m.Started) {
        DriverDeinit(*m.Instance);
        m.Started = false;
    }
    return 1;
}

ORX_EXPORT uint32_t ORX_Open(uint32_t deviceContext, uint32_t /*access*/, uint32_t /*shareMode*/) {
    // Every open shares the one context; none is counted.
    return deviceContext;
}

ORX_EXPORT uint32_t ORX_Close(uint32_t /*openContext*/) {
    return 1;
}

ORX_EXPORT uint32_t ORX_Read(uint32_t /*openContext*/, uint8_t* /*buffer*/, uint32_t /*count*/) {
    return 0;
}

ORX_EXPORT uint32_t ORX_Write(uint32_t /*openContext*/, const uint8_t* /*buffer*/,
                              uint32_t /*count*/) {
    return 0;
}

ORX_EXPORT uint32_t ORX_Seek(uint32_t /*openContext*/, int32_t /*distance*/,
                             uint32_t /*moveMethod*/) {
    return 0xFFFFFFFFu;
}

ORX_EXPORT void ORX_PowerUp(uint32_t /*deviceContext*/) {}

ORX_EXPORT void ORX_PowerDown(uint32_t /*deviceContext*/) {}

ORX_EXPORT uint32_t ORX_IOControl(uint32_t /*openContext*/, uint32_t code, const uint8_t* in,
                                  uint32_t inSize, uint8_t* out, uint32_t outSize,
                                  uint32_t* returned) {
    Module& m = TheModule();
    // Control codes run on the callers' threads alongside the reader; the
    // lock only guards the module's own bookkeeping, never a call.
    Driver* d;
    {
        std::lock_guard g(m.Lock);
        d = m.Instance.get();
    }
    if (!d) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WithLastError(0);
    }
    try {
        return WithLastError(DriverIoControl(*d, code, in, inSize, out, outSize, returned));
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
        return WithLastError(0);
    }
}
