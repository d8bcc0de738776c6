// The machinery of the touch-latency benchmark (latency_bench.cpp), kept in
// a header so that its tests can run the same rounds on a real
// pseudo-terminal.
//
// A round writes TS reports to the master of a pseudo-terminal one at a
// time and measures, for each, the time from the write() that carried it
// (the clock starts as the call is made) to the moment a reader on the slave
// handed it on:
// either the driver's reader thread reaching the input layer, or a bare
// blocking read() of five bytes (the floor). The next report is written only
// after the previous one has been seen and a gap has passed, so the reader is
// asleep when each report arrives, as it is between the reports of a panel.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "platform/debug.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/timer.h"

namespace orvex::latency {

using Clock = std::chrono::steady_clock;

struct RoundOptions {
    int Warmup = 20;  // reports per round that are sent but not counted
    int GapUs = 200;  // pause after a report was seen, before the next one
    // How long one report may take before the round is called failed: far
    // beyond any latency, since a heavily loaded machine can stall a thread
    // for seconds and only a report that is truly lost should fail a run.
    std::chrono::milliseconds Limit{10000};
};

// ---- the reports

// Raw X of report i: 1..500, never the same twice in a row, so every report
// moves the pointer. Below calibration point 2 the load calibration maps raw
// X to 64 * X exactly, which lets the driver's sink say which report it was
// handed.
inline uint16_t RawX(uint32_t i) {
    return static_cast<uint16_t>(1 + i % 500);
}
inline uint16_t RawY(uint32_t i) {
    return static_cast<uint16_t>(1023 - (i * 7) % 1000);
}

inline std::array<uint8_t, 5> MakeReport(uint32_t i) {
    const uint16_t x = RawX(i), y = RawY(i);
    return {0xA0,  // start of report, touching
            static_cast<uint8_t>(x >> 6), static_cast<uint8_t>(x & 0x3F),
            static_cast<uint8_t>(y >> 6), static_cast<uint8_t>(y & 0x3F)};
}

// The raw X a pointer event at absolute x stands for (see RawX).
inline uint32_t RawXOfPointer(uint32_t x) {
    return x / 64;
}

// ---- figures

struct Figures {
    double Median = 0, P99 = 0, Max = 0;
};

// Nearest-rank median and 99th percentile. Empty input gives zeros.
inline Figures Summarise(std::vector<double> v) {
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    const size_t p99Rank = (n * 99 + 99) / 100;  // ceil(0.99 n), at least 1
    return {v[n / 2], v[p99Rank - 1], v.back()};
}

// ---- plumbing

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : Fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : Fd_(std::exchange(other.Fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            if (Fd_ >= 0)
                ::close(Fd_);
            Fd_ = std::exchange(other.Fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (Fd_ >= 0)
            ::close(Fd_);
    }
    int Get() const { return Fd_; }
    bool Valid() const { return Fd_ >= 0; }

  private:
    int Fd_ = -1;
};

inline std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

inline bool WriteAll(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return false;
    }
    return true;
}

// A pseudo-terminal whose slave is COM1 in a registry in a temporary
// platform root, with the termios ports that open it. The master is blocking:
// a five-byte write always fits.
class PtyLink {
  public:
    PtyLink() = default;
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;
    ~PtyLink() {
        Ports_.reset();
        Reg_.reset();
        if (!Root_.empty()) {
            std::error_code ec;  // a leftover directory is not worth failing over
            std::filesystem::remove_all(Root_, ec);
        }
    }

    bool Open(std::string* error) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvex-lat-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            *error = ErrnoText("cannot create a temporary platform root");
            return false;
        }
        Root_ = pattern;
        uint32_t code = 0;
        Reg_ = OpenSqliteRegistry(Root_, &code);
        if (!Reg_) {
            *error = "cannot open the registry (error " + std::to_string(code) + ")";
            return false;
        }
        Master_ = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        char name[128];
        if (!Master_.Valid() || ::grantpt(Master_.Get()) != 0 || ::unlockpt(Master_.Get()) != 0 ||
            ::ptsname_r(Master_.Get(), name, sizeof name) != 0) {
            *error = ErrnoText("cannot set up a pseudo-terminal");
            return false;
        }
        Slave_ = name;

        RegKey key = 0;
        if (Reg_->CreateKey(HKEY_LOCAL_MACHINE, u"Platform\\Serial", &key) != ERROR_SUCCESS) {
            *error = "cannot create Platform\\Serial";
            return false;
        }
        std::u16string path = Utf8ToUtf16(Slave_);
        path.push_back(u'\0');
        code = Reg_->SetValue(key, u"COM1", REG_SZ, reinterpret_cast<const uint8_t*>(path.data()),
                              static_cast<uint32_t>(path.size() * sizeof(char16_t)));
        Reg_->CloseKey(key);
        if (code != ERROR_SUCCESS) {
            *error = "cannot map COM1 (error " + std::to_string(code) + ")";
            return false;
        }
        Ports_ = CreateTermiosSerialPorts(*Reg_);
        return true;
    }

    int Master() const { return Master_.Get(); }
    const std::string& Slave() const { return Slave_; }
    Registry& Reg() { return *Reg_; }
    SerialPorts& Ports() { return *Ports_; }

  private:
    std::string Root_;
    std::unique_ptr<Registry> Reg_;
    UniqueFd Master_;
    std::string Slave_;
    std::unique_ptr<SerialPorts> Ports_;
};

// ---- measuring

// Where a reader reports arrivals. Everything is allocated before the round,
// and the clock is read first, so marking an arrival adds nothing to the
// figure it records.
class Arrivals {
  public:
    explicit Arrivals(size_t capacity) : Times_(capacity), Tags_(capacity) {}

    void Mark(uint32_t tag) {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard g(Lock_);
            if (Count_ < Times_.size()) {
                Times_[Count_] = now;
                Tags_[Count_] = tag;
            }
            ++Count_;
        }
        Cv_.notify_one();
    }

    // Waits until at least n arrivals were marked.
    bool WaitFor(size_t n, std::chrono::milliseconds limit) {
        std::unique_lock g(Lock_);
        return Cv_.wait_for(g, limit, [&] { return Count_ >= n; });
    }
    size_t Count() {
        std::lock_guard g(Lock_);
        return Count_;
    }
    std::pair<Clock::time_point, uint32_t> At(size_t i) {
        std::lock_guard g(Lock_);
        return {Times_[i], Tags_[i]};
    }

  private:
    std::mutex Lock_;
    std::condition_variable Cv_;
    std::vector<Clock::time_point> Times_;
    std::vector<uint32_t> Tags_;
    size_t Count_ = 0;
};

// The input layer as the driver sees it: timestamps every pointer event and
// tags it with the raw X it stands for.
class TimingInput final : public Input {
  public:
    explicit TimingInput(Arrivals& arrivals) : Arrivals_(arrivals) {}
    void MouseEvent(uint32_t, uint32_t x, uint32_t, uint32_t, uintptr_t) override {
        Arrivals_.Mark(RawXOfPointer(x));
    }
    void PostMessage(uint32_t, uint32_t, uint32_t, uint32_t) override {}

  private:
    Arrivals& Arrivals_;
};

inline void SleepMicroseconds(int us) {
    if (us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// Writes o.Warmup + count reports to master one at a time, each seen by the
// reader behind arrivals before the next goes out, and appends the latency
// of the last count of them to samples (microseconds). *serial numbers the
// reports across rounds. Fails, saying why, when a report goes missing,
// arrives as another one, or arrives twice.
inline bool Drive(int master, Arrivals& arrivals, const RoundOptions& o, int count,
                  uint32_t* serial, std::vector<double>* samples, std::string* error) {
    const int total = o.Warmup + count;
    for (int i = 0; i < total; ++i) {
        const uint32_t n = (*serial)++;
        const auto report = MakeReport(n);
        // The clock starts before the write: the reader may hand the report
        // on before write() has returned to us (the delivery runs on the
        // other core while our return is still under way), so a clock started
        // after it can show arrivals before their sending.
        const Clock::time_point written = Clock::now();
        if (!WriteAll(master, report.data(), report.size())) {
            *error = ErrnoText("write to the pty master failed");
            return false;
        }
        const size_t index = static_cast<size_t>(i);
        if (!arrivals.WaitFor(index + 1, o.Limit)) {
            *error = "report " + std::to_string(i) + " of the round never arrived";
            return false;
        }
        const auto [arrived, tag] = arrivals.At(index);
        if (tag != RawX(n)) {
            *error = "report " + std::to_string(i) + " arrived as X " + std::to_string(tag) +
                     ", sent " + std::to_string(RawX(n));
            return false;
        }
        if (i >= o.Warmup)
            samples->push_back(
                std::chrono::duration<double, std::micro>(arrived - written).count());
        SleepMicroseconds(o.GapUs);
    }
    // Nothing may trail in after the last report.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (arrivals.Count() != static_cast<size_t>(total)) {
        *error = std::to_string(arrivals.Count()) + " arrivals for " + std::to_string(total) +
                 " reports";
        return false;
    }
    return true;
}

// The driver's side: COM1 set up as detection leaves it (38400 8N1, read
// time-outs all 0 so a read waits for the whole report, event mask
// EV_RXCHAR), the TS reader thread, and the timestamping input layer.
inline bool DriverRound(PtyLink& link, const RoundOptions& o, int count, uint32_t* serial,
                        std::vector<double>* samples, std::string* error) {
    Arrivals arrivals(static_cast<size_t>(o.Warmup + count) + 16);
    TimingInput pointer(arrivals);
    CaptureDebugOutput debug;
    auto timers = CreateRealTimerService();
    Platform p;
    p.Debug = &debug;
    p.Pointer = &pointer;
    p.Timers = timers.get();
    p.Reg = &link.Reg();
    p.Serial = &link.Ports();
    Driver d(p);

    auto port = link.Ports().Open(u"COM1:");
    if (!port) {
        *error = "cannot open COM1: (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    Dcb dcb;
    dcb.BaudRate = 38400;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    CommTimeouts timeouts;
    bool ready = port->SetCommState(dcb) && port->GetCommTimeouts(&timeouts);
    if (ready) {
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        ready = port->SetCommTimeouts(timeouts) && port->SetCommMask(EV_RXCHAR);
    }
    if (!ready) {
        *error = "cannot set up COM1: (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SetPortHandle(d, std::move(port));
    d.StopEvent = std::make_unique<Event>();
    d.State.StopRequested = 0;
    d.ReaderThread = std::thread(ReadThread_TS, std::ref(d));

    bool ok = Drive(link.Master(), arrivals, o, count, serial, samples, error);
    DriverDeinit(d);
    // The reader has nothing to say on a healthy port.
    const auto lines = debug.Lines();
    if (ok && !lines.empty()) {
        *error = "the driver printed: " + lines.front();
        ok = false;
    }
    return ok;
}

// A thread that reads the slave in whole reports and hands each one's raw X
// to a function; it ends when asked to and woken by one more report.
class BlockingReader {
  public:
    // fd must be a blocking tty set to raw with VMIN = 5.
    BlockingReader(int fd, std::function<void(const uint8_t (&)[5])> onReport)
        : Fd_(fd), OnReport_(std::move(onReport)), Thread_([this] { Run(); }) {}
    BlockingReader(const BlockingReader&) = delete;
    BlockingReader& operator=(const BlockingReader&) = delete;
    ~BlockingReader() {
        if (Thread_.joinable())
            Thread_.join();
    }
    // After this, the next report to arrive ends the thread unread.
    void RequestStop() { Stop_.store(true, std::memory_order_relaxed); }
    void Join() { Thread_.join(); }

  private:
    void Run() {
        uint8_t buf[5];
        size_t got = 0;
        while (!Stop_.load(std::memory_order_relaxed)) {
            const ssize_t n = ::read(Fd_, buf + got, sizeof buf - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            got += static_cast<size_t>(n);
            if (got < sizeof buf)
                continue;
            got = 0;
            if (Stop_.load(std::memory_order_relaxed))
                return;
            OnReport_(buf);
        }
    }

    int Fd_;
    std::function<void(const uint8_t (&)[5])> OnReport_;
    std::atomic<bool> Stop_{false};
    std::thread Thread_;  // last: starts once everything above is in place
};

// Opens the slave as a plain blocking reader of whole reports would.
inline UniqueFd OpenRawSlave(const std::string& slave, std::string* error) {
    UniqueFd fd(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t{};
    if (!fd.Valid() || ::tcgetattr(fd.Get(), &t) != 0) {
        *error = ErrnoText("cannot open " + slave);
        return {};
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd.Get(), TCSANOW, &t) != 0 || ::tcflush(fd.Get(), TCIFLUSH) != 0) {
        *error = ErrnoText("cannot set up " + slave);
        return {};
    }
    return fd;
}

// Runs a round against a BlockingReader on the slave whose handling of a
// report is onReport (which must mark arrivals), then stops the reader.
inline bool ReaderRound(PtyLink& link, Arrivals& arrivals,
                        std::function<void(const uint8_t (&)[5])> onReport, const RoundOptions& o,
                        int count, uint32_t* serial, std::vector<double>* samples,
                        std::string* error) {
    UniqueFd fd = OpenRawSlave(link.Slave(), error);
    if (!fd.Valid())
        return false;
    BlockingReader reader(fd.Get(), std::move(onReport));
    const bool ok = Drive(link.Master(), arrivals, o, count, serial, samples, error);
    reader.RequestStop();
    const auto wake = MakeReport(0);
    if (!WriteAll(link.Master(), wake.data(), wake.size())) {
        // The thread would block for ever; ending loudly beats hanging.
        std::fprintf(stderr, "cannot wake the blocking reader: %s\n", std::strerror(errno));
        std::abort();
    }
    reader.Join();
    return ok;
}

// The floor: a bare blocking read() of one report on the same slave.
inline bool FloorRound(PtyLink& link, const RoundOptions& o, int count, uint32_t* serial,
                       std::vector<double>* samples, std::string* error) {
    Arrivals arrivals(static_cast<size_t>(o.Warmup + count) + 16);
    auto mark = [&arrivals](const uint8_t(&r)[5]) {
        arrivals.Mark(static_cast<uint32_t>(r[1]) * 64 | r[2]);
    };
    return ReaderRound(link, arrivals, mark, o, count, serial, samples, error);
}

}  // namespace orvex::latency
