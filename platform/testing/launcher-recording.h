// Test double of program start.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/launcher.h"

namespace orvex {

// Test double of the launcher: records every start it is asked for and
// answers with Result.
class RecordingLauncher final : public Launcher {
  public:
    struct Call {
        std::u16string File, Parameters;
        int Show;
    };
    bool ShellExecute(std::u16string_view file, std::u16string_view parameters, int show) override;
    std::vector<Call> Calls() const;
    bool Result = true;

  private:
    mutable std::mutex Lock_;
    std::vector<Call> Calls_;
};

}  // namespace orvex
