#include <cstdarg>
#include <cstdio>

#include "driver/driver.h"

namespace orvex {

namespace {
// The hold in force on this thread, if any.
thread_local HeldDebugLines* CurrentHold = nullptr;
}  // namespace

void DebugPrint(Driver& d, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    if (CurrentHold && CurrentHold->Holds(d)) {
        CurrentHold->Keep(std::string_view(line, len));
        return;
    }
    if (d.Sys.Debug)
        d.Sys.Debug->Print(std::string_view(line, len));
}

HeldDebugLines::HeldDebugLines(Driver& d) : D_(d), Outer_(CurrentHold) {
    CurrentHold = this;
}

// After Release this changes nothing: holds are undone last made first.
HeldDebugLines::~HeldDebugLines() {
    CurrentHold = Outer_;
}

void HeldDebugLines::Keep(std::string_view line) {
    // A walk prints a handful of lines; anything past that is dropped.
    if (Lines_.size() < 64)
        Lines_.emplace_back(line);
}

void HeldDebugLines::Release() {
    CurrentHold = Outer_;
    for (const auto& line : Lines_)
        DebugPrint(D_, "%s", line.c_str());
    Lines_.clear();
}

void Event::Set() {
    {
        std::lock_guard g(Lock_);
        Signalled_ = true;
    }
    Cv_.notify_all();
}

bool Event::Wait(uint32_t milliseconds) {
    std::unique_lock g(Lock_);
    bool ok =
        Cv_.wait_for(g, std::chrono::milliseconds(milliseconds), [this] { return Signalled_; });
    if (ok)
        Signalled_ = false;  // auto-reset
    return ok;
}

}  // namespace orvex
