#include "platform/debug.h"

#include <unistd.h>

#include "platform/fdline.h"

namespace orvex {

void StderrDebugOutput::Print(std::string_view text) {
    // Nowhere to report a failing stderr.
    (void)WriteWholeLine(STDERR_FILENO, text);
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
