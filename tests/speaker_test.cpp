// Speaker feedback: port mapping, the exact port-access sequence of a beep,
// its tone and length edges, and beeps that must touch nothing.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <numeric>
#include <thread>

#include "common/orvex.h"
#include "tests/support/driver_fixture.h"

using namespace orvex;
using orvex::test::TestDriver;
using Access = SimulatedPortBus::Access;

namespace {

Access R(uint32_t port, uint8_t v) {
    return {false, port, v, 0};
}
Access W(uint32_t port, uint8_t v) {
    return {true, port, v, 0};
}

void ExpectSequence(const std::vector<Access>& got, const std::vector<Access>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_TRUE(got[i].SameAs(want[i]))
            << "access " << i << ": " << (got[i].Write ? "write 0x" : "read 0x") << std::hex
            << got[i].Port << " value 0x" << int(got[i].Value);
    }
}

// The accesses of one beep whose port 0x61 starts at `before`.
std::vector<Access> Beep(uint8_t before, uint8_t low, uint8_t high) {
    return {R(0x61, before), W(0x43, 0xB6),       W(0x42, low),   W(0x42, high),
            R(0x61, before), W(0x61, before | 3), W(0x61, before)};
}

TEST(SpeakerPorts, MappingFillsTheThreeAddressesInTableOrder) {
    TestDriver t;
    MapSpeakerPorts(t.D);
    EXPECT_EQ(t.D.State.SpeakerControlPort, 0x61u);
    EXPECT_EQ(t.D.State.TimerChannel2Port, 0x42u);
    EXPECT_EQ(t.D.State.TimerControlPort, 0x43u);
}

TEST(SpeakerPorts, MapIoPortFollowsTheTranslatedSpace) {
    TestDriver t;
    EXPECT_EQ(MapIoPort(t.D, 0x61, 1, 1), 0x61u);
    t.Ports.SetTranslateToMemory(true, 0xC0DE0000);
    EXPECT_EQ(MapIoPort(t.D, 0x61, 1, 1), 0xC0DE0000u);
    t.Ports.SetTranslateToMemory(true, 0);
    EXPECT_EQ(MapIoPort(t.D, 0x61, 1, 1), 0u);
    t.Ports.SetTranslateToMemory(false, 0);
    t.Ports.SetTranslationFails(true);
    EXPECT_EQ(MapIoPort(t.D, 0x61, 1, 1), 0u);
}

TEST(SpeakerPorts, RemappingAfterAFailureOverwritesWithZero) {
    TestDriver t;
    MapSpeakerPorts(t.D);
    t.Ports.SetTranslationFails(true);
    MapSpeakerPorts(t.D);
    EXPECT_EQ(t.D.State.SpeakerControlPort, 0u);
    EXPECT_EQ(t.D.State.TimerControlPort, 0u);
}

TEST(SpeakerBeep, DefaultTouchBeepSequenceAndTiming) {
    TestDriver t;
    t.Ports.SetPort61(0x20);
    MapSpeakerPorts(t.D);
    t.Timers.AdvanceMicroseconds(500);
    TouchBeep(t.D);
    auto got = t.Ports.Accesses();
    ExpectSequence(got, Beep(0x20, 0xD0, 0x07));
    EXPECT_EQ(t.Timers.Sleeps(), std::vector<uint32_t>{10000});
    // Everything up to the speaker switching on happens at once; the
    // restore comes after the whole sleep.
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(got[i].TimeUs, 500u) << i;
    EXPECT_EQ(got[6].TimeUs, 10500u);
    EXPECT_EQ(t.Ports.Divisor(), 2000);
    EXPECT_EQ(t.Ports.FrequencyHz(), 596u);
    EXPECT_EQ(t.Ports.ControlWord(), 0xB6);
    EXPECT_FALSE(t.Ports.Sounding());
    EXPECT_EQ(t.Ports.Port61(), 0x20);
}

TEST(SpeakerBeep, SelfTestIsAFixedToneRegardlessOfSettings) {
    TestDriver t;
    t.D.State.FeedbackTone = 100;
    t.D.State.FeedbackDuration = 50;
    MapSpeakerPorts(t.D);
    SelfTestBeep(t.D);
    ExpectSequence(t.Ports.Accesses(), Beep(0x00, 0xE8, 0x08));
    EXPECT_EQ(t.Timers.Sleeps(), std::vector<uint32_t>{40000});
    EXPECT_EQ(t.Ports.FrequencyHz(), 523u);
}

TEST(SpeakerBeep, ToneAndLengthEdges) {
    struct Case {
        uint32_t Tone, Duration;
        uint8_t Low, High;
        uint32_t SleepUs;
    } cases[] = {
        {0x12345, 1, 0x45, 0x23, 10000},  // bits 16-31 never reach the timer
        {0, 1, 0x00, 0x00, 10000},        // the 8254 counts 0 as 65536
        {2000, 0, 0xD0, 0x07, 0},         // still programs and restores
        {2000, 50, 0xD0, 0x07, 500000},
        // Anything longer is half a second: ×10 ×1000 would wrap (0x0CCCCCCC
        // slept 71 minutes, 65535 almost 11), and no touch is read meanwhile.
        {2000, 100, 0xD0, 0x07, 500000},
        {2000, 65535, 0xD0, 0x07, 500000},
        {2000, 0x0CCCCCCC, 0xD0, 0x07, 500000},
        {2000, 0x0CCCCCCD, 0xD0, 0x07, 500000},
    };
    for (const auto& c : cases) {
        TestDriver t;
        MapSpeakerPorts(t.D);
        t.D.State.FeedbackTone = c.Tone;
        t.D.State.FeedbackDuration = c.Duration;
        TouchBeep(t.D);
        SCOPED_TRACE(testing::Message() << "tone " << c.Tone << " duration " << c.Duration);
        ExpectSequence(t.Ports.Accesses(), Beep(0x00, c.Low, c.High));
        const auto sleeps = t.Timers.Sleeps();
        EXPECT_EQ(std::accumulate(sleeps.begin(), sleeps.end(), uint64_t{0}), c.SleepUs);
    }
    TestDriver t;
    MapSpeakerPorts(t.D);
    t.D.State.FeedbackTone = 0;
    TouchBeep(t.D);
    EXPECT_EQ(t.Ports.FrequencyHz(), 1193182u / 65536u);
}

TEST(SpeakerBeep, RestoresTheWholeSavedByte) {
    // Gate and data bits that were on before stay on; the others are kept.
    for (uint8_t before : {uint8_t{0x03}, uint8_t{0x01}, uint8_t{0xFC}, uint8_t{0x4E}}) {
        TestDriver t;
        t.Ports.SetPort61(before);
        MapSpeakerPorts(t.D);
        SelfTestBeep(t.D);
        ExpectSequence(t.Ports.Accesses(), Beep(before, 0xE8, 0x08));
        EXPECT_EQ(t.Ports.Port61(), before);
    }
}

TEST(SpeakerBeep, UnmappedPortsAreNeverTouched) {
    TestDriver t;
    TouchBeep(t.D);
    SelfTestBeep(t.D);
    EXPECT_TRUE(t.Ports.Accesses().empty());
    EXPECT_TRUE(t.Timers.Sleeps().empty());
    EXPECT_EQ(t.Timers.NowMicroseconds(), 0u);

    t.Ports.SetTranslationFails(true);
    MapSpeakerPorts(t.D);
    TouchBeep(t.D);
    EXPECT_TRUE(t.Ports.Accesses().empty());

    // One port that failed to map is enough to stay silent.
    t.Ports.SetTranslationFails(false);
    MapSpeakerPorts(t.D);
    t.D.State.TimerControlPort = 0;
    SelfTestBeep(t.D);
    EXPECT_TRUE(t.Ports.Accesses().empty());
    EXPECT_TRUE(t.Timers.Sleeps().empty());
}

// Forwards to the simulated bus and gives up the processor after every
// access, so two unserialised beeps would interleave almost surely.
class YieldingBus final : public PortBus {
  public:
    explicit YieldingBus(SimulatedPortBus& inner) : Inner(inner) {}
    bool TranslateBusAddress(uint32_t type, uint32_t bus, uint64_t address, uint32_t* space,
                             uint64_t* translated) override {
        return Inner.TranslateBusAddress(type, bus, address, space, translated);
    }
    uint32_t MapIoSpace(uint64_t physical, uint32_t bytes, bool cached) override {
        return Inner.MapIoSpace(physical, bytes, cached);
    }
    uint8_t ReadPortUchar(uint32_t port) override {
        uint8_t v = Inner.ReadPortUchar(port);
        std::this_thread::yield();
        return v;
    }
    void WritePortUchar(uint32_t port, uint8_t value) override {
        Inner.WritePortUchar(port, value);
        std::this_thread::yield();
    }
    SimulatedPortBus& Inner;
};

TEST(SpeakerBeep, SimultaneousBeepsDoNotInterleave) {
    TestDriver t;
    YieldingBus bus(t.Ports);
    t.Sys.Ports = &bus;
    MapSpeakerPorts(t.D);
    constexpr int PerThread = 300;
    std::atomic<int> ready{0};
    auto run = [&](void (*beep)(Driver&)) {
        ready.fetch_add(1);
        while (ready.load() < 2)
            std::this_thread::yield();
        for (int i = 0; i < PerThread; ++i)
            beep(t.D);
    };
    std::thread a(run, &TouchBeep);
    std::thread b(run, &SelfTestBeep);
    a.join();
    b.join();
    auto got = t.Ports.Accesses();
    ASSERT_EQ(got.size(), size_t{2 * PerThread * 7});
    const auto touch = Beep(0x00, 0xD0, 0x07);
    const auto self = Beep(0x00, 0xE8, 0x08);
    for (size_t at = 0; at < got.size(); at += 7) {
        const auto& want = got[at + 2].Value == 0xD0 ? touch : self;
        for (size_t i = 0; i < 7; ++i)
            ASSERT_TRUE(got[at + i].SameAs(want[i])) << "beep at " << at << " access " << i;
    }
    EXPECT_EQ(t.Ports.Port61(), 0x00);
}

// Sleeps on the test's clock and stops the driver after the first slice.
class StopDuringBeep final : public TimerService {
  public:
    explicit StopDuringBeep(Driver& d) : D(d) {}
    void SleepMicroseconds(uint32_t us) override {
        Slept += us;
        D.State.StopRequested = 1;
    }
    std::unique_ptr<OneShotTimer> CreateTimer(std::function<void()>) override { return nullptr; }
    bool IsServiceReady(uint32_t) override { return true; }
    uint64_t NowMicroseconds() override { return Slept; }
    Driver& D;
    uint64_t Slept = 0;
};

TEST(SpeakerBeep, AnOverlongSettingIsCappedWhereItIsStoredAndAStopCutsTheBeepShort) {
    TestDriver t;
    MapSpeakerPorts(t.D);
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings want;
    want.FeedbackSound = 2;
    want.FeedbackTone = 2000;
    want.FeedbackDuration = 65535;
    want.EncodeFeedback(buf);
    ASSERT_EQ(DriverIoControl(t.D, IOCTL_ORX_SET_FEEDBACK, buf.data(), buf.size(), buf.data(),
                              buf.size(), nullptr),
              1u);
    ASSERT_EQ(DriverIoControl(t.D, IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(),
                              buf.size(), nullptr),
              1u);
    EXPECT_EQ(TouchSettings::Decode(buf).FeedbackDuration, 50);  // what a beep lasts

    StopDuringBeep timer(t.D);
    t.Sys.Timers = &timer;
    TouchBeep(t.D);
    EXPECT_EQ(timer.Slept, 50000u);
    ExpectSequence(t.Ports.Accesses(), Beep(0x00, 0xD0, 0x07));  // silenced as usual
}

}  // namespace
