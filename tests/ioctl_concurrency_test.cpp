// Every control code at once from several program threads while the reader
// thread streams reports. No lock joins the two sides, so what is checked is
// what the design still promises: each single field a caller sees is a value
// somebody wrote, the fixed bytes of each record are right, spans are never 0
// and the sample counter only ever moves forward by what the stream produced.
#include <gtest/gtest.h>

#include "tests/support/failures.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <latch>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/orvex.h"
#include "driver/driver.h"
#include "platform/registry.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/temp_root.h"

using namespace orvex;
using namespace orvex::test;

namespace {

struct Calibration {
    uint16_t X1, X2, X3, Y1, Y2, Y3;
    uint8_t Direction;
};

// Distinct values per field, so a field that carried another field's value
// (or a torn one) would not pass as "one of the installed ones".
constexpr Calibration Installed[] = {
    {101, 502, 903, 111, 512, 913, 1}, {121, 522, 923, 131, 532, 933, 2},
    {1000, 520, 40, 990, 530, 30, 4},   // reverse order: large spans, accepted
    {300, 299, 800, 310, 600, 810, 7},  // X span 0: the fallback goes in instead
    {150, 550, 950, 710, 709, 708, 3},  // Y spans 0
};
constexpr Calibration Fallback = {0, 511, 1023, 0, 511, 1023, 0};

struct Feedback {
    uint8_t Sound;
    uint16_t Tone, Duration;
};
// None of them is 0 in any field: a driver that read the (zeroed) input
// buffer instead of the output buffer would show up.
constexpr Feedback Feedbacks[] = {{2, 1500, 3}, {4, 3000, 1}, {9, 65535, 3}};
constexpr Feedback StartFeedback = {1, 2000, 1};

constexpr uint32_t WindowA = 0x00001234, WindowB = 0x00005678;
struct RightClick {
    uint32_t Window;
    uint16_t Pending;
};
constexpr RightClick RightClicks[] = {
    {WindowA, 1}, {WindowB, 1}, {WindowA, 2}, {0, 1}, {WindowB, 0}};

constexpr uint16_t StartSampleCount = 65000;  // the counter wraps past 65535 early on
constexpr uint32_t StreamReports = 150000;
constexpr int CallerThreads = 4;
constexpr uint32_t CallsPerThread = 20000;
constexpr uint32_t MaxCallsPerThread = 400000;  // callers keep going while the stream runs
constexpr uint32_t Installs = 2000;
constexpr uint8_t Touched = 8;

using orvex::test::Failures;

// The values one record field may show: those of every installed calibration
// (zero-span ones are briefly visible before the fallback replaces them) and
// the fallback, which is also the start value.
struct CalibrationFields {
    std::array<std::set<uint16_t>, 6> Points;
    std::set<uint8_t> Directions;
    CalibrationFields() {
        auto add = [this](const Calibration& c) {
            const uint16_t v[6] = {c.X1, c.X2, c.X3, c.Y1, c.Y2, c.Y3};
            for (size_t i = 0; i < 6; ++i)
                Points[i].insert(v[i]);
            Directions.insert(c.Direction);
        };
        for (const auto& c : Installed)
            add(c);
        add(Fallback);
    }
};

std::array<uint8_t, TouchSettings::Size> CalibrationRecord(const Calibration& c) {
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings t;
    t.CalibrationX1 = c.X1;
    t.CalibrationX2 = c.X2;
    t.CalibrationX3 = c.X3;
    t.CalibrationY1 = c.Y1;
    t.CalibrationY2 = c.Y2;
    t.CalibrationY3 = c.Y3;
    t.PanelDirection = c.Direction;
    t.Encode(buf);
    return buf;
}

template <class T>
bool OneOf(T v, std::initializer_list<T> allowed) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

class IoControlConcurrency : public ::testing::Test {
  protected:
    void SetUp() override {
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        ASSERT_TRUE(Reg) << error;
        RegKey key;
        ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, DriverKeyPath, &key), 0u);
        Reg->CloseKey(key);
        T.Sys.Reg = Reg.get();
    }

    uint32_t RegistryDword(const char16_t* name) {
        RegKey key;
        EXPECT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, KEY_ALL_ACCESS, &key), 0u);
        uint8_t data[4] = {};
        uint32_t size = 4, type = 0;
        EXPECT_EQ(Reg->QueryValue(key, name, &type, data, &size), 0u) << "value missing";
        Reg->CloseKey(key);
        return GetU32(data, 0);
    }

    // One caller's turn: the code chosen by the iteration, its record checked.
    void CallOnce(int thread, uint32_t i, uint64_t producedBefore);

    void CheckSettings(const std::array<uint8_t, TouchSettings::Size>& buf, uint8_t canary,
                       const std::string& where);

    // The stream's progress: ProcessPoint calls completed.
    uint64_t Produced() const { return Produced_.load(std::memory_order_acquire); }

    TempRoot Root;
    std::unique_ptr<Registry> Reg;
    TestDriver T;  // after the registry: torn down first
    CalibrationFields Allowed;
    Failures Fail;
    std::atomic<uint64_t> Produced_{0};
    std::atomic<uint64_t> ArmingCalls{0};
};

uint8_t CanaryByte(size_t offset, uint8_t canary) {
    return static_cast<uint8_t>(canary + offset * 7);
}

void IoControlConcurrency::CheckSettings(const std::array<uint8_t, TouchSettings::Size>& buf,
                                         uint8_t canary, const std::string& where) {
    // Fixed bytes and the bytes that must keep what the caller's buffer held.
    auto expect = [&](size_t at, uint8_t want) {
        if (buf[at] != want) {
            std::ostringstream m;
            m << where << ": settings byte 0x" << std::hex << at << " is 0x" << int{buf[at]}
              << ", want 0x" << int{want};
            Fail.Add(m.str());
        }
    };
    expect(0x00, 0);
    expect(0x01, 0);
    expect(0x02, 0xFF);
    expect(0x03, 0);
    for (size_t n = 0; n <= 8; ++n) {
        expect(0x04 + 4 * n, 0);
        expect(0x05 + 4 * n, 0);
        expect(0x06 + 4 * n, 0xFF);
        expect(0x07 + 4 * n, CanaryByte(0x07 + 4 * n, canary));
    }
    expect(TouchSettings::OffClickMode, 4);
    const uint8_t fixed[] = {0, 1, 10, 10, 1, 0, 0};
    for (size_t k = 0; k < sizeof fixed; ++k)
        expect(0x2E + k, fixed[k]);
    for (size_t at = 0x36; at <= 0x39; ++at)
        expect(at, CanaryByte(at, canary));
    expect(TouchSettings::OffProtocol, WireValue(ReportProtocol::TS));
    expect(0x48, 640 & 0xFF);
    expect(0x49, 640 >> 8);
    expect(0x4A, 480 & 0xFF);
    expect(0x4B, 480 >> 8);
    for (size_t at = 0x4C; at < TouchSettings::Size; ++at)
        expect(at, 0);

    const TouchSettings t = TouchSettings::Decode(buf);
    const uint16_t points[6] = {t.CalibrationX1, t.CalibrationX2, t.CalibrationX3,
                                t.CalibrationY1, t.CalibrationY2, t.CalibrationY3};
    static const char* const names[6] = {"X1", "X2", "X3", "Y1", "Y2", "Y3"};
    for (size_t k = 0; k < 6; ++k) {
        if (!Allowed.Points[k].contains(points[k]))
            Fail.Add(where + ": Calibration" + names[k] + " " + std::to_string(points[k]) +
                     " was never written");
    }
    if (!Allowed.Directions.contains(t.PanelDirection))
        Fail.Add(where + ": PanelDirection " + std::to_string(t.PanelDirection) +
                 " was never written");

    const bool sound = t.FeedbackSound == StartFeedback.Sound ||
                       std::any_of(std::begin(Feedbacks), std::end(Feedbacks),
                                   [&](const Feedback& f) { return f.Sound == t.FeedbackSound; });
    const bool tone = t.FeedbackTone == StartFeedback.Tone ||
                      std::any_of(std::begin(Feedbacks), std::end(Feedbacks),
                                  [&](const Feedback& f) { return f.Tone == t.FeedbackTone; });
    const bool duration =
        t.FeedbackDuration == StartFeedback.Duration ||
        std::any_of(std::begin(Feedbacks), std::end(Feedbacks),
                    [&](const Feedback& f) { return f.Duration == t.FeedbackDuration; });
    if (!sound || !tone || !duration)
        Fail.Add(where + ": feedback " + std::to_string(t.FeedbackSound) + "/" +
                 std::to_string(t.FeedbackTone) + "/" + std::to_string(t.FeedbackDuration) +
                 " was never written");
    if (!OneOf<uint8_t>(t.RightClickArmed, {0, 1, 2}))
        Fail.Add(where + ": RightClickArmed " + std::to_string(t.RightClickArmed));
}

void IoControlConcurrency::CallOnce(int thread, uint32_t i, uint64_t producedBefore) {
    Driver& d = T.D;
    const std::string where = "thread " + std::to_string(thread) + " call " + std::to_string(i);
    const uint32_t pick = (i + static_cast<uint32_t>(thread) * 7) % 64;

    if (pick == 63 && i % 256 == 63) {
        // The platform's post-load code, again: maps the ports and beeps
        // while touch beeps may be under way. It answers FALSE by design.
        if (DriverIoControl(d, IOCTL_ORX_STARTUP, nullptr, 0, nullptr, 0, nullptr) != 0)
            Fail.Add(where + ": STARTUP answered TRUE");
        return;
    }
    if (pick == 62 && i % 256 == 62) {
        std::array<uint8_t, 16> junk{};
        junk.fill(0x5C);
        const auto before = junk;
        if (DriverIoControl(d, 0xFFFF3014u, junk.data(), 16, junk.data(), 16, nullptr) != 0 ||
            junk != before)
            Fail.Add(where + ": an unknown code answered TRUE or wrote its buffer");
        return;
    }
    if (pick == 61) {
        // Rare: every call saves to the registry and flushes it.
        if (i % 4 != 1)
            return;
        const Calibration& c =
            Installed[(i / 64 + static_cast<uint32_t>(thread)) % std::size(Installed)];
        auto buf = CalibrationRecord(c);
        if (DriverIoControl(d, IOCTL_ORX_SET_CALIBRATION, buf.data(), buf.size(), buf.data(),
                            buf.size(), nullptr) != 1)
            Fail.Add(where + ": SET_CALIBRATION answered FALSE");
        return;
    }
    if (pick >= 56) {
        // The control panel's way: a fresh block with only the feedback set,
        // and here a separate, zeroed input buffer that must be ignored.
        const Feedback& f = Feedbacks[(i + pick) % std::size(Feedbacks)];
        std::array<uint8_t, TouchSettings::Size> in{}, out{};
        TouchSettings t;
        t.FeedbackSound = f.Sound;
        t.FeedbackTone = f.Tone;
        t.FeedbackDuration = f.Duration;
        t.EncodeFeedback(out);
        if (DriverIoControl(d, IOCTL_ORX_SET_FEEDBACK, in.data(), in.size(), out.data(), out.size(),
                            nullptr) != 1)
            Fail.Add(where + ": SET_FEEDBACK answered FALSE");
        return;
    }
    if (pick >= 52) {
        const RightClick& r = RightClicks[(i / 64 + pick) % std::size(RightClicks)];
        std::array<uint8_t, RightClickRequest::Size> buf{};
        RightClickRequest{r.Window, r.Pending}.Encode(buf);
        if (r.Pending == 1)
            ArmingCalls.fetch_add(1, std::memory_order_relaxed);
        if (DriverIoControl(d, IOCTL_ORX_SET_RIGHT_CLICK, buf.data(), buf.size(), buf.data(),
                            buf.size(), nullptr) != 1)
            Fail.Add(where + ": SET_RIGHT_CLICK answered FALSE");
        return;
    }
    if (pick >= 46) {
        std::array<uint8_t, RightClickRequest::Size> buf{};
        buf.fill(0xEE);
        if (DriverIoControl(d, IOCTL_ORX_GET_RIGHT_CLICK, buf.data(), buf.size(), buf.data(),
                            buf.size(), nullptr) != 1) {
            Fail.Add(where + ": GET_RIGHT_CLICK answered FALSE");
            return;
        }
        const auto r = RightClickRequest::Decode(buf);
        if (!OneOf<uint32_t>(r.Window, {0, WindowA, WindowB}) ||
            !OneOf<uint16_t>(r.Pending, {0, 1, 2}))
            Fail.Add(where + ": right click {" + std::to_string(r.Window) + ", " +
                     std::to_string(r.Pending) + "} was never written");
        return;
    }
    if (pick >= 38) {
        std::array<uint8_t, PointerState::Size> buf{};
        buf.fill(0xEE);
        if (DriverIoControl(d, IOCTL_ORX_GET_POINTER, buf.data(), buf.size(), buf.data(),
                            buf.size(), nullptr) != 1) {
            Fail.Add(where + ": GET_POINTER answered FALSE");
            return;
        }
        if (buf[5] != 1)
            Fail.Add(where + ": PointerState reserved byte " + std::to_string(buf[5]));
        if (!OneOf<uint8_t>(buf[4], {0, 1, 2}))
            Fail.Add(where + ": PointerState buttons " + std::to_string(buf[4]));
        return;
    }
    if (pick >= 20) {
        std::array<uint8_t, RawPoint::Size> buf{};
        buf.fill(0xEE);
        if (DriverIoControl(d, IOCTL_ORX_GET_RAW_POINT, buf.data(), buf.size(), buf.data(),
                            buf.size(), nullptr) != 1) {
            Fail.Add(where + ": GET_RAW_POINT answered FALSE");
            return;
        }
        const uint64_t producedAfter = Produced();
        const RawPoint p = RawPoint::Decode(buf);
        if (buf[5] != 0)
            Fail.Add(where + ": RawPoint reserved byte " + std::to_string(buf[5]));
        const bool before = p.X == 0xFFFF && p.Y == 0xFFFF && producedBefore == 0;
        if (!before && (p.X > 1023 || p.Y > 1023))
            Fail.Add(where + ": raw point " + std::to_string(p.X) + "," + std::to_string(p.Y) +
                     " beyond 1023");
        if (!OneOf<uint8_t>(p.Touch, {0, Touched}))
            Fail.Add(where + ": touch flag " + std::to_string(p.Touch));
        // The counter, modulo 65536, is at least where the reports produced
        // before the call left it, and at most where those produced after it
        // (plus the one that may have been under way) took it.
        const auto floor = static_cast<uint16_t>(StartSampleCount + producedBefore);
        const uint64_t ahead = static_cast<uint16_t>(p.SampleCount - floor);
        if (ahead > producedAfter + 1 - producedBefore)
            Fail.Add(where + ": SampleCount " + std::to_string(p.SampleCount) + " while the " +
                     "stream had made " + std::to_string(producedBefore) + ".." +
                     std::to_string(producedAfter) + " reports");
        return;
    }
    std::array<uint8_t, TouchSettings::Size> buf{};
    const uint8_t canary = static_cast<uint8_t>(0x30 + thread * 16 + i);
    for (size_t at = 0; at < buf.size(); ++at)
        buf[at] = CanaryByte(at, canary);
    if (DriverIoControl(d, IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(), buf.size(),
                        nullptr) != 1) {
        Fail.Add(where + ": GET_SETTINGS answered FALSE");
        return;
    }
    CheckSettings(buf, canary, where);
}

TEST_F(IoControlConcurrency, EveryCodeAtOnceWhileReportsStream) {
    DriverState& s = T.D.State;
    s.SampleCount = StartSampleCount;
    // The ports are mapped from the start, so touch beeps really run and
    // meet the self-test beeps of further STARTUP calls.
    ASSERT_EQ(DriverIoControl(T.D, IOCTL_ORX_STARTUP, nullptr, 0, nullptr, 0, nullptr), 0u);

    std::latch go(CallerThreads + 3);
    std::atomic<bool> streaming{true};

    std::thread reader([&] {
        go.arrive_and_wait();
        for (uint32_t i = 0; i < StreamReports; ++i) {
            // Coordinates beyond 1023 too, which must be limited.
            const auto x = static_cast<uint16_t>((i * 37u) % 1100u);
            const auto y = static_cast<uint16_t>((i * 1061u) % 1100u);
            const uint8_t touch = i % 4 == 3 ? 0 : Touched;
            ProcessPoint(T.D, x, y, touch);
            // Only this thread writes the raw fields: whatever the control
            // codes do, they must read back as this report left them.
            if (s.LastRawX != std::min<uint16_t>(x, 1023) ||
                s.LastRawY != std::min<uint16_t>(y, 1023) || s.LastTouch != touch ||
                s.SampleCount != static_cast<uint16_t>(StartSampleCount + i + 1))
                Fail.Add("report " + std::to_string(i) + " left other raw values behind");
            if (s.SpanX1 == 0 || s.SpanX2 == 0 || s.SpanY1 == 0 || s.SpanY2 == 0)
                Fail.Add("report " + std::to_string(i) + " met a zero span");
            Produced_.fetch_add(1, std::memory_order_release);
            if (i % 2048 == 0)
                T.Ports.Clear();  // the access log would only grow
        }
        streaming.store(false);
    });

    // One program installing calibrations back to back (the callers above do
    // it only now and then), and a watcher that looks at the spans between
    // reports: a zero span is visible only for an instant if at all.
    std::atomic<bool> installing{true};
    std::thread installer([&] {
        go.arrive_and_wait();
        for (uint32_t i = 0; i < Installs; ++i) {
            auto buf = CalibrationRecord(Installed[i % std::size(Installed)]);
            if (DriverIoControl(T.D, IOCTL_ORX_SET_CALIBRATION, buf.data(), buf.size(), buf.data(),
                                buf.size(), nullptr) != 1)
                Fail.Add("install " + std::to_string(i) + " answered FALSE");
        }
        installing.store(false);
    });
    std::thread watcher([&] {
        go.arrive_and_wait();
        uint64_t zero = 0;
        while (installing.load(std::memory_order_relaxed)) {
            for (int k = 0; k < 64; ++k) {
                if (s.SpanX1 == 0 || s.SpanX2 == 0 || s.SpanY1 == 0 || s.SpanY2 == 0)
                    ++zero;
            }
        }
        if (zero != 0)
            Fail.Add("the watcher saw a zero span " + std::to_string(zero) + " times");
    });

    std::vector<std::thread> callers;
    std::array<uint32_t, CallerThreads> calls{};
    for (int t = 0; t < CallerThreads; ++t) {
        callers.emplace_back([&, t] {
            go.arrive_and_wait();
            uint32_t i = 0;
            for (; i < MaxCallsPerThread && (i < CallsPerThread || streaming.load()); ++i) {
                CallOnce(t, i, Produced());
                if (s.SpanX1 == 0 || s.SpanX2 == 0 || s.SpanY1 == 0 || s.SpanY2 == 0)
                    Fail.Add("a caller saw a zero span");
            }
            calls[static_cast<size_t>(t)] = i;
        });
    }
    reader.join();
    installer.join();
    watcher.join();
    for (auto& c : callers)
        c.join();

    EXPECT_EQ(Fail.Count(), 0u) << Fail.Text();
    EXPECT_EQ(Produced(), StreamReports);
    for (uint32_t c : calls)
        EXPECT_GE(c, CallsPerThread);

    // Pointer events: only the reader thread changes ButtonState, so each
    // button's presses and releases alternate, starting with a press, however
    // the right-click requests came and went.
    const auto events = T.Pointer.Calls();
    bool left = false, right = false;
    size_t posts = 0, mouse = 0, rightPresses = 0;
    for (const auto& c : events) {
        if (c.What == RecordingInput::Call::Post) {
            ++posts;
            EXPECT_TRUE(c.A == WindowA || c.A == WindowB) << "posted to window " << c.A;
            EXPECT_EQ(c.B, WM_COMMAND);
            EXPECT_EQ(c.C, RightClickDoneCommand);
            EXPECT_EQ(c.D, 0u);
            continue;
        }
        ++mouse;
        ASSERT_NE(c.A & MOUSEEVENTF_ABSOLUTE, 0u);
        if (c.A & MOUSEEVENTF_LEFTDOWN) {
            ASSERT_FALSE(left) << "left pressed twice, event " << mouse;
            left = true;
        }
        if (c.A & MOUSEEVENTF_LEFTUP) {
            ASSERT_TRUE(left) << "left released while up, event " << mouse;
            left = false;
        }
        if (c.A & MOUSEEVENTF_RIGHTDOWN) {
            ASSERT_FALSE(right) << "right pressed twice, event " << mouse;
            right = true;
            ++rightPresses;
        }
        if (c.A & MOUSEEVENTF_RIGHTUP) {
            ASSERT_TRUE(right) << "right released while up, event " << mouse;
            right = false;
        }
    }
    EXPECT_GT(mouse, StreamReports / 8);
    // A post needs an arming request each time: one request, one post at most.
    EXPECT_LE(posts, ArmingCalls.load());
    // The race did let requests through: right clicks happened and were told.
    EXPECT_GT(rightPresses, 0u);
    EXPECT_GT(posts, 0u);

    // Nothing but the expected lines: a registry write that failed under the
    // contention would have said so here.
    for (const auto& line : T.Debug.Lines()) {
        EXPECT_TRUE(line == "ORVEXSER: Device IO Control Test ... Pass\r\n" ||
                    line == "ORVEXSER: Error IOCTL Code (0xFFFF3014)\r\n")
            << line;
    }

    // What the registry holds was written by some installation, field by field.
    const char16_t* names[6] = {u"CalibrationX1", u"CalibrationX2", u"CalibrationX3",
                                u"CalibrationY1", u"CalibrationY2", u"CalibrationY3"};
    for (size_t k = 0; k < 6; ++k) {
        const uint32_t v = RegistryDword(names[k]);
        EXPECT_TRUE(v <= 0xFFFF && Allowed.Points[k].contains(static_cast<uint16_t>(v)))
            << "registry point " << k << " = " << v;
    }
    const uint32_t dir = RegistryDword(u"PanelDirection");
    EXPECT_TRUE(dir <= 0xFF && Allowed.Directions.contains(static_cast<uint8_t>(dir))) << dir;
}

// With one installer the registry's last save must be whole: the six points
// and the orientation are one write group, and the spans in force are never
// 0 for the reports still streaming.
TEST_F(IoControlConcurrency, OneInstallerLeavesAWholeCalibrationInForceAndSaved) {
    std::latch go(2);
    std::atomic<bool> installing{true};
    std::atomic<uint64_t> zero{0};
    std::thread reader([&] {
        go.arrive_and_wait();
        uint32_t i = 0;
        while (installing.load() || i < 1000) {
            ProcessPoint(T.D, static_cast<uint16_t>(i % 1024),
                         static_cast<uint16_t>(1023 - i % 1024), i % 2 ? Touched : 0);
            const DriverState& s = T.D.State;
            if (s.SpanX1 == 0 || s.SpanX2 == 0 || s.SpanY1 == 0 || s.SpanY2 == 0)
                zero.fetch_add(1);
            ++i;
        }
    });
    go.arrive_and_wait();
    constexpr size_t Rounds = 8 * std::size(Installed) + 1;  // ends on a valid one
    for (size_t r = 0; r < Rounds; ++r) {
        auto buf = CalibrationRecord(Installed[r % std::size(Installed)]);
        ASSERT_EQ(DriverIoControl(T.D, IOCTL_ORX_SET_CALIBRATION, buf.data(), buf.size(),
                                  buf.data(), buf.size(), nullptr),
                  1u);
    }
    installing.store(false);
    reader.join();
    EXPECT_EQ(zero.load(), 0u);

    const Calibration& last = Installed[(Rounds - 1) % std::size(Installed)];
    std::array<uint8_t, TouchSettings::Size> buf{};
    ASSERT_EQ(DriverIoControl(T.D, IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(),
                              buf.size(), nullptr),
              1u);
    const TouchSettings t = TouchSettings::Decode(buf);
    EXPECT_EQ(t.CalibrationX1, last.X1);
    EXPECT_EQ(t.CalibrationY3, last.Y3);
    EXPECT_EQ(t.PanelDirection, last.Direction);
    EXPECT_EQ(RegistryDword(u"CalibrationX1"), last.X1);
    EXPECT_EQ(RegistryDword(u"CalibrationX2"), last.X2);
    EXPECT_EQ(RegistryDword(u"CalibrationX3"), last.X3);
    EXPECT_EQ(RegistryDword(u"CalibrationY1"), last.Y1);
    EXPECT_EQ(RegistryDword(u"CalibrationY2"), last.Y2);
    EXPECT_EQ(RegistryDword(u"CalibrationY3"), last.Y3);
    EXPECT_EQ(RegistryDword(u"PanelDirection"), last.Direction);
    // The spans in force are the ones of that calibration.
    const DriverState& s = T.D.State;
    EXPECT_EQ(s.SpanX1, static_cast<uint16_t>(last.X2 - last.X1 + 1));
    EXPECT_EQ(s.SpanY2, static_cast<uint16_t>(last.Y3 - last.Y2 + 1));
}

}  // namespace
