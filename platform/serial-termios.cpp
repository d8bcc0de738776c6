// Serial ports on termios devices.
//
// Every blocking call polls the device together with a close eventfd, so
// Close() can wake it; nothing ever sleeps in read() or write() (the fd is
// non-blocking). A use counter keeps the fd open until the last call has left,
// so a Close() racing a Read() can never make that Read() touch a closed (or
// reused) descriptor.
//
// Pseudo-terminals have no modem lines: there RTS and DTR travel as termios
// flags that a raw pty ignores (see docs/pty-lines.md), so a simulator on the
// master side can read them with tcgetattr().
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/uniquefd.h"

namespace orvex {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char16_t SerialKeyPath[] = u"Platform\\Serial";

struct RateEntry {
    uint32_t Rate;
    speed_t Speed;
};

constexpr RateEntry Rates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedOf(uint32_t rate) {
    for (const auto& e : Rates)
        if (e.Rate == rate)
            return e.Speed;
    return std::nullopt;
}

uint32_t RateOf(speed_t speed) {
    for (const auto& e : Rates)
        if (e.Speed == speed)
            return e.Rate;
    return 0;  // B0 (hang-up) or a speed we have no number for
}

bool FailWith(uint32_t error) {
    SetLastError(error);
    return false;
}

bool FailWithErrno(int err) {
    return FailWith(ErrorFromErrno(err));
}

// Milliseconds from now until deadline, rounded up so a poll never returns
// just before its deadline and makes the caller go round again for nothing.
int PollTimeout(std::optional<Clock::time_point> deadline) {
    if (!deadline)
        return -1;
    const auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    const auto ms = (us + 999) / 1000;
    return static_cast<int>(std::min<int64_t>(ms, 24 * 3600 * 1000));
}

bool Passed(std::optional<Clock::time_point> deadline) {
    return deadline && Clock::now() >= *deadline;
}

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

// Whether two termios agree on what a Dcb says: rate, data bits, parity and
// stop bits (CMSPAR counts only as part of parity).
bool SameLineSettings(const termios& a, const termios& b) {
    if (::cfgetospeed(&a) != ::cfgetospeed(&b) || ::cfgetispeed(&a) != ::cfgetispeed(&b))
        return false;
    tcflag_t mask = CSIZE | PARENB | CSTOPB;
    if (a.c_cflag & PARENB)
        mask |= PARODD | CMSPAR;
    return (a.c_cflag & mask) == (b.c_cflag & mask);
}

bool IsMissingIoctl(int err) {
    return err == ENOTTY || err == EINVAL;
}

class TermiosPort final : public SerialPort {
  public:
    TermiosPort(UniqueFd fd, UniqueFd wake, bool virtualLines)
        : Fd_(std::move(fd)), Wake_(std::move(wake)), VirtualLines_(virtualLines) {}

    ~TermiosPort() override { Close(); }

    bool SetupComm(uint32_t, uint32_t) override {
        // The kernel owns the queues; there is nothing to size.
        Call call(*this);
        return call.Entered();
    }

    bool GetCommState(Dcb* dcb) override {
        Call call(*this);
        if (!call.Entered())
            return false;
        if (!dcb)
            return FailWith(ERROR_INVALID_PARAMETER);
        termios t{};
        if (::tcgetattr(Fd_.Get(), &t) != 0)
            return FailWithErrno(errno);
        Dcb out;
        out.BaudRate = RateOf(::cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
            case CS5:
                out.ByteSize = 5;
                break;
            case CS6:
                out.ByteSize = 6;
                break;
            case CS7:
                out.ByteSize = 7;
                break;
            default:
                out.ByteSize = 8;
                break;
        }
        // Without PARENB, CMSPAR may be the virtual RTS line: not parity.
        if ((t.c_cflag & PARENB) == 0)
            out.Parity = 0;
        else if (t.c_cflag & CMSPAR)
            out.Parity = (t.c_cflag & PARODD) ? 3 : 4;
        else
            out.Parity = (t.c_cflag & PARODD) ? 1 : 2;
        out.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
        *dcb = out;
        return true;
    }

    bool SetCommState(const Dcb& dcb) override {
        Call call(*this);
        if (!call.Entered())
            return false;
        if (!IsSupportedDcb(dcb))
            return FailWith(ERROR_INVALID_PARAMETER);
        const auto speed = SpeedOf(dcb.BaudRate);
        if (!speed)
            return FailWith(ERROR_INVALID_PARAMETER);

        std::lock_guard lock(TermiosLock_);
        termios t{};
        if (::tcgetattr(Fd_.Get(), &t) != 0)
            return FailWithErrno(errno);
        const termios before = t;
        ::cfsetispeed(&t, *speed);
        ::cfsetospeed(&t, *speed);
        static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag = (t.c_cflag & ~CSIZE) | Sizes[dcb.ByteSize - 5];
        t.c_cflag &= ~(PARENB | PARODD | CMSPAR | CSTOPB);
        switch (dcb.Parity) {
            case 1:
                t.c_cflag |= PARENB | PARODD;
                break;
            case 2:
                t.c_cflag |= PARENB;
                break;
            case 3:
                t.c_cflag |= PARENB | CMSPAR | PARODD;
                break;
            case 4:
                t.c_cflag |= PARENB | CMSPAR;
                break;
            default:
                break;
        }
        if (dcb.StopBits == 2)
            t.c_cflag |= CSTOPB;
        ApplyVirtualLines(&t);
        if (::tcsetattr(Fd_.Get(), TCSANOW, &t) != 0)
            return FailWithErrno(errno);
        // tcsetattr succeeds when any part was taken; a device may drop the
        // rest (a pty forces 8 data bits and no parity). Report that as the
        // failure it is, with the old settings back in place.
        termios now{};
        if (::tcgetattr(Fd_.Get(), &now) != 0)
            return FailWithErrno(errno);
        if (!SameLineSettings(t, now)) {
            [[maybe_unused]] int r = ::tcsetattr(Fd_.Get(), TCSANOW, &before);  // best effort
            return FailWith(ERROR_INVALID_PARAMETER);
        }
        return true;
    }

    bool GetCommTimeouts(CommTimeouts* timeouts) override {
        Call call(*this);
        if (!call.Entered())
            return false;
        if (!timeouts)
            return FailWith(ERROR_INVALID_PARAMETER);
        std::lock_guard lock(Lock_);
        *timeouts = Timeouts_;
        return true;
    }

    bool SetCommTimeouts(const CommTimeouts& timeouts) override {
        Call call(*this);
        if (!call.Entered())
            return false;
        std::lock_guard lock(Lock_);
        Timeouts_ = timeouts;
        return true;
    }

    bool SetCommMask(uint32_t mask) override {
        Call call(*this);
        if (!call.Entered())
            return false;
        std::lock_guard lock(Lock_);
        Mask_ = mask;
        const uint64_t one = 1;
        for (int fd : MaskWaiters_) {
            // An eventfd write fails only on counter overflow, which one
            // pending wake-up per waiter cannot reach.
            [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
        }
        return true;
    }

    bool WaitCommEvent(uint32_t* mask) override {
        if (!mask)
            return FailWith(ERROR_INVALID_PARAMETER);
        *mask = 0;
        Call call(*this);
        if (!call.Entered())
            return false;

        // Each wait has its own wake-up fd: a shared one would have to be
        // reset by someone, and a waiter arriving before that would spin.
        UniqueFd woken(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!woken.Valid())
            return FailWithErrno(errno);
        uint32_t watched = 0;
        {
            std::lock_guard lock(Lock_);
            watched = Mask_;
            if (watched == 0)
                return FailWith(ERROR_INVALID_PARAMETER);
            MaskWaiters_.push_back(woken.Get());
        }
        struct Unregister {
            TermiosPort& Port;
            int Fd;
            ~Unregister() {
                std::lock_guard lock(Port.Lock_);
                std::erase(Port.MaskWaiters_, Fd);
            }
        } unregister{*this, woken.Get()};

        const bool wantData = (watched & EV_RXCHAR) != 0;
        for (;;) {
            pollfd fds[3] = {{Fd_.Get(), static_cast<short>(wantData ? POLLIN : 0), 0},
                             {Wake_.Get(), POLLIN, 0},
                             {woken.Get(), POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return FailWithErrno(errno);
            }
            if (fds[1].revents)
                return FailWith(ERROR_OPERATION_ABORTED);
            if (fds[2].revents)
                return true;  // the mask changed: *mask stays 0
            const short dev = fds[0].revents;
            if (dev & (POLLHUP | POLLERR | POLLNVAL)) {
                // Let the caller read what arrived before the device went.
                if (wantData && Available() > 0) {
                    *mask = EV_RXCHAR;
                    return true;
                }
                return FailWith(ERROR_DEVICE_NOT_CONNECTED);
            }
            if (dev & POLLIN) {
                *mask = EV_RXCHAR;
                return true;
            }
        }
    }

    bool Read(uint8_t* buffer, uint32_t count, uint32_t* read) override {
        uint32_t got = 0;
        auto finish = [&](bool ok) {
            if (read)
                *read = got;
            return ok;
        };
        if (read)
            *read = 0;
        Call call(*this);
        if (!call.Entered())
            return false;
        if (!buffer && count > 0)
            return FailWith(ERROR_INVALID_PARAMETER);
        if (count == 0)
            return finish(true);

        const CommTimeouts t = CurrentTimeouts();
        const auto start = Clock::now();
        const bool immediate = t.ReadIntervalTimeout == MAXDWORD &&
                               t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
        const bool anyOrConstant =
            t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
        std::optional<Clock::time_point> totalDeadline;
        std::chrono::milliseconds interval{0};
        if (anyOrConstant) {
            totalDeadline = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
        } else if (!immediate) {
            const uint64_t total =
                uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
            if (total > 0)
                totalDeadline = start + std::chrono::milliseconds(total);
            interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
        }

        Clock::time_point lastByte = start;
        bool hungUp = false;
        for (;;) {
            // Take everything that is there.
            bool drained = false;
            while (got < count && !drained) {
                const ssize_t n = ::read(Fd_.Get(), buffer + got, count - got);
                if (n > 0) {
                    got += static_cast<uint32_t>(n);
                    lastByte = Clock::now();
                } else if (n == 0) {
                    // A tty read of 0 on a non-blocking fd is end of file:
                    // the far end hung up. Hand over what we have first.
                    if (got > 0)
                        return finish(true);
                    return finish(FailWith(ERROR_DEVICE_NOT_CONNECTED));
                } else if (errno == EINTR) {
                    continue;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    drained = true;
                } else {
                    const int err = errno;
                    if (got > 0)
                        return finish(true);
                    return finish(FailWithErrno(err));
                }
            }
            if (got == count || immediate)
                return finish(true);
            if (hungUp) {
                // poll said the device is gone, yet read had nothing to say:
                // do not poll again (it would return at once, forever).
                if (got > 0)
                    return finish(true);
                return finish(FailWith(ERROR_DEVICE_NOT_CONNECTED));
            }
            if (anyOrConstant && got > 0)
                return finish(true);
            std::optional<Clock::time_point> deadline = totalDeadline;
            if (got > 0 && interval.count() > 0)
                deadline = Earliest(deadline, lastByte + interval);
            if (Passed(deadline))
                return finish(true);

            if (!WaitForDevice(POLLIN, deadline, &hungUp))
                return finish(false);
        }
    }

    bool Write(const uint8_t* buffer, uint32_t count, uint32_t* written) override {
        uint32_t done = 0;
        auto finish = [&](bool ok) {
            if (written)
                *written = done;
            return ok;
        };
        if (written)
            *written = 0;
        Call call(*this);
        if (!call.Entered())
            return false;
        if (!buffer && count > 0)
            return FailWith(ERROR_INVALID_PARAMETER);

        const CommTimeouts t = CurrentTimeouts();
        const uint64_t total =
            uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
        std::optional<Clock::time_point> deadline;
        if (total > 0)
            deadline = Clock::now() + std::chrono::milliseconds(total);

        bool hungUp = false;
        while (done < count) {
            const ssize_t n = ::write(Fd_.Get(), buffer + done, count - done);
            if (n > 0) {
                done += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return finish(FailWithErrno(errno));
            if (hungUp)
                return finish(FailWith(ERROR_DEVICE_NOT_CONNECTED));
            if (Passed(deadline))
                return finish(true);  // timed out: the short count says so

            if (!WaitForDevice(POLLOUT, deadline, &hungUp))
                return finish(false);
        }
        return finish(true);
    }

    bool LineControl(uint32_t code) override {
        Call call(*this);
        if (!call.Entered())
            return false;
        int bit = 0;
        bool on = false;
        switch (code) {
            case IOCTL_SERIAL_SET_DTR:
                bit = TIOCM_DTR, on = true;
                break;
            case IOCTL_SERIAL_CLR_DTR:
                bit = TIOCM_DTR, on = false;
                break;
            case IOCTL_SERIAL_SET_RTS:
                bit = TIOCM_RTS, on = true;
                break;
            case IOCTL_SERIAL_CLR_RTS:
                bit = TIOCM_RTS, on = false;
                break;
            default:
                return FailWith(ERROR_INVALID_PARAMETER);
        }

        std::lock_guard lock(TermiosLock_);
        if (!VirtualLines_) {
            if (::ioctl(Fd_.Get(), on ? TIOCMBIS : TIOCMBIC, &bit) == 0)
                return true;
            if (!IsMissingIoctl(errno))
                return FailWithErrno(errno);
            VirtualLines_ = true;  // no modem lines here after all
        }
        (bit == TIOCM_RTS ? Rts_ : Dtr_) = on;
        termios t{};
        if (::tcgetattr(Fd_.Get(), &t) != 0)
            return FailWithErrno(errno);
        ApplyVirtualLines(&t);
        if (::tcsetattr(Fd_.Get(), TCSANOW, &t) != 0)
            return FailWithErrno(errno);
        return true;
    }

    void Close() override {
        std::unique_lock lock(Lock_);
        if (!Closed_) {
            Closed_ = true;
            const uint64_t one = 1;
            // Never read back: the eventfd stays readable, so every call that
            // polls it from now on returns at once.
            [[maybe_unused]] auto n = ::write(Wake_.Get(), &one, sizeof one);
        }
        Idle_.wait(lock, [this] { return Users_ == 0; });
        if (Fd_.Valid()) {
            ::ioctl(Fd_.Get(), TIOCNXCL);  // best effort; the lock goes with the fd
            Fd_.Reset();
            Wake_.Reset();
        }
    }

  private:
    // One call inside the port: keeps Close() from closing the fd under it.
    class Call {
      public:
        explicit Call(TermiosPort& port) : Port_(port) {
            std::lock_guard lock(Port_.Lock_);
            if (Port_.Closed_) {
                SetLastError(ERROR_INVALID_HANDLE);
                return;
            }
            ++Port_.Users_;
            Entered_ = true;
        }
        ~Call() {
            if (!Entered_)
                return;
            std::lock_guard lock(Port_.Lock_);
            if (--Port_.Users_ == 0 && Port_.Closed_)
                Port_.Idle_.notify_all();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        bool Entered() const { return Entered_; }

      private:
        TermiosPort& Port_;
        bool Entered_ = false;
    };

    CommTimeouts CurrentTimeouts() {
        std::lock_guard lock(Lock_);
        return Timeouts_;
    }

    // One wait of Read or Write: until the device is ready for events, the
    // deadline passes, or Close() wakes us. A hang-up is noted in *hungUp for
    // the caller to act on after its next attempt. False, with the last error
    // set, when the call must end now.
    bool WaitForDevice(short events, std::optional<Clock::time_point> deadline, bool* hungUp) {
        pollfd fds[2] = {{Fd_.Get(), events, 0}, {Wake_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, PollTimeout(deadline)) < 0)
            return errno == EINTR || FailWithErrno(errno);
        if (fds[1].revents)
            return FailWith(ERROR_OPERATION_ABORTED);
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            *hungUp = true;
        return true;
    }

    int Available() const {
        int n = 0;
        if (::ioctl(Fd_.Get(), FIONREAD, &n) != 0)
            return 0;
        return n;
    }

    // On a line-less device, puts RTS into CMSPAR (only while parity is off,
    // when CMSPAR has no effect) and DTR into ECHOCTL (no effect without ECHO).
    void ApplyVirtualLines(termios* t) const {
        if (!VirtualLines_)
            return;
        if ((t->c_cflag & PARENB) == 0) {
            if (Rts_)
                t->c_cflag |= CMSPAR;
            else
                t->c_cflag &= ~CMSPAR;
        }
        if (Dtr_)
            t->c_lflag |= ECHOCTL;
        else
            t->c_lflag &= ~ECHOCTL;
    }

    UniqueFd Fd_;
    UniqueFd Wake_;

    std::mutex Lock_;  // Closed_, Users_, Mask_, MaskWaiters_, Timeouts_
    std::condition_variable Idle_;
    bool Closed_ = false;
    int Users_ = 0;
    uint32_t Mask_ = 0;
    std::vector<int> MaskWaiters_;
    CommTimeouts Timeouts_{MAXDWORD, MAXDWORD, 20, 0, 0};

    std::mutex TermiosLock_;  // termios read-modify-write and the line state
    bool VirtualLines_;
    // A port raises both lines when it is opened; the virtual ones do too.
    bool Rts_ = true;
    bool Dtr_ = true;
};

// Open's way of failing: the reason in the last error, and no port.
std::unique_ptr<SerialPort> NoPort(uint32_t error) {
    SetLastError(error);
    return nullptr;
}

class TermiosSerialPorts final : public SerialPorts {
  public:
    explicit TermiosSerialPorts(Registry& registry) : Registry_(registry) {}

    std::unique_ptr<SerialPort> Open(std::u16string_view name) override {
        if (ParseComPortName(name) < 0)
            return NoPort(ERROR_INVALID_NAME);
        const std::string path = SerialDevicePath(Registry_, name);
        if (path.empty())
            return NoPort(ERROR_FILE_NOT_FOUND);  // COM0 has no default device

        UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!fd.Valid())
            return NoPort(ErrorFromErrno(errno));
        // flock holds even for root, whom TIOCEXCL lets through.
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
            return NoPort(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno));
        termios t{};
        if (::tcgetattr(fd.Get(), &t) != 0)
            return NoPort(ErrorFromErrno(errno));
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        int lines = 0;
        const bool virtualLines = ::ioctl(fd.Get(), TIOCMGET, &lines) != 0 && IsMissingIoctl(errno);
        if (virtualLines) {
            t.c_cflag |= CMSPAR;   // RTS on (parity is off after cfmakeraw)
            t.c_lflag |= ECHOCTL;  // DTR on
        } else {
            t.c_cflag &= ~CMSPAR;
        }
        if (::tcsetattr(fd.Get(), TCSANOW, &t) != 0)
            return NoPort(ErrorFromErrno(errno));
        UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake.Valid())
            return NoPort(ErrorFromErrno(errno));
        // Last, so no failure path leaves the tty marked exclusive.
        if (::ioctl(fd.Get(), TIOCEXCL) != 0)
            return NoPort(ErrorFromErrno(errno));
        return std::make_unique<TermiosPort>(std::move(fd), std::move(wake), virtualLines);
    }

  private:
    Registry& Registry_;
};

}  // namespace

std::string SerialDevicePath(Registry& registry, std::u16string_view name) {
    const int number = ParseComPortName(name);
    if (number < 0)
        return {};
    std::u16string mapped;
    const std::u16string valueName = u"COM" + std::u16string(1, name[3]);
    if (ReadStringValue(registry, SerialKeyPath, valueName, &mapped) && !mapped.empty())
        return Utf16ToUtf8(mapped);
    if (number == 0)
        return {};
    return "/dev/ttyS" + std::to_string(number - 1);
}

std::unique_ptr<SerialPorts> CreateTermiosSerialPorts(Registry& registry) {
    return std::make_unique<TermiosSerialPorts>(registry);
}

}  // namespace orvex
