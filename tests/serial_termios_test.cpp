// The termios serial ports, on a real pseudo-terminal whose master plays the
// far end. Cross-thread wake-ups are in serial_concurrency_test.cpp.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/lasterror.h"
#include "platform/serial.h"
#include "support/pty_pair.h"

namespace orvex {
namespace {

using test::PtySerialSetup;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int64_t UsNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- opening

TEST(TermiosOpen, RegistryMappingNamesTheDeviceAndBytesFlowBothWays) {
    PtySerialSetup s;
    auto port = s.Ports().Open(u"com1:");  // device names ignore case
    ASSERT_TRUE(port) << GetLastError();

    const uint8_t out[] = {0x55, 0x51, 0x06};
    uint32_t written = 0;
    ASSERT_TRUE(port->Write(out, sizeof out, &written));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(s.Pty().Read(3), (std::vector<uint8_t>{0x55, 0x51, 0x06}));

    s.Pty().Write({0x80, 0x00, 0xFF});
    uint8_t in[8] = {};
    uint32_t got = 0;
    ASSERT_TRUE(port->Read(in, 3, &got));
    ASSERT_EQ(got, 3u);  // pty delivery is immediate; the 20 ms wait covers any lag
    EXPECT_EQ(in[0], 0x80);
    EXPECT_EQ(in[1], 0x00);
    EXPECT_EQ(in[2], 0xFF);  // raw: no byte is translated or swallowed
}

TEST(TermiosOpen, UnmappedPortFallsBackToTtySOfOneLess) {
    PtySerialSetup s;
    struct stat st {};
    if (::stat("/dev/ttyS8", &st) == 0)
        GTEST_SKIP() << "/dev/ttyS8 exists here";
    EXPECT_FALSE(s.Ports().Open(u"COM9:"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // The same name works once the registry maps it.
    s.Map(9, s.Pty().SlavePath());
    EXPECT_TRUE(s.Ports().Open(u"COM9:"));

    // COM1 without a mapping is /dev/ttyS0, not ttyS1.
    PtySerialSetup other;
    other.Map(1, "");
    if (::stat("/dev/ttyS0", &st) != 0 || ::stat("/dev/ttyS1", &st) == 0)
        GTEST_SKIP() << "needs /dev/ttyS0 without /dev/ttyS1";
    auto p = other.Ports().Open(u"COM1:");
    if (!p) {
        EXPECT_NE(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
}

TEST(TermiosOpen, NamesThatDoNotFitSixCharactersAreRefused) {
    PtySerialSetup s;
    s.Map(10, s.Pty().SlavePath());  // even a mapping does not make COM10 usable
    for (std::u16string_view name :
         {u"COM10:", u"COM-1:", u"COM1", u"COMA:", u"CON1:", u"", u"COM1:x"}) {
        SetLastError(0);
        EXPECT_FALSE(s.Ports().Open(name)) << std::string(name.begin(), name.end());
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    }
}

TEST(TermiosOpen, IsExclusiveUntilClosed) {
    PtySerialSetup s;
    auto first = s.OpenPort();
    ASSERT_TRUE(first);
    EXPECT_FALSE(s.OpenPort());  // we run as root in CI: flock must hold anyway
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    first->Close();
    auto again = s.OpenPort();
    EXPECT_TRUE(again) << GetLastError();
    // Destroying releases it just the same.
    again.reset();
    EXPECT_TRUE(s.OpenPort());
}

TEST(TermiosOpen, ClosedHandleFailsWithInvalidHandle) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    port->Close();
    port->Close();  // idempotent
    uint8_t b = 0;
    uint32_t n = 7;
    EXPECT_FALSE(port->Read(&b, 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
    Dcb dcb;
    EXPECT_FALSE(port->GetCommState(&dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(port->SetCommMask(EV_RXCHAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- line settings and lines

TEST(TermiosState, DcbRoundTripsAndTheMasterSeesIt) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    EXPECT_TRUE(port->SetupComm(1024, 1024));

    // A pty carries rate and stop bits; data bits and parity it forces to
    // 8 and none (PtyRefusesWhatItCannotCarry...).
    struct Case {
        Dcb In;
        speed_t Speed;
    } cases[] = {
        {{9600, 8, 0, 0}, B9600},     {{38400, 8, 0, 2}, B38400}, {{1200, 8, 0, 2}, B1200},
        {{115200, 8, 0, 0}, B115200}, {{4800, 8, 0, 0}, B4800},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(port->SetCommState(c.In)) << c.In.BaudRate;
        Dcb back;
        ASSERT_TRUE(port->GetCommState(&back));
        EXPECT_EQ(back.BaudRate, c.In.BaudRate);
        EXPECT_EQ(back.ByteSize, c.In.ByteSize);
        EXPECT_EQ(back.Parity, c.In.Parity);
        EXPECT_EQ(back.StopBits, c.In.StopBits);

        const termios t = s.Pty().MasterTermios();
        EXPECT_EQ(cfgetospeed(&t), c.Speed);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, c.In.Parity != 0);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.In.StopBits == 2);
    }
}

TEST(TermiosState, UnsupportedSettingsFailAndChangeNothing) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommState({4800, 8, 0, 0}));
    for (const Dcb& bad : {Dcb{14400, 8, 0, 0}, Dcb{0, 8, 0, 0}, Dcb{9600, 4, 0, 0},
                           Dcb{9600, 9, 0, 0}, Dcb{9600, 8, 5, 0}, Dcb{9600, 8, 0, 1}}) {
        EXPECT_FALSE(port->SetCommState(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    const termios t = s.Pty().MasterTermios();
    EXPECT_EQ(cfgetospeed(&t), B4800);
}

TEST(TermiosState, OpenedPortIsRaw) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    const termios t = s.Pty().MasterTermios();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);

    // Bytes a cooked terminal would eat or change come through as sent.
    s.Pty().Write({0x03, 0x0D, 0x11, 0x13, 0x7F, 0x04});
    uint8_t in[6] = {};
    uint32_t got = 0;
    ASSERT_TRUE(port->Read(in, 6, &got));
    EXPECT_EQ(std::vector<uint8_t>(in, in + got),
              (std::vector<uint8_t>{0x03, 0x0D, 0x11, 0x13, 0x7F, 0x04}));
}

bool MasterRts(test::PtyPair& pty) {
    return (pty.MasterTermios().c_cflag & CMSPAR) != 0;
}
bool MasterDtr(test::PtyPair& pty) {
    return (pty.MasterTermios().c_lflag & ECHOCTL) != 0;
}

TEST(TermiosLines, VirtualRtsAndDtrAreVisibleFromTheMaster) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    EXPECT_TRUE(MasterRts(s.Pty()));  // raised on open, like a real port
    EXPECT_TRUE(MasterDtr(s.Pty()));

    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_CLR_RTS));
    EXPECT_FALSE(MasterRts(s.Pty()));
    EXPECT_TRUE(MasterDtr(s.Pty()));
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_CLR_DTR));
    EXPECT_FALSE(MasterDtr(s.Pty()));
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_SET_DTR));
    EXPECT_TRUE(MasterDtr(s.Pty()));
    EXPECT_FALSE(MasterRts(s.Pty()));
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_SET_RTS));
    EXPECT_TRUE(MasterRts(s.Pty()));

    EXPECT_FALSE(port->LineControl(0x1B0004));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(TermiosState, PtyRefusesWhatItCannotCarryAndKeepsTheOldState) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommState({19200, 8, 0, 2}));
    for (const Dcb& dropped :
         {Dcb{9600, 7, 0, 0}, Dcb{9600, 8, 1, 0}, Dcb{9600, 8, 2, 0}, Dcb{9600, 8, 4, 0}}) {
        SetLastError(0);
        EXPECT_FALSE(port->SetCommState(dropped));  // not "success" with 8N behind it
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        Dcb back;
        ASSERT_TRUE(port->GetCommState(&back));
        EXPECT_EQ(back.BaudRate, 19200u);
        EXPECT_EQ(back.ByteSize, 8);
        EXPECT_EQ(back.Parity, 0);
        EXPECT_EQ(back.StopBits, 2);
    }
}

TEST(TermiosLines, CommStateKeepsTheLinesAndIgnoresThem) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_SET_RTS));
    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_CLR_DTR));

    // RTS rides on CMSPAR: it must not read back as mark/space parity...
    Dcb dcb;
    ASSERT_TRUE(port->GetCommState(&dcb));
    EXPECT_EQ(dcb.Parity, 0);

    // ...and setting the state must not drop it.
    ASSERT_TRUE(port->SetCommState({9600, 8, 0, 0}));
    EXPECT_TRUE(MasterRts(s.Pty()));
    EXPECT_FALSE(MasterDtr(s.Pty()));

    // A refused stick-parity setting leaves RTS alone too.
    EXPECT_FALSE(port->SetCommState({9600, 8, 4, 0}));
    EXPECT_TRUE(MasterRts(s.Pty()));
    ASSERT_TRUE(port->GetCommState(&dcb));
    EXPECT_EQ(dcb.Parity, 0);

    ASSERT_TRUE(port->LineControl(IOCTL_SERIAL_CLR_RTS));
    ASSERT_TRUE(port->SetCommState({38400, 8, 0, 0}));
    EXPECT_FALSE(MasterRts(s.Pty()));
}

// ---- read time-outs

TEST(TermiosRead, AsOpenedReturnsNothingAfterAboutTwentyMsOfSilence) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    CommTimeouts t;
    ASSERT_TRUE(port->GetCommTimeouts(&t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 20u);

    uint8_t b = 0;
    uint32_t got = 9;
    const auto start = Clock::now();
    ASSERT_TRUE(port->Read(&b, 1, &got));
    const auto ms = MsSince(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(ms, 10);
    EXPECT_LE(ms, 500);
}

TEST(TermiosRead, AnyByteModeReturnsAtOnceWithWhatIsThere) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    // The mode of a port as opened, with a time-out long enough that sitting
    // it out cannot pass for a busy machine's delay.
    ASSERT_TRUE(port->SetCommTimeouts({MAXDWORD, MAXDWORD, 5000, 0, 0}));
    s.Pty().Write({1, 2});
    std::this_thread::sleep_for(20ms);  // let the pty hand the bytes over
    uint8_t buf[10] = {};
    uint32_t got = 0;
    const auto start = Clock::now();
    ASSERT_TRUE(port->Read(buf, 10, &got));
    EXPECT_EQ(got, 2u);
    EXPECT_LT(MsSince(start), 2500);  // did not sit out the time-out for the other 8
}

TEST(TermiosRead, AllZeroTimeoutsWaitForEveryByte) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommTimeouts({0, 0, 0, 0, 0}));
    // Measured from the far end's first write, which is certainly before the
    // read ends: a clock started on this thread may start late.
    std::atomic<int64_t> firstWrittenUs{0};
    std::thread farEnd([&] {
        s.Pty().Write({0x55, 0x54, 0x00});
        firstWrittenUs = UsNow();
        std::this_thread::sleep_for(60ms);
        s.Pty().Write({0xFC, 0x0F});
    });
    uint8_t buf[5] = {};
    uint32_t got = 0;
    const bool ok = port->Read(buf, 5, &got);
    const int64_t endedUs = UsNow();
    farEnd.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(got, 5u);
    EXPECT_GE(endedUs - firstWrittenUs.load(), 60'000) << "ended before the last two bytes";
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 5),
              (std::vector<uint8_t>{0x55, 0x54, 0x00, 0xFC, 0x0F}));
}

TEST(TermiosRead, ImmediateModeNeverWaits) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommTimeouts({MAXDWORD, 0, 0, 0, 0}));
    uint8_t b[4];
    uint32_t got = 9;
    const auto start = Clock::now();
    ASSERT_TRUE(port->Read(b, 4, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MsSince(start), 1000);
}

TEST(TermiosRead, TotalTimeoutBoundsAShortRead) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    // 10 ms per byte + 30 ms: 70 ms for 4 bytes; only 1 arrives.
    ASSERT_TRUE(port->SetCommTimeouts({0, 10, 30, 0, 0}));
    s.Pty().Write({0x42});
    uint8_t b[4] = {};
    uint32_t got = 0;
    const auto start = Clock::now();
    ASSERT_TRUE(port->Read(b, 4, &got));
    const auto ms = MsSince(start);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(b[0], 0x42);
    EXPECT_GE(ms, 55);
    EXPECT_LE(ms, 1000);
}

TEST(TermiosRead, IntervalEndsAReadAfterAGapButNotBeforeTheFirstByte) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommTimeouts({30, 0, 0, 0, 0}));
    // Measured from just before the far end's write: the bytes, and so the
    // interval, cannot start earlier. A clock started on this thread may
    // start after the far end has begun its pause.
    std::atomic<int64_t> writingUs{0};
    std::thread farEnd([&] {
        std::this_thread::sleep_for(80ms);  // longer than the interval: must be waited out
        writingUs = UsNow();
        s.Pty().Write({7, 8});
    });
    uint8_t b[6] = {};
    uint32_t got = 0;
    const bool ok = port->Read(b, 6, &got);
    const int64_t endedUs = UsNow();
    farEnd.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(got, 2u) << "the interval ended the read before the first byte";
    EXPECT_GE(endedUs - writingUs.load(), 30'000) << "did not wait out the interval";
    EXPECT_LE(endedUs - writingUs.load(), 1'500'000);
}

// ---- writing and a vanished far end

TEST(TermiosWrite, LargeWriteCompletesAsTheFarEndDrains) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    std::vector<uint8_t> data(64 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> seen;
    std::thread farEnd([&] { seen = s.Pty().Read(data.size(), std::chrono::seconds(20)); });
    uint32_t written = 0;
    EXPECT_TRUE(port->Write(data.data(), static_cast<uint32_t>(data.size()), &written));
    farEnd.join();
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(seen, data);
}

TEST(TermiosWrite, WriteTimeoutReturnsTheShortCount) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommTimeouts({MAXDWORD, MAXDWORD, 20, 0, 50}));
    std::vector<uint8_t> data(1 << 20);  // far more than a pty buffers; nobody reads
    uint32_t written = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(port->Write(data.data(), static_cast<uint32_t>(data.size()), &written));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, data.size());
    EXPECT_GE(MsSince(start), 40);
}

TEST(TermiosHangup, ClosedMasterFailsReadsAndWaitsPromptlyEveryTime) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    s.Pty().CloseMaster();

    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        uint32_t mask = 5;
        EXPECT_FALSE(port->WaitCommEvent(&mask));
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(mask, 0u);
        uint8_t b[5];
        uint32_t got = 9;
        EXPECT_FALSE(port->Read(b, 5, &got));
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(got, 0u);
    }
    // Also with all-zero time-outs, which would otherwise wait forever.
    ASSERT_TRUE(port->SetCommTimeouts({0, 0, 0, 0, 0}));
    uint8_t b[5];
    uint32_t got = 0;
    EXPECT_FALSE(port->Read(b, 5, &got));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(MsSince(start), 200);  // no 20 ms time-outs sat out, no hang

    // The CPU spent tells a failing call from a spinning one.
    const std::clock_t cpu = std::clock();
    EXPECT_FALSE(port->Read(b, 5, &got));
    EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.05);
}

TEST(TermiosWait, ClearedMaskFailsAtOnceInsteadOfWaitingForever) {
    PtySerialSetup s;
    auto port = s.OpenPort();
    ASSERT_TRUE(port);
    uint32_t mask = 9;
    EXPECT_FALSE(port->WaitCommEvent(&mask));  // mask is 0 as opened
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(mask, 0u);

    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR));
    s.Pty().Write({1});
    ASSERT_TRUE(port->WaitCommEvent(&mask));
    EXPECT_EQ(mask, EV_RXCHAR);
    // Data still unread: the wait returns again at once.
    ASSERT_TRUE(port->WaitCommEvent(&mask));
    EXPECT_EQ(mask, EV_RXCHAR);
}

}  // namespace
}  // namespace orvex
