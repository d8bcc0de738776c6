#include "platform/testing/launcher-recording.h"

namespace orvex {

bool RecordingLauncher::ShellExecute(std::u16string_view file, std::u16string_view parameters,
                                     int show) {
    std::lock_guard g(Lock_);
    Calls_.push_back({std::u16string(file), std::u16string(parameters), show});
    return Result;
}

std::vector<RecordingLauncher::Call> RecordingLauncher::Calls() const {
    std::lock_guard g(Lock_);
    return Calls_;
}

}  // namespace orvex
