// The device manager and the device client, in-process against the stand-in
// driver module, plus the orvex-devmgr program itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "common/orvex.h"
#include "device/client.h"
#include "device/host.h"
#include "device/wire.h"
#include "platform/lasterror.h"
#include "support/devhost_fixture.h"
#include "support/process.h"

using namespace orvex;
using namespace orvex::test;
using namespace std::chrono_literals;

namespace {

bool IsSocket(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class DeviceHostTest : public ::testing::Test {
  protected:
    void SetUp() override { Root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 1); }

    bool StartHost() { return Host.Start(Root.Root(), Root.Reg()) == 1; }
    std::unique_ptr<DeviceHandle> Open() { return OpenDevice(u"FAK1:", Root.Root()); }

    FakeModule Fake;
    HostRoot Root;
    CaptureDebugOutput Log;
    DeviceHost Host{Log};
};

// ---------------------------------------------------------------------------
// Loading

TEST_F(DeviceHostTest, LoadsTheDriverCreatesItsDeviceAndSendsThePostLoadCodeOnce) {
    ASSERT_TRUE(StartHost());
    EXPECT_EQ(Host.Devices(), std::vector<std::string>{"FAK1:"});
    EXPECT_TRUE(IsSocket(Root.SocketPath("FAK1")));
    EXPECT_EQ(Fake.Counter(fake::Inits), 1u);
    EXPECT_EQ(Fake.Counter(fake::PostLoads), 1u);
    EXPECT_EQ(Fake.Counter(fake::PostLoadsWithBuffers), 0u) << "post-load code carries no buffers";
    EXPECT_EQ(Fake.Counter(fake::BadContexts), 0u);
    const auto lines = Log.Lines();
    EXPECT_TRUE(Contains(lines, "orvex-devmgr: loaded FAK1: from " + FakeDriverPath() + "\n"));
    EXPECT_TRUE(Contains(lines, "sent control code 0x00002018 to FAK1:"));
    EXPECT_EQ(Fake.Counter(fake::Opens), 0u) << "loading opens no handle";
}

TEST_F(DeviceHostTest, WithoutIoctlValueNoPostLoadCodeIsSent) {
    HostRoot root;
    root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 2, std::nullopt);
    DeviceHost host(Log);
    ASSERT_EQ(host.Start(root.Root(), root.Reg()), 1u);
    EXPECT_EQ(host.Devices(), std::vector<std::string>{"FAK2:"});
    EXPECT_EQ(Fake.Counter(fake::PostLoads), 0u);
}

TEST_F(DeviceHostTest, BareDllNameIsLookedUpInTheLibraryFolders) {
    HostRoot root;
    root.RegisterDriver(u"Fake", "fakedriver.so", "FAK", 1);
    DeviceHost host(Log);
    DeviceHost::Options options;
    const std::string libDir = std::filesystem::path(FakeDriverPath()).parent_path().string();
    options.LibraryDirs = {root.Root() + "/nowhere", libDir};
    ASSERT_EQ(host.Start(root.Root(), root.Reg(), options), 1u);
    EXPECT_TRUE(Contains(Log.Lines(), "from " + FakeDriverPath()));

    // The build's library folder is the first default: tests run from
    // build/tests, the module lies in build/lib.
    const auto dirs = DeviceHost::DefaultLibraryDirs();
    ASSERT_GE(dirs.size(), 3u);
    EXPECT_EQ(std::filesystem::weakly_canonical(dirs[0]),
              std::filesystem::weakly_canonical(libDir));
    EXPECT_EQ(dirs[1], "/usr/local/lib/orvex");
    EXPECT_EQ(dirs[2], "/usr/lib/orvex");
}

TEST_F(DeviceHostTest, BrokenKeysAreReportedAndSkippedWhileGoodOnesLoad) {
    HostRoot root;
    root.RegisterDriver(u"A_Fails", FakeDriverPath(), "BAD", 1);  // Init returns 0
    root.RegisterDriver(u"B_Missing", root.Root() + "/no-such.so", "FAK", 3);
    root.RegisterDriver(u"C_Relative", "lib/fakedriver.so", "FAK", 4);
    root.RegisterDriver(u"D_BadPrefix", FakeDriverPath(), "../x", 5);
    root.RegisterDriver(u"E_NoSymbols", FakeDriverPath(), "NOPE", 6);
    root.SetString(u"F_NoIndex", u"Dll", FakeDriverPath());
    root.SetString(u"F_NoIndex", u"Prefix", "FAK");
    root.SetString(u"G_NotADriver", u"Something", "else");
    root.RegisterDriver(u"H_Good", FakeDriverPath(), "FAK", 1);
    root.RegisterDriver(u"I_Duplicate", FakeDriverPath(), "FAK", 1);

    DeviceHost host(Log);
    ASSERT_EQ(host.Start(root.Root(), root.Reg()), 1u);
    EXPECT_EQ(host.Devices(), std::vector<std::string>{"FAK1:"});
    EXPECT_EQ(Fake.Counter(fake::Inits), 1u) << "the duplicate must not start a second time";
    EXPECT_EQ(Fake.Counter(fake::PostLoads), 1u);

    std::vector<std::string> sockets;
    for (const auto& e : std::filesystem::directory_iterator(root.Root() + "/dev")) {
        sockets.push_back(e.path().filename().string());
    }
    std::sort(sockets.begin(), sockets.end());
    EXPECT_EQ(sockets, (std::vector<std::string>{"FAK1", "FAK1.lock"}))
        << "a failed driver leaves no socket and no lock";

    const auto lines = Log.Lines();
    EXPECT_TRUE(Contains(lines, "BAD_Init of " + FakeDriverPath() + " failed"));
    EXPECT_TRUE(Contains(lines, "cannot load " + root.Root() + "/no-such.so"));
    EXPECT_TRUE(Contains(lines, "must be a file name or an absolute path"));
    EXPECT_TRUE(Contains(lines, "bad Prefix"));
    EXPECT_TRUE(Contains(lines, "does not export NOPE_Init"));
    EXPECT_TRUE(Contains(lines, "F_NoIndex: it needs Dll, Prefix and Index"));
    EXPECT_FALSE(Contains(lines, "G_NotADriver"));
    EXPECT_TRUE(Contains(lines, "I_Duplicate: FAK1: is already loaded"));

    host.Stop();
    EXPECT_EQ(Fake.Counter(fake::BadContexts), 0u) << "BAD_Deinit must not run";
}

TEST_F(DeviceHostTest, NothingRegisteredServesNothing) {
    HostRoot empty;
    DeviceHost host(Log);
    EXPECT_EQ(host.Start(empty.Root(), empty.Reg()), 0u);
    EXPECT_TRUE(host.Devices().empty());
}

TEST_F(DeviceHostTest, StaleSocketIsReplacedButOtherFilesAndLiveHostsAreLeftAlone) {
    std::filesystem::create_directories(Root.Root() + "/dev");
    {
        // A socket bound by a host that died: nobody listens on it.
        devwire::UniqueFd stale(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, Root.SocketPath("FAK1").c_str());
        ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    EXPECT_TRUE(TransformWorks(*h, 1));

    // A second host on the same root must not take the device over.
    CaptureDebugOutput otherLog;
    DeviceHost other(otherLog);
    EXPECT_EQ(other.Start(Root.Root(), Root.Reg()), 0u);
    EXPECT_TRUE(Contains(otherLog.Lines(), "FAK1: is already served by another host"));
    other.Stop();
    EXPECT_TRUE(IsSocket(Root.SocketPath("FAK1")));
    EXPECT_TRUE(TransformWorks(*h, 2));

    // Something that is not a socket is never deleted.
    HostRoot root;
    root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 7);
    std::filesystem::create_directories(root.Root() + "/dev");
    std::ofstream(root.SocketPath("FAK7")) << "keep me";
    DeviceHost third(otherLog);
    EXPECT_EQ(third.Start(root.Root(), root.Reg()), 0u);
    EXPECT_EQ(ReadWholeFile(root.SocketPath("FAK7")), "keep me");
}

// ---------------------------------------------------------------------------
// Handles

TEST_F(DeviceHostTest, EachConnectionIsOneOpenAndCloseOfTheDriver) {
    ASSERT_TRUE(StartHost());
    auto a = Open();
    auto b = Open();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(Fake.Counter(fake::Opens), 2u);
    EXPECT_EQ(Fake.Counter(fake::OpenNow), 2u);
    a.reset();
    EXPECT_TRUE(WaitUntil([&] { return Fake.Counter(fake::Closes) == 1; }, 10s));
    EXPECT_EQ(Fake.Counter(fake::OpenNow), 1u);
    EXPECT_TRUE(TransformWorks(*b, 3)) << "closing one handle leaves the other working";
    EXPECT_EQ(Fake.Counter(fake::BadContexts), 0u) << "each call carries its own open context";
}

TEST_F(DeviceHostTest, OpenFailuresReachTheProgramAsLastErrors) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    uint8_t refuse[4] = {1, 0, 0, 0};
    ASSERT_EQ(h->IoControl(fake::CodeRefuseOpens, refuse, 4, nullptr, 0, nullptr), 1u);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "the driver's own error";
    EXPECT_EQ(Fake.Counter(fake::Closes), 0u) << "a refused open is never closed";
    EXPECT_TRUE(Open()) << "the next open succeeds again";

    EXPECT_EQ(OpenDevice(u"FAK2:", Root.Root()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    for (const char16_t* bad : {u"../FAK1:", u"FA/K1:", u":", u""}) {
        EXPECT_EQ(OpenDevice(bad, Root.Root()), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    }
}

// ---------------------------------------------------------------------------
// Control calls

TEST_F(DeviceHostTest, ControlCallCarriesBothBuffersAndReturnsTheOutputWhole) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);

    // Bytes the driver does not write come back as they went.
    uint8_t in[3] = {0x01, 0x02, 0x03};
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    uint32_t returned = 0;
    EXPECT_EQ(h->IoControl(fake::CodeTransform, in, 3, out, 8, &returned), 1u);
    const uint8_t want[8] = {0x5B, 0x58, 0x59, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0, std::memcmp(out, want, 8));
    EXPECT_EQ(returned, 3u);

    // The output buffer's current bytes reach the driver.
    uint8_t sum[4] = {1, 2, 3, 250};
    EXPECT_EQ(h->IoControl(fake::CodeOutputSum, nullptr, 0, sum, 4, nullptr), 0x10000u + 256);

    // A byte count the driver does not write is left as the program set it.
    returned = 0xDEADBEEF;
    h->IoControl(fake::CodeOutputSum, nullptr, 0, sum, 4, &returned);
    EXPECT_EQ(returned, 0xDEADBEEFu);
}

TEST_F(DeviceHostTest, OneBufferPassedAsInputAndOutputStaysOneBuffer) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    uint8_t buf[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    uint32_t returned = 0;
    EXPECT_EQ(h->IoControl(fake::CodeDescribe, buf, 6, buf, 6, &returned), 0x104u);
    EXPECT_EQ(returned, (6u << 16) | 6u);
    // In-place transform over the shared buffer; unequal lengths keep the
    // output's length for what comes back.
    EXPECT_EQ(h->IoControl(fake::CodeTransform, buf, 6, buf, 4, &returned), 1u);
    const uint8_t want[6] = {0x4A, 0x7A, 0x6A, 0x1A, 0x50, 0x60};
    EXPECT_EQ(0, std::memcmp(buf, want, 6));
    EXPECT_EQ(returned, 4u);
}

TEST_F(DeviceHostTest, NullAndEmptyBuffersAreDistinguished) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    EXPECT_EQ(h->IoControl(fake::CodeDescribe, nullptr, 0, nullptr, 0, nullptr), 0x10Bu);
    uint8_t a[1] = {0}, b[1] = {0};
    uint32_t returned = 7;
    EXPECT_EQ(h->IoControl(fake::CodeDescribe, a, 0, b, 0, &returned), 0x100u)
        << "present empty buffers are not null";
    EXPECT_EQ(returned, 0u);
    // A null buffer with a length keeps the length: the driver judges it.
    EXPECT_EQ(h->IoControl(fake::CodeDescribe, nullptr, 82, b, 1, &returned), 0x101u);
    EXPECT_EQ(returned, (82u << 16) | 1u);
    EXPECT_EQ(h->IoControl(fake::CodeTransform, nullptr, 4, b, 1, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(DeviceHostTest, TheDriversLastErrorReachesTheCallingThread) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    uint8_t code[4];
    PutU32(code, 0, 0x12345678);
    EXPECT_EQ(h->IoControl(fake::CodeFail, code, 4, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 0x12345678u);
    EXPECT_EQ(h->IoControl(0xFFFF3FFC, nullptr, 0, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    SetLastError(999);
    EXPECT_TRUE(TransformWorks(*h, 4));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a succeeding call reports its own last error";
}

TEST_F(DeviceHostTest, BuffersUpToTheLimitTravelAndLargerOnesAreRefusedLocally) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    std::vector<uint8_t> in(devwire::MaxBuffer), out(devwire::MaxBuffer, 0);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<uint8_t>(i * 7);
    uint32_t returned = 0;
    ASSERT_EQ(h->IoControl(fake::CodeTransform, in.data(), devwire::MaxBuffer, out.data(),
                           devwire::MaxBuffer, &returned),
              1u);
    EXPECT_EQ(returned, devwire::MaxBuffer);
    EXPECT_EQ(out.back(), static_cast<uint8_t>(in.back() ^ 0x5A));

    std::vector<uint8_t> big(devwire::MaxBuffer + 1);
    EXPECT_EQ(h->IoControl(fake::CodeTransform, big.data(), devwire::MaxBuffer + 1, out.data(), 16,
                           &returned),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(TransformWorks(*h, 5)) << "the handle survives a refused call";
}

TEST_F(DeviceHostTest, ReadWriteAndSeekAreRouted) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    uint8_t buf[10];
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(h->Read(buf, 10), 10u);
    for (uint8_t i = 0; i < 10; ++i)
        EXPECT_EQ(buf[i], static_cast<uint8_t>(i * 3 + 1));
    const uint8_t data[3] = {10, 20, 30};
    EXPECT_EQ(h->Write(data, 3), 3u);
    EXPECT_EQ(Fake.Counter(fake::WriteSum), 60u);
    EXPECT_EQ(h->Seek(-5, 2), 0xFFFFFFF8u) << "distance is signed";
    EXPECT_EQ(h->Read(nullptr, 4), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// Hostile and vanishing programs

TEST_F(DeviceHostTest, BadRequestsCloseOnlyTheirOwnConnection) {
    ASSERT_TRUE(StartHost());
    auto good = Open();
    ASSERT_TRUE(good);

    auto header = [](uint8_t op, uint8_t flags, uint32_t inSize, uint32_t outSize) {
        std::vector<uint8_t> p(devwire::RequestHeaderSize, 0);
        p[0] = op;
        p[1] = flags;
        PutU32(p, 12, inSize);
        PutU32(p, 16, outSize);
        return p;
    };
    std::vector<std::pair<std::string, std::vector<uint8_t>>> bad;
    bad.push_back({"unknown operation", header(9, 0, 0, 0)});
    bad.push_back({"truncated header", std::vector<uint8_t>(10, 0)});
    auto shortPayload = header(1, devwire::FlagIn, 8, 0);
    shortPayload.resize(shortPayload.size() + 7);
    bad.push_back({"payload shorter than the sizes", shortPayload});
    auto longPayload = header(1, devwire::FlagOut, 0, 2);
    longPayload.resize(longPayload.size() + 3);
    bad.push_back({"payload longer than the sizes", longPayload});
    bad.push_back({"size above the limit", header(1, 0, devwire::MaxBuffer + 1, 0)});
    bad.push_back({"unknown flag", header(1, 0x80, 0, 0)});
    bad.push_back({"aliased without both buffers", header(1, devwire::FlagAliased, 0, 0)});
    bad.push_back({"seek with a buffer", header(4, devwire::FlagIn, 0, 0)});
    auto oversized =
        header(1, devwire::FlagIn | devwire::FlagOut, devwire::MaxBuffer, devwire::MaxBuffer);
    oversized.resize(devwire::MaxRequestSize + 100);
    bad.push_back({"packet larger than any request", oversized});

    for (const auto& [what, packet] : bad) {
        SCOPED_TRACE(what);
        auto raw = ConnectRaw(Root.SocketPath("FAK1"));
        ASSERT_EQ(raw.Hello, ERROR_SUCCESS);
        ASSERT_TRUE(devwire::SendPacket(raw.Fd.Get(), packet));
        EXPECT_TRUE(ClosedByHost(raw.Fd.Get()));
    }
    EXPECT_TRUE(TransformWorks(*good, 6));
    EXPECT_TRUE(WaitUntil([&] { return Fake.Counter(fake::Closes) == bad.size(); }, 10s))
        << "each closed connection closes its handle with the driver";
    EXPECT_TRUE(Open()) << "new handles still open";
    EXPECT_TRUE(Contains(Log.Lines(), "FAK1: malformed request, closing that handle"));
    EXPECT_TRUE(Contains(Log.Lines(), "FAK1: request too large, closing that handle"));
}

TEST_F(DeviceHostTest, ProgramVanishingMidCallLeavesTheHostServing) {
    ASSERT_TRUE(StartHost());
    for (int i = 0; i < 3; ++i) {
        auto raw = ConnectRaw(Root.SocketPath("FAK1"));
        ASSERT_EQ(raw.Hello, ERROR_SUCCESS);
        uint8_t ms[4];
        PutU32(ms, 0, 100);
        auto packet = devwire::EncodeRequest(devwire::Op::IoControl, fake::CodeSlow, 0, ms, 4,
                                             nullptr, 0, nullptr);
        ASSERT_TRUE(devwire::SendPacket(raw.Fd.Get(), packet));
    }  // closed while the driver is still in the call: the reply has nowhere to go
    EXPECT_TRUE(WaitUntil([&] { return Fake.Counter(fake::Closes) == 3; }, 10s));
    auto h = Open();
    ASSERT_TRUE(h);
    EXPECT_TRUE(TransformWorks(*h, 7));
}

TEST_F(DeviceHostTest, HandleOfAStoppedHostFailsAsDisconnected) {
    ASSERT_TRUE(StartHost());
    auto h = Open();
    ASSERT_TRUE(h);
    Host.Stop();
    uint8_t out[8] = {};
    for (int i = 0; i < 2; ++i) {
        SetLastError(0);
        EXPECT_EQ(h->IoControl(fake::CodeOutputSum, nullptr, 0, out, 8, nullptr), 0u);
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(h->Seek(0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Stopping

TEST_F(DeviceHostTest, StopClosesHandlesThenDeinitsOnceAndRemovesTheSocket) {
    ASSERT_TRUE(StartHost());
    auto a = Open();
    auto b = Open();
    auto c = Open();
    ASSERT_TRUE(a && b && c);

    // A call in progress finishes before the driver is stopped.
    std::thread slow([&] {
        uint8_t ms[4];
        PutU32(ms, 0, 300);
        a->IoControl(fake::CodeSlow, ms, 4, nullptr, 0, nullptr);
    });
    EXPECT_TRUE(WaitUntil([&] { return Fake.Counter(fake::Opens) == 3; }, 10s));
    std::this_thread::sleep_for(50ms);  // let the slow call reach the driver
    Host.Stop();
    slow.join();

    EXPECT_EQ(Fake.Counter(fake::Deinits), 1u);
    EXPECT_EQ(Fake.Counter(fake::Closes), 3u);
    EXPECT_EQ(Fake.Counter(fake::OpenNow), 0u);
    EXPECT_EQ(Fake.Counter(fake::BusyAtDeinit), 0u) << "Deinit ran under a control call";
    EXPECT_EQ(Fake.Counter(fake::BadContexts), 0u) << "Deinit gets the device context";
    EXPECT_FALSE(std::filesystem::exists(Root.SocketPath("FAK1")));
    EXPECT_FALSE(std::filesystem::exists(Root.SocketPath("FAK1.lock")));
    EXPECT_TRUE(Host.Devices().empty());
    EXPECT_TRUE(Contains(Log.Lines(), "orvex-devmgr: unloaded FAK1:\n"));

    Host.Stop();
    EXPECT_EQ(Fake.Counter(fake::Deinits), 1u) << "Stop is idempotent";
}

// ---------------------------------------------------------------------------
// The program

class DeviceManagerProgramTest : public ::testing::Test {
  protected:
    HostRoot Root;
    ChildProcess Program;
    std::string Err() const { return ReadWholeFile(Root.Root() + "/devmgr.err"); }
    bool Run(std::vector<std::string> args) {
        args.insert(args.begin(), BinaryPath("orvex-devmgr"));
        return Program.Start(args, Root.Root() + "/devmgr.out", Root.Root() + "/devmgr.err",
                             {"ORVEX_ROOT=" + Root.Root() + "/elsewhere"});
    }
};

TEST_F(DeviceManagerProgramTest, ServesUntilSigtermThenDeinitsRemovesItsSocketAndExitsZero) {
    Root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 1);
    ASSERT_TRUE(Run({"--root", Root.Root()}));
    const std::string socket = Root.SocketPath("FAK1");
    ASSERT_TRUE(WaitUntil([&] { return IsSocket(socket); }, 30s)) << Err();

    auto h = OpenDevice(u"FAK1:", Root.Root());
    ASSERT_TRUE(h);
    EXPECT_TRUE(TransformWorks(*h, 8)) << "across processes";
    uint8_t code[4];
    PutU32(code, 0, 4321);
    EXPECT_EQ(h->IoControl(fake::CodeFail, code, 4, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 4321u) << "the last error crosses the process boundary";

    Program.Signal(SIGTERM);
    EXPECT_EQ(Program.Wait(30s), 0) << Err();
    EXPECT_FALSE(std::filesystem::exists(socket));
    const std::string err = Err();
    EXPECT_NE(err.find("orvex-devmgr: loaded FAK1: from " + FakeDriverPath() + "\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("FAKEDRV: Deinit\r\n"), std::string::npos) << err;
}

TEST_F(DeviceManagerProgramTest, AStoppedHostCostsACallAtMostTwoSecondsAndTheHandle) {
    Root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 1);
    ASSERT_TRUE(Run({"--root", Root.Root()}));
    ASSERT_TRUE(WaitUntil([&] { return IsSocket(Root.SocketPath("FAK1")); }, 30s)) << Err();
    auto h = OpenDevice(u"FAK1:", Root.Root());
    ASSERT_TRUE(h);
    Program.Signal(SIGSTOP);
    const std::string stat = "/proc/" + std::to_string(Program.Pid()) + "/stat";
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string line = ReadWholeFile(stat);
            const size_t end = line.rfind(')');
            return end != std::string::npos && line.compare(end, 3, ") T") == 0;
        },
        10s));
    // Each call runs apart; one still waiting well past the bound has the
    // host resumed, so a call without a bound ends and fails the test.
    struct Outcome {
        uint32_t Result = 0, Error = 0;
        std::chrono::steady_clock::duration Took{};
    };
    auto timed = [this](std::function<uint32_t()> call) {
        auto f = std::async(std::launch::async, [call] {
            const auto start = std::chrono::steady_clock::now();
            Outcome o;
            o.Result = call();
            o.Error = GetLastError();
            o.Took = std::chrono::steady_clock::now() - start;
            return o;
        });
        if (f.wait_for(20s) != std::future_status::ready)
            Program.Signal(SIGCONT);
        return f.get();
    };
    uint8_t out[4] = {1, 2, 3, 4};
    auto call = [&] { return h->IoControl(fake::CodeOutputSum, nullptr, 0, out, 4, nullptr); };
    const Outcome first = timed(call);
    EXPECT_EQ(first.Result, 0u);
    EXPECT_EQ(first.Error, ERROR_TIMEOUT);
    EXPECT_GE(first.Took, 1900ms);
    EXPECT_LT(first.Took, 10s);
    // The connection is given up: no late reply can answer a later call.
    const Outcome second = timed(call);
    EXPECT_EQ(second.Result, 0u);
    EXPECT_EQ(second.Error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(second.Took, 1s);
    // Opening waits as long for the hello.
    const Outcome open = timed([&] { return OpenDevice(u"FAK1:", Root.Root()) ? 1u : 0u; });
    EXPECT_EQ(open.Result, 0u);
    EXPECT_EQ(open.Error, ERROR_TIMEOUT);
    EXPECT_LT(open.Took, 10s);

    Program.Signal(SIGCONT);
    auto again = OpenDevice(u"FAK1:", Root.Root());
    ASSERT_TRUE(again) << GetLastError();
    EXPECT_TRUE(TransformWorks(*again, 9));
    Program.Signal(SIGTERM);
    EXPECT_EQ(Program.Wait(30s), 0) << Err();
}

TEST_F(DeviceManagerProgramTest, SigintStopsItToo) {
    Root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 1);
    ASSERT_TRUE(Run({"--root=" + Root.Root()}));
    ASSERT_TRUE(WaitUntil([&] { return IsSocket(Root.SocketPath("FAK1")); }, 30s)) << Err();
    Program.Signal(SIGINT);
    EXPECT_EQ(Program.Wait(30s), 0) << Err();
    EXPECT_FALSE(std::filesystem::exists(Root.SocketPath("FAK1")));
}

TEST_F(DeviceManagerProgramTest, NoDriverLoadedIsAFailure) {
    ASSERT_TRUE(Run({"--root", Root.Root()}));
    const auto rc = Program.Wait(30s);
    ASSERT_TRUE(rc.has_value());
    EXPECT_NE(*rc, 0);
    EXPECT_NE(Err().find("orvex-devmgr: no driver loaded"), std::string::npos) << Err();
}

TEST_F(DeviceManagerProgramTest, HelpAndBadOptions) {
    ASSERT_TRUE(Run({"--help"}));
    EXPECT_EQ(Program.Wait(30s), 0);
    EXPECT_NE(ReadWholeFile(Root.Root() + "/devmgr.out").find("usage: orvex-devmgr"),
              std::string::npos);

    ChildProcess bad;
    ASSERT_TRUE(bad.Start({BinaryPath("orvex-devmgr"), "--root"}, "", Root.Root() + "/bad.err"));
    const auto rc = bad.Wait(30s);
    ASSERT_TRUE(rc.has_value());
    EXPECT_EQ(*rc, 2);
}

}  // namespace
