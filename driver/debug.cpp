#include <cstdarg>
#include <cstdio>

#include "driver/driver.h"

namespace orvex {

void DebugPrint(Driver& d, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    if (d.Sys.Debug)
        d.Sys.Debug->Print(std::string_view(line, len));
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
