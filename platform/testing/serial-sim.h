// Test double of the serial ports: named, in-process ports whose far end is
// played by a test or by a simulated controller.
//
// Each name ("COM1:", any case) is one device, created by Device() and kept
// for the life of the SimulatedSerialPorts. Open() of a name no device was
// created for fails with ERROR_FILE_NOT_FOUND; names that are not
// "COM<digit>:" fail with ERROR_INVALID_NAME, as on the real ports. A device
// is open through at most one handle (ERROR_SHARING_VIOLATION otherwise).
//
// Read time-outs keep the real ports' meaning, except that time does not
// pass on its own: a read that would wait for more bytes with a finite
// time-out returns what is there at once, and reports the time it would have
// waited to the "time passes" hook, so a test on a controllable clock still
// sees time go by. A read with no finite limit (all three time-outs 0, or an
// interval alone before the first byte) blocks until enough bytes are sent,
// the handle is closed or the device is unplugged.
//
// A device can instead keep line time on a controllable clock
// (KeepLineTime): then every byte takes 10 bits at the line's rate, a read
// or wait moves the clock on to the moment its bytes arrive or its time-out
// runs out, and the far end hears a write only once it has crossed the wire.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial.h"
#include "platform/testing/timer-manual.h"

namespace orvex {

// The far end of a simulated port. Callbacks run synchronously on the thread
// that called the port, outside every lock of the port, so they may call
// SimulatedDevice::Send (to answer a command, say) from inside.
class SimulatedFarEnd {
  public:
    virtual ~SimulatedFarEnd() = default;
    virtual void OnOpen() {}
    virtual void OnClose() {}
    // After a successful SetCommState.
    virtual void OnCommState(const Dcb&) {}
    // After every line-control code, with both lines' new state.
    virtual void OnLines(bool /*rts*/, bool /*dtr*/) {}
    // The bytes of one Write, in full.
    virtual void OnWrite(std::span<const uint8_t>) {}
};

class SimulatedDevice {
  public:
    struct LogEntry {
        enum class Kind { LineControl, CommState };
        Kind What;
        uint32_t Code;  // the IOCTL_SERIAL_* code (LineControl)
        Dcb State;      // the state set (CommState)
    };

    struct Core;
    explicit SimulatedDevice(std::function<void(uint32_t)> timePasses);
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // Null detaches. Calls already under way finish with the old far end.
    void Attach(std::shared_ptr<SimulatedFarEnd> farEnd);

    // From now on the line keeps time on clock (which must outlive the
    // device): bytes the far end sends arrive one character time (10 bits at
    // the current rate) apart, after those already on their way; what the
    // far end sends while it handles a write or a change of the lines starts
    // turnaroundUs after it heard the last byte of the write (or saw the
    // lines change). Reads and waits move the clock on instead of telling
    // the time-passes hook. Writes still return at once.
    void KeepLineTime(ManualTimerService& clock, uint32_t turnaroundUs = 2000);

    // Queues bytes on the port's receive side and wakes waiting calls. Bytes
    // sent while unplugged are lost.
    void Send(std::span<const uint8_t> bytes);
    void Send(std::initializer_list<uint8_t> bytes);

    // Failure switches; an error of 0 switches the failure off. The error is
    // the last error the call leaves.
    void FailOpen(uint32_t error);
    void FailGetCommState(uint32_t error);
    void FailSetCommState(uint32_t error);

    // Unplugging kills the open handle (its reads and waits fail with
    // ERROR_DEVICE_NOT_CONNECTED, and it no longer holds the device), drops
    // unread bytes and makes Open fail with ERROR_FILE_NOT_FOUND until the
    // device is plugged in again.
    void Unplug();
    void Plug();

    bool IsOpen() const;
    uint32_t OpenCount() const;  // successful opens so far
    Dcb CommState() const;
    bool Rts() const;
    bool Dtr() const;
    CommTimeouts Timeouts() const;
    uint32_t Mask() const;
    size_t Pending() const;  // bytes sent and not yet read
    // Calls (Read, WaitCommEvent) now blocked waiting, so a test can act once
    // another thread is surely inside one.
    size_t BlockedCalls() const;
    std::vector<uint8_t> Written() const;
    void ClearWritten();
    // Line-control codes and comm states set, in order.
    std::vector<LogEntry> Log() const;
    void ClearLog();

    // Used by SimulatedSerialPorts.
    std::unique_ptr<SerialPort> Open();

  private:
    std::shared_ptr<Core> C_;
};

class SimulatedSerialPorts final : public SerialPorts {
  public:
    // timePasses, if set, is told how many ms a read would have waited.
    explicit SimulatedSerialPorts(std::function<void(uint32_t ms)> timePasses = {});
    ~SimulatedSerialPorts() override;

    // The device behind name, created on first use.
    SimulatedDevice& Device(std::u16string_view name);
    std::unique_ptr<SerialPort> Open(std::u16string_view name) override;

  private:
    std::function<void(uint32_t)> TimePasses_;
    std::mutex Lock_;
    std::map<std::u16string, std::unique_ptr<SimulatedDevice>> Devices_;
};

}  // namespace orvex
