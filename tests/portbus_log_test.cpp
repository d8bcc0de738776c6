// The log port bus and the logging timer: what a host without port access
// shows of a beep.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/portbus.h"
#include "platform/testing/timer-manual.h"
#include "platform/timer.h"
#include "support/output_capture.h"

namespace orvex {
namespace {

TEST(LogPortBus, ReadsReturnWhatWasLastWrittenAndZeroBefore) {
    test::PipeCapture out;
    auto bus = CreateLogPortBus(out.Fd());
    EXPECT_EQ(bus->ReadPortUchar(0x61), 0x00);
    bus->WritePortUchar(0x61, 0x4F);
    EXPECT_EQ(bus->ReadPortUchar(0x61), 0x4F);
    // Ports are remembered one by one.
    EXPECT_EQ(bus->ReadPortUchar(0x42), 0x00);
    bus->WritePortUchar(0x42, 0xD0);
    bus->WritePortUchar(0x42, 0x07);
    EXPECT_EQ(bus->ReadPortUchar(0x42), 0x07);
    EXPECT_EQ(bus->ReadPortUchar(0x61), 0x4F);
}

// The access sequence of a touch beep with the default tone, as the speaker
// code performs it, and the text it leaves.
TEST(LogPortBus, ShowsABeepLineByLineWithItsWait) {
    test::PipeCapture out;
    auto manual = std::make_unique<ManualTimerService>();
    ManualTimerService* clock = manual.get();
    auto timers = CreateLoggingTimerService(std::move(manual), out.Fd());
    auto bus = CreateLogPortBus(out.Fd());

    uint8_t saved = bus->ReadPortUchar(0x61);
    bus->WritePortUchar(0x43, 0xB6);
    bus->WritePortUchar(0x42, 0xD0);
    bus->WritePortUchar(0x42, 0x07);
    bus->WritePortUchar(0x61, static_cast<uint8_t>(bus->ReadPortUchar(0x61) | 0x03));
    timers->SleepMicroseconds(10000);
    bus->WritePortUchar(0x61, saved);
    EXPECT_EQ(bus->ReadPortUchar(0x61), 0x00);

    EXPECT_EQ(out.Text(),
              "READ_PORT_UCHAR(0x61) = 0x00\n"
              "WRITE_PORT_UCHAR(0x43, 0xB6)\n"
              "WRITE_PORT_UCHAR(0x42, 0xD0)\n"
              "WRITE_PORT_UCHAR(0x42, 0x07)\n"
              "READ_PORT_UCHAR(0x61) = 0x00\n"
              "WRITE_PORT_UCHAR(0x61, 0x03)\n"
              "NdisMSleep(10000)\n"
              "WRITE_PORT_UCHAR(0x61, 0x00)\n"
              "READ_PORT_UCHAR(0x61) = 0x00\n");
    // The wait was really taken, on the wrapped service's clock.
    EXPECT_EQ(clock->Sleeps(), std::vector<uint32_t>{10000});
    EXPECT_EQ(timers->NowMicroseconds(), 10000u);
}

TEST(LogPortBus, TranslatesPortSpaceUnchangedAndMapsNoMemory) {
    test::PipeCapture out;
    auto bus = CreateLogPortBus(out.Fd());
    uint32_t space = 1;
    uint64_t translated = 0;
    ASSERT_TRUE(bus->TranslateBusAddress(InterfaceTypeIsa, 0, 0x61, &space, &translated));
    EXPECT_EQ(space, 1u);
    EXPECT_EQ(translated, 0x61u);

    // Memory space cannot be had here: the translation says so rather than
    // handing out an address that MapIoSpace would then refuse anyway.
    space = 0;
    EXPECT_FALSE(bus->TranslateBusAddress(InterfaceTypeIsa, 0, 0xA0000, &space, &translated));
    EXPECT_EQ(bus->MapIoSpace(0xA0000, 1, false), 0u);
    EXPECT_FALSE(bus->TranslateBusAddress(InterfaceTypeIsa, 0, 0x61, nullptr, &translated));
    EXPECT_EQ(out.Text(), "");  // only port accesses are shown
}

TEST(LoggingTimerService, DelegatesTimersReadinessAndClock) {
    test::PipeCapture out;
    auto manual = std::make_unique<ManualTimerService>(500);
    ManualTimerService* clock = manual.get();
    clock->SetServiceReady(81, false);
    auto timers = CreateLoggingTimerService(std::move(manual), out.Fd());

    int fired = 0;
    auto t = timers->CreateTimer([&] { ++fired; });
    t->Set(1000);
    EXPECT_TRUE(t->Pending());
    clock->Advance(1000);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(timers->IsServiceReady(85));
    EXPECT_FALSE(timers->IsServiceReady(81));
    EXPECT_EQ(clock->ReadinessQueries(), (std::vector<uint32_t>{85, 81}));
    EXPECT_EQ(timers->NowMicroseconds(), 500u + 1000u * 1000u);
    timers->SleepMicroseconds(0);
    t.reset();
    timers.reset();
    EXPECT_EQ(out.Text(), "NdisMSleep(0)\n");
}

}  // namespace
}  // namespace orvex
