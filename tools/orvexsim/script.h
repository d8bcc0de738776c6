// Touch scripts for the simulated controller: what a finger does, step by
// step, and a player that performs the steps on a SimController as time
// passes. Time is handed in by the caller, so the player runs as well on a
// test's clock as on the program's.
//
// Script text, one step per line; blank lines and lines starting with '#'
// are ignored:
//   touch X Y      a touching report at raw X, Y (0..1023)
//   lift X Y       a not-touching report at X, Y
//   lift           a not-touching report where the last touch was
//   wait MS        nothing for MS milliseconds
//   repeat         (last step only) start again from the top
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/orvexsim/controller.h"

namespace orvex {

struct ScriptStep {
    enum class Kind : uint8_t { Touch, Lift, Wait };
    Kind What = Kind::Wait;
    uint16_t X = 0, Y = 0;
    // A lift without coordinates reports where the last touch was.
    bool HasPoint = false;
    uint32_t Milliseconds = 0;
};

struct Script {
    std::vector<ScriptStep> Steps;
    bool Repeat = false;
};

struct ScriptError {
    size_t Line = 0;  // 1-based
    std::string Message;
};

inline constexpr uint32_t MaxWaitMilliseconds = 24u * 60 * 60 * 1000;

std::optional<Script> ParseScript(std::string_view text, ScriptError* error);

// The built-in demonstration: a circle drawn at about 100 reports a second,
// then a tap, over and over.
Script DemoScript();

class ScriptPlayer {
  public:
    explicit ScriptPlayer(Script script) : Script_(std::move(script)) {}

    // Starts from the first step at nowMs.
    void Start(uint64_t nowMs);
    // Back to not started; the next Start plays from the top.
    void Stop() { Started_ = false; }
    bool Started() const { return Started_; }
    bool Finished() const { return Started_ && Index_ >= Script_.Steps.size(); }

    // Performs every step that is due at nowMs. Returns when the next step
    // is due, or nothing when the script has ended (or was never started).
    std::optional<uint64_t> Run(uint64_t nowMs, SimController& controller);

    // Reports handed to the controller, sent or not.
    uint64_t ReportsPlayed() const { return Played_; }

  private:
    Script Script_;
    bool Started_ = false;
    size_t Index_ = 0;
    uint64_t DueMs_ = 0;
    uint16_t LastX_ = 0, LastY_ = 0;
    uint64_t Played_ = 0;
};

}  // namespace orvex
