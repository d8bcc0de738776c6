#include "platform/testing/input-recording.h"

namespace orvex {

void RecordingInput::MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t data,
                                uintptr_t /*extraInfo*/) {
    std::lock_guard g(Lock_);
    Calls_.push_back({Call::Mouse, flags, x, y, data});
}

void RecordingInput::PostMessage(uint32_t window, uint32_t message, uint32_t wParam,
                                 uint32_t lParam) {
    std::lock_guard g(Lock_);
    Calls_.push_back({Call::Post, window, message, wParam, lParam});
}

std::vector<RecordingInput::Call> RecordingInput::Calls() const {
    std::lock_guard g(Lock_);
    return Calls_;
}

size_t RecordingInput::Count() const {
    std::lock_guard g(Lock_);
    return Calls_.size();
}

void RecordingInput::Clear() {
    std::lock_guard g(Lock_);
    Calls_.clear();
}

}  // namespace orvex
