// A serial port test double that the test feeds burst by burst, as bytes
// would arrive on the wire, plus a driver wired to capture doubles, for
// tests of the reader thread and of anything that replays port traffic.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/debug.h"
#include "platform/serial.h"
#include "platform/testing/input-recording.h"

namespace orvex::test {

class ScriptedSerialPort final : public SerialPort {
  public:
    // One burst of received bytes. A read never returns bytes of two bursts,
    // the way a real port's inter-character time-out ends a read at a pause.
    void Arrive(std::vector<uint8_t> bytes);
    // From now on every wait and read fails with this last error (0: stop
    // failing).
    void FailWith(uint32_t error);
    // Called (without the port's lock) when a wait finds no data; the wait
    // then returns with an empty mask. Without a hook the wait blocks until
    // data arrives, the mask is set or the port is closed.
    void OnDry(std::function<void()> hook);

    size_t WaitCalls() const;
    size_t ReadCalls() const;
    std::vector<uint32_t> ReadSizes() const;
    // Bytes that arrived and were not read yet.
    size_t Pending() const;

    bool SetupComm(uint32_t, uint32_t) override { return true; }
    bool GetCommState(Dcb* dcb) override;
    bool SetCommState(const Dcb&) override { return true; }
    bool GetCommTimeouts(CommTimeouts* timeouts) override;
    bool SetCommTimeouts(const CommTimeouts&) override { return true; }
    bool SetCommMask(uint32_t mask) override;
    bool WaitCommEvent(uint32_t* mask) override;
    bool Read(uint8_t* buffer, uint32_t count, uint32_t* read) override;
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t* written) override;
    bool LineControl(uint32_t) override { return true; }
    void Close() override;

  private:
    mutable std::mutex Lock_;
    std::condition_variable Cv_;
    std::deque<std::vector<uint8_t>> Bursts_;
    std::function<void()> Dry_;
    uint32_t Mask_ = EV_RXCHAR;
    uint64_t MaskChanges_ = 0;
    uint32_t Fail_ = 0;
    bool Closed_ = false;
    size_t Waits_ = 0;
    size_t Reads_ = 0;
    std::vector<uint32_t> ReadSizes_;
};

// A driver on capture doubles with a scripted port as its PortHandle.
struct ReaderRig {
    ReaderRig();
    CaptureDebugOutput Debug;
    RecordingInput Pointer;
    Platform Sys;
    std::unique_ptr<Driver> D;
    ScriptedSerialPort* Port;  // owned by D->PortHandle

    // Arranges for the reader to stop once every burst has been consumed,
    // so a reader thread function can run to its end on the test's thread.
    void StopWhenDry();
};

// One line per injected call, the way the golden recordings spell them:
// "mouse_event(0x8003, 32768, 32768, 0, 0)" or
// "PostMessage(0x00001234, 0x0111, 0x7FFF, 0)".
std::string FormatCall(const RecordingInput::Call& call);
std::vector<std::string> FormatCalls(const std::vector<RecordingInput::Call>& calls);

}  // namespace orvex::test
