// Serial ports "COM<n>:", with the semantics of the platform's serial driver
// that detection and the reader threads rely on.
//
// Read time-outs (interval, total multiplier, total constant, in ms):
//   0, 0, 0                    Read waits until all requested bytes are there;
//   MAXDWORD, 0, 0             Read returns at once with what is there;
//   MAXDWORD, MAXDWORD, C      Read returns as soon as at least one byte is
//                              there, or after C ms with none (0 < C < MAXDWORD);
//   anything else              total = multiplier * count + constant ms (0 = no
//                              limit), and a non-zero interval limits the gap
//                              between two bytes once the first has come.
// A port as opened has MAXDWORD, MAXDWORD, 20: Read returns at once with at
// least one byte, or after about 20 ms of silence with none.
//
// Close() (or destroying the port) wakes every blocked WaitCommEvent and Read,
// which then fail with ERROR_OPERATION_ABORTED; destroying waits until no call
// is inside the port any more. A device that went away (unplugged, far end
// closed) makes Read and WaitCommEvent fail with ERROR_DEVICE_NOT_CONNECTED at
// once, every time, so callers must back off rather than retry in a loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
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

inline constexpr uint32_t MAXDWORD = 0xFFFFFFFF;
inline constexpr uint32_t EV_RXCHAR = 0x0001;

// The rates SetCommState accepts.
inline constexpr uint32_t SupportedBaudRates[] = {300,   600,   1200,  2400,   4800,  9600,
                                                  19200, 38400, 57600, 115200, 230400};

// Whether a port can be set to dcb: a supported rate, 5 to 8 data bits, parity
// 0..4, one or two stop bits. SetCommState fails with ERROR_INVALID_PARAMETER
// otherwise.
inline bool IsSupportedDcb(const Dcb& dcb) {
    bool rate = false;
    for (uint32_t r : SupportedBaudRates)
        rate = rate || r == dcb.BaudRate;
    return rate && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= 4 &&
           (dcb.StopBits == 0 || dcb.StopBits == 2);
}

inline constexpr uint32_t IOCTL_SERIAL_SET_DTR = 0x1B000C;
inline constexpr uint32_t IOCTL_SERIAL_CLR_DTR = 0x1B0010;
inline constexpr uint32_t IOCTL_SERIAL_SET_RTS = 0x1B0014;
inline constexpr uint32_t IOCTL_SERIAL_CLR_RTS = 0x1B0018;

// The port number of a "COM<digit>:" name (any case), or -1. The design
// formats port names into 6 wide characters with the terminator, so longer
// names ("COM10:") are refused rather than cut short.
inline int ParseComPortName(std::u16string_view name) {
    if (name.size() != 5)
        return -1;
    auto upper = [](char16_t c) {
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
    };
    if (upper(name[0]) != u'C' || upper(name[1]) != u'O' || upper(name[2]) != u'M' ||
        name[4] != u':')
        return -1;
    if (name[3] < u'0' || name[3] > u'9')
        return -1;
    return name[3] - u'0';
}

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
    // With EV_RXCHAR in the mask: blocks until at least one byte can be read
    // (*mask = EV_RXCHAR) or until SetCommMask wakes it (*mask = 0). With a
    // mask of 0 it fails at once with ERROR_INVALID_PARAMETER, so a mask
    // cleared just before the call cannot leave the caller waiting forever.
    // *mask is 0 whenever the call fails.
    virtual bool WaitCommEvent(uint32_t* mask) = 0;
    // *read is the count of bytes placed in buffer, also when the call fails.
    virtual bool Read(uint8_t* buffer, uint32_t count, uint32_t* read) = 0;
    // Writes everything unless the write time-outs (multiplier * count +
    // constant ms; both 0 = no limit) run out first: then it returns true with
    // the shorter count.
    virtual bool Write(const uint8_t* buffer, uint32_t count, uint32_t* written) = 0;
    // The serial line control codes (IOCTL_SERIAL_*), no buffers. Other codes
    // fail with ERROR_INVALID_PARAMETER.
    virtual bool LineControl(uint32_t code) = 0;
    // Wakes every blocked call; later calls fail. Idempotent.
    virtual void Close() = 0;
};

class SerialPorts {
  public:
    virtual ~SerialPorts() = default;
    // name is "COM<digit>:" (others fail with ERROR_INVALID_NAME). Opening is
    // exclusive: a port already open fails with ERROR_SHARING_VIOLATION.
    // Returns null and sets the last error on failure.
    virtual std::unique_ptr<SerialPort> Open(std::u16string_view name) = 0;
};

class Registry;
// termios ports; the device path of "COM<n>:" comes from the registry.
std::unique_ptr<SerialPorts> CreateTermiosSerialPorts(Registry& registry);
// The device path those ports open for name: Platform\Serial "COM<n>" when
// set, else /dev/ttyS<n-1>. Empty for a name that is no port, and for COM0
// when nothing maps it.
std::string SerialDevicePath(Registry& registry, std::u16string_view name);

}  // namespace orvex
