// Test double of pointer injection and message posting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/input.h"

namespace orvex {

// Test double: records every call in order. Preallocates so that recording
// does not allocate on the hot path (benchmarks use it as the sink).
class RecordingInput final : public Input {
  public:
    struct Call {
        enum Kind { Mouse, Post } What;
        uint32_t A, B, C, D;  // Mouse: flags, x, y, data; Post: window, msg, wParam, lParam
        bool operator==(const Call&) const = default;
    };
    explicit RecordingInput(size_t reserve = 1024) { Calls_.reserve(reserve); }
    void MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t data,
                    uintptr_t extraInfo) override;
    void PostMessage(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override;
    std::vector<Call> Calls() const;
    size_t Count() const;
    void Clear();

  private:
    mutable std::mutex Lock_;
    std::vector<Call> Calls_;
};

}  // namespace orvex
