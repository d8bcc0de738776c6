#include "tools/orvexsim/script.h"

#include <charconv>
#include <cmath>
#include <numbers>

namespace orvex {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The whole word must be a number no larger than limit.
bool ParseNumber(std::string_view word, uint32_t limit, uint32_t* out) {
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc{} || end != word.data() + word.size() || v > limit)
        return false;
    *out = v;
    return true;
}

bool Fail(ScriptError* error, size_t line, std::string message) {
    if (error)
        *error = ScriptError{line, std::move(message)};
    return false;
}

bool ParsePoint(const std::vector<std::string_view>& w, size_t line, ScriptStep* step,
                ScriptError* error) {
    uint32_t x = 0, y = 0;
    if (!ParseNumber(w[1], 1023, &x) || !ParseNumber(w[2], 1023, &y)) {
        return Fail(error, line, "coordinates must be whole numbers from 0 to 1023");
    }
    step->X = static_cast<uint16_t>(x);
    step->Y = static_cast<uint16_t>(y);
    step->HasPoint = true;
    return true;
}

}  // namespace

std::optional<Script> ParseScript(std::string_view text, ScriptError* error) {
    Script script;
    size_t lineNo = 0;
    size_t repeatLine = 0;
    uint64_t totalWait = 0;
    while (!text.empty()) {
        ++lineNo;
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        const auto w = Words(line);
        if (w.empty() || w[0].front() == '#')
            continue;
        if (repeatLine != 0) {
            Fail(error, lineNo, "nothing may follow \"repeat\"");
            return std::nullopt;
        }
        ScriptStep step;
        if (w[0] == "touch" && w.size() == 3) {
            step.What = ScriptStep::Kind::Touch;
            if (!ParsePoint(w, lineNo, &step, error))
                return std::nullopt;
        } else if (w[0] == "lift" && (w.size() == 1 || w.size() == 3)) {
            step.What = ScriptStep::Kind::Lift;
            if (w.size() == 3 && !ParsePoint(w, lineNo, &step, error))
                return std::nullopt;
        } else if (w[0] == "wait" && w.size() == 2) {
            step.What = ScriptStep::Kind::Wait;
            uint32_t ms = 0;
            if (!ParseNumber(w[1], MaxWaitMilliseconds, &ms)) {
                Fail(error, lineNo, "wait takes milliseconds from 0 to 86400000");
                return std::nullopt;
            }
            step.Milliseconds = ms;
            totalWait += ms;
        } else if (w[0] == "repeat" && w.size() == 1) {
            repeatLine = lineNo;
            script.Repeat = true;
            continue;
        } else {
            Fail(error, lineNo,
                 "expected \"touch X Y\", \"lift [X Y]\", \"wait MS\" or \"repeat\"");
            return std::nullopt;
        }
        script.Steps.push_back(step);
    }
    // A loop that takes no time would flood the line without end.
    if (script.Repeat && totalWait == 0) {
        Fail(error, repeatLine, "a repeated script needs a wait of at least 1 ms");
        return std::nullopt;
    }
    return script;
}

Script DemoScript() {
    Script s;
    auto touch = [&](uint16_t x, uint16_t y) {
        s.Steps.push_back({ScriptStep::Kind::Touch, x, y, true, 0});
        s.Steps.push_back({ScriptStep::Kind::Wait, 0, 0, false, 10});
    };
    auto lift = [&](uint32_t pauseMs) {
        s.Steps.push_back({ScriptStep::Kind::Lift, 0, 0, false, 0});
        s.Steps.push_back({ScriptStep::Kind::Wait, 0, 0, false, pauseMs});
    };
    constexpr int Points = 100;
    constexpr double Radius = 300.0;
    for (int i = 0; i <= Points; ++i) {
        const double a = 2.0 * std::numbers::pi * i / Points;
        touch(static_cast<uint16_t>(std::lround(512.0 + Radius * std::cos(a))),
              static_cast<uint16_t>(std::lround(512.0 + Radius * std::sin(a))));
    }
    lift(500);
    for (int i = 0; i < 8; ++i)
        touch(256, 768);
    lift(1000);
    s.Repeat = true;
    return s;
}

void ScriptPlayer::Start(uint64_t nowMs) {
    Started_ = true;
    Index_ = 0;
    DueMs_ = nowMs;
}

std::optional<uint64_t> ScriptPlayer::Run(uint64_t nowMs, SimController& controller) {
    if (!Started_)
        return std::nullopt;
    // After a long stall (a suspended process, a slow machine) pick up from
    // now rather than firing every missed step at once.
    constexpr uint64_t MaxLagMs = 100;
    if (DueMs_ + MaxLagMs < nowMs)
        DueMs_ = nowMs;

    while (Index_ < Script_.Steps.size() && DueMs_ <= nowMs) {
        const ScriptStep& step = Script_.Steps[Index_++];
        switch (step.What) {
            case ScriptStep::Kind::Touch:
                LastX_ = step.X;
                LastY_ = step.Y;
                controller.Touch(step.X, step.Y);
                ++Played_;
                break;
            case ScriptStep::Kind::Lift:
                if (step.HasPoint) {
                    LastX_ = step.X;
                    LastY_ = step.Y;
                }
                controller.Lift(LastX_, LastY_);
                ++Played_;
                break;
            case ScriptStep::Kind::Wait:
                DueMs_ += step.Milliseconds;
                break;
        }
        if (Index_ >= Script_.Steps.size() && Script_.Repeat)
            Index_ = 0;
    }
    if (Index_ >= Script_.Steps.size())
        return std::nullopt;
    return DueMs_;
}

}  // namespace orvex
