// Serial ports "COM<n>:", with the semantics of the platform's serial driver
// that detection and the reader threads rely on.
//
// Read time-outs: a port as opened returns from Read as soon as at least one
// byte is there, or after about 20 ms of silence with none. With all three
// read time-outs 0, Read waits until all requested bytes are there. Close()
// (or destroying the port) wakes every blocked WaitCommEvent and Read, which
// then fail.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace orvex {

struct Dcb {
    uint32_t BaudRate = 9600;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
};

struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

inline constexpr uint32_t EV_RXCHAR = 0x0001;

inline constexpr uint32_t IOCTL_SERIAL_SET_DTR = 0x1B000C;
inline constexpr uint32_t IOCTL_SERIAL_CLR_DTR = 0x1B0010;
inline constexpr uint32_t IOCTL_SERIAL_SET_RTS = 0x1B0014;
inline constexpr uint32_t IOCTL_SERIAL_CLR_RTS = 0x1B0018;

// Every failing call sets the thread's last error (lasterror.h).
class SerialPort {
public:
    virtual ~SerialPort() = default;
    virtual bool SetupComm(uint32_t inQueue, uint32_t outQueue) = 0;
    virtual bool GetCommState(Dcb* dcb) = 0;
    virtual bool SetCommState(const Dcb& dcb) = 0;
    virtual bool GetCommTimeouts(CommTimeouts* timeouts) = 0;
    virtual bool SetCommTimeouts(const CommTimeouts& timeouts) = 0;
    // Setting the mask wakes a pending WaitCommEvent, which then returns with
    // a mask of 0.
    virtual bool SetCommMask(uint32_t mask) = 0;
    virtual bool WaitCommEvent(uint32_t* mask) = 0;
    virtual bool Read(uint8_t* buffer, uint32_t count, uint32_t* read) = 0;
    virtual bool Write(const uint8_t* buffer, uint32_t count, uint32_t* written) = 0;
    // The serial line control codes (IOCTL_SERIAL_*), no buffers.
    virtual bool LineControl(uint32_t code) = 0;
    // Wakes every blocked call; later calls fail. Idempotent.
    virtual void Close() = 0;
};

class SerialPorts {
public:
    virtual ~SerialPorts() = default;
    // name is "COM<n>:". Returns null and sets the last error on failure.
    virtual std::unique_ptr<SerialPort> Open(std::u16string_view name) = 0;
};

class Registry;
// termios ports; the device path of "COM<n>:" comes from the registry.
std::unique_ptr<SerialPorts> CreateTermiosSerialPorts(Registry& registry);

}  // namespace orvex
