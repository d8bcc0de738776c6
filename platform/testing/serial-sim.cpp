#include "platform/testing/serial-sim.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <optional>

#include "platform/lasterror.h"

namespace orvex {

// Everything about one device, shared by the device and its handles so a
// handle outliving its SimulatedSerialPorts stays safe.
struct SimulatedDevice::Core {
    std::function<void(uint32_t)> TimePasses;  // fixed at construction

    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::shared_ptr<SimulatedFarEnd> FarEnd;
    std::deque<uint8_t> Rx;
    std::vector<uint8_t> Written;
    std::vector<LogEntry> Log;
    Dcb State;
    bool Rts = false;
    bool Dtr = false;
    CommTimeouts Timeouts{MAXDWORD, MAXDWORD, 20, 0, 0};
    uint32_t Mask = 0;
    uint64_t MaskGeneration = 0;
    uint32_t OpenError = 0;
    uint32_t GetError = 0;
    uint32_t SetError = 0;
    bool Unplugged = false;
    uint64_t Session = 0;  // the live handle's session, 0 when none
    uint64_t NextSession = 0;
    uint32_t Opens = 0;
    size_t Blocked = 0;

    // Line time (KeepLineTime): set once, then fixed.
    ManualTimerService* Clock = nullptr;
    uint32_t TurnaroundUs = 0;
    std::deque<uint64_t> RxAt;  // when each byte of Rx arrives
    uint64_t RxFreeAt = 0;      // the far end's last byte on its way arrives
    uint64_t TxFreeAt = 0;      // the host's last byte written has crossed

    uint64_t CharacterUs() const { return 10'000'000ull / std::max<uint32_t>(State.BaudRate, 1); }
    // With line time: the bytes that can be read at time now.
    size_t Arrived(uint64_t now) const {
        size_t n = 0;
        while (n < RxAt.size() && RxAt[n] <= now)
            ++n;
        return n;
    }
    void PopFront(size_t n) {
        Rx.erase(Rx.begin(), Rx.begin() + static_cast<std::ptrdiff_t>(n));
        if (Clock)
            RxAt.erase(RxAt.begin(), RxAt.begin() + static_cast<std::ptrdiff_t>(n));
    }
};

namespace {

using Core = SimulatedDevice::Core;

// While the far end handles a write or a change of the lines on this thread,
// what it sends starts no earlier than FromUs.
struct SendContext {
    const Core* C;
    uint64_t FromUs;
};
thread_local const SendContext* CurrentSend = nullptr;

class SendingFrom {
  public:
    SendingFrom(const Core* c, uint64_t fromUs) : Context_{c, fromUs}, Outer_(CurrentSend) {
        CurrentSend = &Context_;
    }
    ~SendingFrom() { CurrentSend = Outer_; }
    SendingFrom(const SendingFrom&) = delete;
    SendingFrom& operator=(const SendingFrom&) = delete;

  private:
    SendContext Context_;
    const SendContext* Outer_;
};

bool FailWith(uint32_t error) {
    SetLastError(error);
    return false;
}

class SimulatedPort final : public SerialPort {
  public:
    SimulatedPort(std::shared_ptr<Core> core, uint64_t session)
        : C_(std::move(core)), Session_(session) {}

    ~SimulatedPort() override {
        Close();
        std::unique_lock lock(C_->Lock);
        C_->Changed.wait(lock, [this] { return Users_ == 0; });
    }

    bool SetupComm(uint32_t, uint32_t) override {
        Call call(*this);
        return call.Usable();
    }

    bool GetCommState(Dcb* dcb) override {
        Call call(*this);
        if (!call.Usable())
            return false;
        if (!dcb)
            return FailWith(ERROR_INVALID_PARAMETER);
        if (C_->GetError)
            return FailWith(C_->GetError);
        *dcb = C_->State;
        return true;
    }

    bool SetCommState(const Dcb& dcb) override {
        std::shared_ptr<SimulatedFarEnd> farEnd;
        uint64_t from = 0;
        {
            Call call(*this);
            if (!call.Usable())
                return false;
            if (C_->SetError)
                return FailWith(C_->SetError);
            if (!IsSupportedDcb(dcb))
                return FailWith(ERROR_INVALID_PARAMETER);
            C_->State = dcb;
            C_->Log.push_back({SimulatedDevice::LogEntry::Kind::CommState, 0, dcb});
            farEnd = C_->FarEnd;
            from = AnswerFrom();
        }
        if (farEnd) {
            SendingFrom context(C_.get(), from);
            farEnd->OnCommState(dcb);
        }
        return true;
    }

    bool GetCommTimeouts(CommTimeouts* timeouts) override {
        Call call(*this);
        if (!call.Usable())
            return false;
        if (!timeouts)
            return FailWith(ERROR_INVALID_PARAMETER);
        *timeouts = C_->Timeouts;
        return true;
    }

    bool SetCommTimeouts(const CommTimeouts& timeouts) override {
        Call call(*this);
        if (!call.Usable())
            return false;
        C_->Timeouts = timeouts;
        return true;
    }

    bool SetCommMask(uint32_t mask) override {
        Call call(*this);
        if (!call.Usable())
            return false;
        C_->Mask = mask;
        ++C_->MaskGeneration;
        C_->Changed.notify_all();
        return true;
    }

    bool WaitCommEvent(uint32_t* mask) override {
        if (!mask)
            return FailWith(ERROR_INVALID_PARAMETER);
        *mask = 0;
        uint64_t advance = 0;
        ManualTimerService* clock = nullptr;
        const bool ok = WaitLocked(mask, &clock, &advance);
        // Outside the lock: moving the clock may run timers that use the port.
        if (clock && advance)
            clock->AdvanceMicroseconds(advance);
        return ok;
    }

    bool WaitLocked(uint32_t* mask, ManualTimerService** clock, uint64_t* advance) {
        Call call(*this);
        if (!call.Usable())
            return false;
        // A cleared mask would leave the caller waiting for nothing.
        if (C_->Mask == 0)
            return FailWith(ERROR_INVALID_PARAMETER);
        const uint64_t generation = C_->MaskGeneration;
        call.Wait([&] {
            return C_->MaskGeneration != generation || ((C_->Mask & EV_RXCHAR) && !C_->Rx.empty());
        });
        if (call.Aborted())
            return FailWith(ERROR_OPERATION_ABORTED);
        if (!call.Usable())
            return false;
        if (C_->MaskGeneration != generation)
            return true;
        *mask = EV_RXCHAR;
        if (C_->Clock) {
            // Returns when the first byte has crossed the wire.
            const uint64_t now = C_->Clock->NowMicroseconds();
            *clock = C_->Clock;
            *advance = C_->RxAt.front() > now ? C_->RxAt.front() - now : 0;
        }
        return true;
    }

    bool Read(uint8_t* buffer, uint32_t count, uint32_t* read) override {
        uint32_t got = 0;
        uint32_t waited = 0;
        uint64_t advance = 0;
        ManualTimerService* clock = nullptr;
        bool ok = true;
        {
            Call call(*this);
            if (read)
                *read = 0;
            if (!call.Usable())
                return false;
            if (!buffer && count > 0)
                return FailWith(ERROR_INVALID_PARAMETER);
            clock = C_->Clock;
            ok = clock ? ReadTimedLocked(call, buffer, count, &got, &advance)
                       : ReadLocked(call, buffer, count, &got, &waited);
            if (read)
                *read = got;
        }
        // Outside the lock: the hook may run timers that use this port.
        if (clock && advance)
            clock->AdvanceMicroseconds(advance);
        if (waited && C_->TimePasses)
            C_->TimePasses(waited);
        return ok;
    }

    bool Write(const uint8_t* buffer, uint32_t count, uint32_t* written) override {
        if (written)
            *written = 0;
        std::shared_ptr<SimulatedFarEnd> farEnd;
        uint64_t from = 0;
        {
            Call call(*this);
            if (!call.Usable())
                return false;
            if (!buffer && count > 0)
                return FailWith(ERROR_INVALID_PARAMETER);
            C_->Written.insert(C_->Written.end(), buffer, buffer + count);
            farEnd = C_->FarEnd;
            if (C_->Clock) {
                // The far end hears the write once its last byte has crossed.
                const uint64_t now = C_->Clock->NowMicroseconds();
                C_->TxFreeAt = std::max(now, C_->TxFreeAt) + count * C_->CharacterUs();
                from = C_->TxFreeAt + C_->TurnaroundUs;
            }
        }
        if (written)
            *written = count;
        if (farEnd && count > 0) {
            SendingFrom context(C_.get(), from);
            farEnd->OnWrite(std::span<const uint8_t>(buffer, count));
        }
        return true;
    }

    bool LineControl(uint32_t code) override {
        std::shared_ptr<SimulatedFarEnd> farEnd;
        bool rts = false, dtr = false;
        uint64_t from = 0;
        {
            Call call(*this);
            if (!call.Usable())
                return false;
            switch (code) {
                case IOCTL_SERIAL_SET_DTR:
                    C_->Dtr = true;
                    break;
                case IOCTL_SERIAL_CLR_DTR:
                    C_->Dtr = false;
                    break;
                case IOCTL_SERIAL_SET_RTS:
                    C_->Rts = true;
                    break;
                case IOCTL_SERIAL_CLR_RTS:
                    C_->Rts = false;
                    break;
                default:
                    return FailWith(ERROR_INVALID_PARAMETER);
            }
            C_->Log.push_back({SimulatedDevice::LogEntry::Kind::LineControl, code, Dcb{}});
            rts = C_->Rts;
            dtr = C_->Dtr;
            farEnd = C_->FarEnd;
            from = AnswerFrom();
        }
        if (farEnd) {
            SendingFrom context(C_.get(), from);
            farEnd->OnLines(rts, dtr);
        }
        return true;
    }

    void Close() override {
        std::shared_ptr<SimulatedFarEnd> farEnd;
        {
            std::lock_guard lock(C_->Lock);
            if (Closed_)
                return;
            Closed_ = true;
            if (C_->Session == Session_) {
                C_->Session = 0;
                farEnd = C_->FarEnd;
            }
            C_->Changed.notify_all();
        }
        if (farEnd)
            farEnd->OnClose();
    }

  private:
    // One call inside the port, holding the device's lock (released while it
    // waits). Usable() says whether the handle may still be used, and sets the
    // last error when not.
    class Call {
      public:
        explicit Call(SimulatedPort& port) : Port_(port), Lock_(port.C_->Lock) { ++Port_.Users_; }
        ~Call() {
            if (--Port_.Users_ == 0 && Port_.Closed_)
                Port_.C_->Changed.notify_all();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

        bool Usable() const {
            if (Port_.Closed_)
                return FailWith(ERROR_INVALID_HANDLE);
            if (Port_.C_->Session != Port_.Session_)
                return FailWith(ERROR_DEVICE_NOT_CONNECTED);
            return true;
        }
        // Waits until ready() holds or the handle became unusable. A closed
        // handle reports ERROR_OPERATION_ABORTED to the waiter.
        template <class Ready>
        void Wait(Ready ready) {
            ++Port_.C_->Blocked;
            Port_.C_->Changed.wait(Lock_, [&] { return Dead() || ready(); });
            --Port_.C_->Blocked;
            if (Port_.Closed_)
                Aborted_ = true;
        }
        bool Dead() const { return Port_.Closed_ || Port_.C_->Session != Port_.Session_; }
        bool Aborted() const { return Aborted_; }

      private:
        SimulatedPort& Port_;
        std::unique_lock<std::mutex> Lock_;
        bool Aborted_ = false;
    };

    // The two special settings of the read time-outs: return at once with what
    // has arrived, and return as soon as anything arrives (or the constant ends).
    struct ReadKind {
        bool Immediate, AnyOrConstant;
    };
    static ReadKind ReadKindOf(const CommTimeouts& t) {
        return {t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                    t.ReadTotalTimeoutConstant == 0,
                t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                    t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD};
    }

    // Locked. A read with no finite limit waits for the far end to send; the
    // result is the read's own when the wait ends it (a close, or an unplug,
    // which hands over what came before), none when bytes came.
    std::optional<bool> WaitForBytes(Call& call, uint32_t got) {
        call.Wait([&] { return !C_->Rx.empty(); });
        if (call.Aborted())
            return FailWith(ERROR_OPERATION_ABORTED);
        if (call.Dead())
            return got > 0 || FailWith(ERROR_DEVICE_NOT_CONNECTED);
        return std::nullopt;
    }

    bool ReadLocked(Call& call, uint8_t* buffer, uint32_t count, uint32_t* got, uint32_t* waited) {
        if (count == 0)
            return true;
        const CommTimeouts t = C_->Timeouts;
        const auto [immediate, anyOrConstant] = ReadKindOf(t);
        const uint64_t total =
            uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        auto clampMs = [](uint64_t ms) {
            return static_cast<uint32_t>(std::min<uint64_t>(ms, MAXDWORD));
        };

        for (;;) {
            const uint32_t take =
                static_cast<uint32_t>(std::min<size_t>(count - *got, C_->Rx.size()));
            std::copy_n(C_->Rx.begin(), take, buffer + *got);
            C_->PopFront(take);
            *got += take;

            if (*got == count || immediate)
                return true;
            if (anyOrConstant) {
                if (*got == 0)
                    *waited = t.ReadTotalTimeoutConstant;
                return true;
            }
            if (total > 0) {
                // No time passes here, so the whole limit runs out at once;
                // after a byte the interval may run out first.
                uint64_t ms = total;
                if (*got > 0 && t.ReadIntervalTimeout > 0)
                    ms = std::min<uint64_t>(ms, t.ReadIntervalTimeout);
                *waited = clampMs(ms);
                return true;
            }
            if (*got > 0 && t.ReadIntervalTimeout > 0) {
                *waited = t.ReadIntervalTimeout;
                return true;
            }
            // No finite limit: wait for bytes.
            if (auto ended = WaitForBytes(call, *got))
                return *ended;
        }
    }

    // Locked. When an answer to what the host does now may begin.
    uint64_t AnswerFrom() const {
        return C_->Clock ? C_->Clock->NowMicroseconds() + C_->TurnaroundUs : 0;
    }

    // Read on a line that keeps time: the same time-outs as ReadLocked, with
    // the clock moved on (by *advance, once the lock is released) to when the
    // read ends.
    bool ReadTimedLocked(Call& call, uint8_t* buffer, uint32_t count, uint32_t* got,
                         uint64_t* advance) {
        if (count == 0)
            return true;
        const CommTimeouts t = C_->Timeouts;
        const auto [immediate, anyOrConstant] = ReadKindOf(t);
        const uint64_t start = C_->Clock->NowMicroseconds();
        std::optional<uint64_t> total;
        if (anyOrConstant) {
            total = start + uint64_t{t.ReadTotalTimeoutConstant} * 1000;
        } else if (!immediate) {
            const uint64_t ms =
                uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
            if (ms > 0)
                total = start + ms * 1000;
        }
        uint64_t now = start;
        uint64_t lastByte = start;
        for (;;) {
            const size_t take = std::min<size_t>(count - *got, C_->Arrived(now));
            if (take > 0) {
                lastByte = C_->RxAt[take - 1];
                std::copy_n(C_->Rx.begin(), take, buffer + *got);
                C_->PopFront(take);
                *got += static_cast<uint32_t>(take);
            }
            *advance = now - start;
            if (*got == count || immediate || (anyOrConstant && *got > 0))
                return true;
            std::optional<uint64_t> deadline = total;
            if (!anyOrConstant && *got > 0 && t.ReadIntervalTimeout > 0) {
                const uint64_t gap = lastByte + uint64_t{t.ReadIntervalTimeout} * 1000;
                deadline = deadline ? std::min(*deadline, gap) : gap;
            }
            if (!C_->RxAt.empty() && (!deadline || C_->RxAt.front() <= *deadline)) {
                now = std::max(now, C_->RxAt.front());
                continue;
            }
            if (deadline) {
                *advance = std::max(now, *deadline) - start;
                return true;
            }
            // No finite limit and nothing on its way: wait for the far end.
            if (auto ended = WaitForBytes(call, *got))
                return *ended;
        }
    }

    std::shared_ptr<Core> C_;
    const uint64_t Session_;
    // Guarded by C_->Lock.
    bool Closed_ = false;
    int Users_ = 0;
};

}  // namespace

SimulatedDevice::SimulatedDevice(std::function<void(uint32_t)> timePasses)
    : C_(std::make_shared<Core>()) {
    C_->TimePasses = std::move(timePasses);
}

SimulatedDevice::~SimulatedDevice() = default;

void SimulatedDevice::Attach(std::shared_ptr<SimulatedFarEnd> farEnd) {
    std::lock_guard lock(C_->Lock);
    C_->FarEnd = std::move(farEnd);
}

void SimulatedDevice::Send(std::span<const uint8_t> bytes) {
    std::lock_guard lock(C_->Lock);
    if (C_->Unplugged)
        return;
    C_->Rx.insert(C_->Rx.end(), bytes.begin(), bytes.end());
    if (C_->Clock) {
        uint64_t from = C_->Clock->NowMicroseconds();
        if (CurrentSend && CurrentSend->C == C_.get())
            from = std::max(from, CurrentSend->FromUs);
        uint64_t at = std::max(from, C_->RxFreeAt);
        for (size_t i = 0; i < bytes.size(); ++i)
            C_->RxAt.push_back(at += C_->CharacterUs());
        C_->RxFreeAt = at;
    }
    C_->Changed.notify_all();
}

void SimulatedDevice::Send(std::initializer_list<uint8_t> bytes) {
    Send(std::span<const uint8_t>(bytes.begin(), bytes.size()));
}

void SimulatedDevice::KeepLineTime(ManualTimerService& clock, uint32_t turnaroundUs) {
    std::lock_guard lock(C_->Lock);
    C_->Clock = &clock;
    C_->TurnaroundUs = turnaroundUs;
    const uint64_t now = clock.NowMicroseconds();
    C_->RxAt.assign(C_->Rx.size(), now);  // what is already there has arrived
    C_->RxFreeAt = C_->TxFreeAt = now;
}

void SimulatedDevice::FailOpen(uint32_t error) {
    std::lock_guard lock(C_->Lock);
    C_->OpenError = error;
}

void SimulatedDevice::FailGetCommState(uint32_t error) {
    std::lock_guard lock(C_->Lock);
    C_->GetError = error;
}

void SimulatedDevice::FailSetCommState(uint32_t error) {
    std::lock_guard lock(C_->Lock);
    C_->SetError = error;
}

void SimulatedDevice::Unplug() {
    std::lock_guard lock(C_->Lock);
    C_->Unplugged = true;
    C_->Session = 0;
    C_->Rx.clear();
    C_->RxAt.clear();
    C_->Changed.notify_all();
}

void SimulatedDevice::Plug() {
    std::lock_guard lock(C_->Lock);
    C_->Unplugged = false;
}

bool SimulatedDevice::IsOpen() const {
    std::lock_guard lock(C_->Lock);
    return C_->Session != 0;
}

uint32_t SimulatedDevice::OpenCount() const {
    std::lock_guard lock(C_->Lock);
    return C_->Opens;
}

Dcb SimulatedDevice::CommState() const {
    std::lock_guard lock(C_->Lock);
    return C_->State;
}

bool SimulatedDevice::Rts() const {
    std::lock_guard lock(C_->Lock);
    return C_->Rts;
}

bool SimulatedDevice::Dtr() const {
    std::lock_guard lock(C_->Lock);
    return C_->Dtr;
}

CommTimeouts SimulatedDevice::Timeouts() const {
    std::lock_guard lock(C_->Lock);
    return C_->Timeouts;
}

uint32_t SimulatedDevice::Mask() const {
    std::lock_guard lock(C_->Lock);
    return C_->Mask;
}

size_t SimulatedDevice::Pending() const {
    std::lock_guard lock(C_->Lock);
    return C_->Rx.size();
}

size_t SimulatedDevice::BlockedCalls() const {
    std::lock_guard lock(C_->Lock);
    return C_->Blocked;
}

std::vector<uint8_t> SimulatedDevice::Written() const {
    std::lock_guard lock(C_->Lock);
    return C_->Written;
}

void SimulatedDevice::ClearWritten() {
    std::lock_guard lock(C_->Lock);
    C_->Written.clear();
}

std::vector<SimulatedDevice::LogEntry> SimulatedDevice::Log() const {
    std::lock_guard lock(C_->Lock);
    return C_->Log;
}

void SimulatedDevice::ClearLog() {
    std::lock_guard lock(C_->Lock);
    C_->Log.clear();
}

std::unique_ptr<SerialPort> SimulatedDevice::Open() {
    std::shared_ptr<SimulatedFarEnd> farEnd;
    std::unique_ptr<SerialPort> port;
    {
        std::lock_guard lock(C_->Lock);
        if (C_->OpenError) {
            SetLastError(C_->OpenError);
            return nullptr;
        }
        if (C_->Unplugged) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        if (C_->Session != 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return nullptr;
        }
        // As on the real ports: each open starts with the default time-outs,
        // no event mask and both lines raised; the line settings persist.
        C_->Session = ++C_->NextSession;
        ++C_->Opens;
        C_->Timeouts = CommTimeouts{MAXDWORD, MAXDWORD, 20, 0, 0};
        C_->Mask = 0;
        C_->Rts = true;
        C_->Dtr = true;
        farEnd = C_->FarEnd;
        port = std::make_unique<SimulatedPort>(C_, C_->Session);
    }
    if (farEnd)
        farEnd->OnOpen();
    return port;
}

SimulatedSerialPorts::SimulatedSerialPorts(std::function<void(uint32_t)> timePasses)
    : TimePasses_(std::move(timePasses)) {}

SimulatedSerialPorts::~SimulatedSerialPorts() = default;

namespace {
std::u16string DeviceKey(std::u16string_view name) {
    std::u16string key(name);
    for (auto& c : key)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return key;
}
}  // namespace

SimulatedDevice& SimulatedSerialPorts::Device(std::u16string_view name) {
    std::lock_guard lock(Lock_);
    auto& slot = Devices_[DeviceKey(name)];
    if (!slot)
        slot = std::make_unique<SimulatedDevice>(TimePasses_);
    return *slot;
}

std::unique_ptr<SerialPort> SimulatedSerialPorts::Open(std::u16string_view name) {
    if (ParseComPortName(name) < 0) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    SimulatedDevice* device = nullptr;
    {
        std::lock_guard lock(Lock_);
        auto it = Devices_.find(DeviceKey(name));
        if (it == Devices_.end()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        device = it->second.get();
    }
    return device->Open();
}

}  // namespace orvex
