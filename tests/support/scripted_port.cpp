#include "tests/support/scripted_port.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/lasterror.h"

namespace orvex::test {

void ScriptedSerialPort::Arrive(std::vector<uint8_t> bytes) {
    {
        std::lock_guard g(Lock_);
        if (!bytes.empty())
            Bursts_.push_back(std::move(bytes));
    }
    Cv_.notify_all();
}

void ScriptedSerialPort::FailWith(uint32_t error) {
    {
        std::lock_guard g(Lock_);
        Fail_ = error;
    }
    Cv_.notify_all();
}

void ScriptedSerialPort::OnDry(std::function<void()> hook) {
    std::lock_guard g(Lock_);
    Dry_ = std::move(hook);
}

size_t ScriptedSerialPort::WaitCalls() const {
    std::lock_guard g(Lock_);
    return Waits_;
}

size_t ScriptedSerialPort::ReadCalls() const {
    std::lock_guard g(Lock_);
    return Reads_;
}

std::vector<uint32_t> ScriptedSerialPort::ReadSizes() const {
    std::lock_guard g(Lock_);
    return ReadSizes_;
}

size_t ScriptedSerialPort::Pending() const {
    std::lock_guard g(Lock_);
    size_t n = 0;
    for (const auto& b : Bursts_)
        n += b.size();
    return n;
}

bool ScriptedSerialPort::GetCommState(Dcb* dcb) {
    if (dcb)
        *dcb = Dcb{};
    return true;
}

bool ScriptedSerialPort::GetCommTimeouts(CommTimeouts* timeouts) {
    if (timeouts)
        *timeouts = CommTimeouts{};
    return true;
}

bool ScriptedSerialPort::SetCommMask(uint32_t mask) {
    {
        std::lock_guard g(Lock_);
        if (Closed_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        Mask_ = mask;
        ++MaskChanges_;
    }
    Cv_.notify_all();
    return true;
}

bool ScriptedSerialPort::WaitCommEvent(uint32_t* mask) {
    std::unique_lock g(Lock_);
    ++Waits_;
    const uint64_t changes = MaskChanges_;
    for (;;) {
        if (Closed_) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        if (Fail_ != 0) {
            SetLastError(Fail_);
            return false;
        }
        if (MaskChanges_ != changes) {
            *mask = 0;
            return true;
        }
        if (!Bursts_.empty() && (Mask_ & EV_RXCHAR)) {
            *mask = EV_RXCHAR;
            return true;
        }
        if (Dry_) {
            auto hook = Dry_;
            g.unlock();
            hook();
            *mask = 0;
            return true;
        }
        Cv_.wait(g);
    }
}

bool ScriptedSerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t* read) {
    std::lock_guard g(Lock_);
    ++Reads_;
    ReadSizes_.push_back(count);
    *read = 0;
    if (Closed_) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    if (Fail_ != 0) {
        SetLastError(Fail_);
        return false;
    }
    if (Bursts_.empty())
        return true;  // the read time-out ran out
    auto& front = Bursts_.front();
    const size_t n = std::min<size_t>(count, front.size());
    std::memcpy(buffer, front.data(), n);
    front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    if (front.empty())
        Bursts_.pop_front();
    *read = static_cast<uint32_t>(n);
    return true;
}

bool ScriptedSerialPort::Write(const uint8_t*, uint32_t count, uint32_t* written) {
    if (written)
        *written = count;
    return true;
}

void ScriptedSerialPort::Close() {
    {
        std::lock_guard g(Lock_);
        Closed_ = true;
    }
    Cv_.notify_all();
}

ReaderRig::ReaderRig() {
    Sys.Debug = &Debug;
    Sys.Pointer = &Pointer;
    D = std::make_unique<Driver>(Sys);
    auto port = std::make_unique<ScriptedSerialPort>();
    Port = port.get();
    D->PortHandle = std::move(port);
    D->StopEvent = std::make_unique<Event>();
}

void ReaderRig::StopWhenDry() {
    Driver* d = D.get();
    Port->OnDry([d] { d->State.StopRequested = 1; });
}

std::string FormatCall(const RecordingInput::Call& c) {
    char line[96];
    if (c.What == RecordingInput::Call::Mouse) {
        std::snprintf(line, sizeof line, "mouse_event(0x%04X, %u, %u, %u, 0)", c.A, c.B, c.C, c.D);
    } else {
        std::snprintf(line, sizeof line, "PostMessage(0x%08X, 0x%04X, 0x%04X, %u)", c.A, c.B, c.C,
                      c.D);
    }
    return line;
}

std::vector<std::string> FormatCalls(const std::vector<RecordingInput::Call>& calls) {
    std::vector<std::string> out;
    out.reserve(calls.size());
    for (const auto& c : calls)
        out.push_back(FormatCall(c));
    return out;
}

}  // namespace orvex::test
