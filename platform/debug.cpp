#include "platform/debug.h"

#include <unistd.h>

namespace orvex {

void StderrDebugOutput::Print(std::string_view text) {
    // One write per line so lines from several threads never mix.
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;  // nowhere to report a failing stderr
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void CaptureDebugOutput::Print(std::string_view text) {
    std::lock_guard g(Lock_);
    Lines_.emplace_back(text);
}

std::vector<std::string> CaptureDebugOutput::Lines() const {
    std::lock_guard g(Lock_);
    return Lines_;
}

void CaptureDebugOutput::Clear() {
    std::lock_guard g(Lock_);
    Lines_.clear();
}

}  // namespace orvex
