// The orvexsim program on a real pseudo-terminal, driven the way our serial
// platform drives a port: raw mode at a rate, RTS and DTR as the termios
// flags CMSPAR and ECHOCTL. These tests wait on a real OS object, so they use
// real time with generous limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_root.h"
#include "tools/orvexsim/controller.h"

extern char** environ;

namespace orvex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int GenerousMs = 5000;

std::string SimBinary() {
    const char* dir = std::getenv("ORVEX_BINARY_DIR");
    return std::string(dir ? dir : "build") + "/bin/orvexsim";
}

// The simulator as a child process; its standard output is read line by
// line. Killed if a test leaves it running.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        args.insert(args.begin(), SimBinary());
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&Pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            Pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        Out_ = fds[0];
    }
    ~SimProcess() {
        if (Pid_ > 0) {
            ::kill(Pid_, SIGKILL);
            ::waitpid(Pid_, nullptr, 0);
        }
        if (Out_ >= 0)
            ::close(Out_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Running() const { return Pid_ > 0; }

    // The next line of output, or nothing when none came in time.
    std::optional<std::string> ReadLine(int timeoutMs = GenerousMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (auto nl = Buffer_.find('\n'); nl != std::string::npos) {
                std::string line = Buffer_.substr(0, nl);
                Buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd pf{Out_, POLLIN, 0};
            if (::poll(&pf, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::read(Out_, buf, sizeof buf);
            if (n <= 0)
                return std::nullopt;
            Buffer_.append(buf, static_cast<size_t>(n));
        }
    }

    // Sends a signal and returns the exit status (-1: did not exit normally).
    int Stop(int signal = SIGTERM) {
        if (Pid_ <= 0)
            return -1;
        ::kill(Pid_, signal);
        return Wait();
    }
    int Wait() {
        int status = 0;
        if (::waitpid(Pid_, &status, 0) != Pid_)
            return -1;
        Pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Everything still to come on standard output, after the process ended.
    std::string Rest() {
        char buf[512];
        ssize_t n;
        while ((n = ::read(Out_, buf, sizeof buf)) > 0)
            Buffer_.append(buf, static_cast<size_t>(n));
        return std::exchange(Buffer_, {});
    }

  private:
    pid_t Pid_ = -1;
    int Out_ = -1;
    std::string Buffer_;
};

// The host's side of the port, set up the way our serial platform does it.
class HostPort {
  public:
    explicit HostPort(const std::string& path)
        : Fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~HostPort() {
        if (Fd_ >= 0)
            ::close(Fd_);
    }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool Open() const { return Fd_ >= 0; }
    int Fd() const { return Fd_; }

    bool Set(speed_t speed, bool rts, bool dtr) {
        termios t{};
        if (::tcgetattr(Fd_, &t) != 0)
            return false;
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag = rts ? (t.c_cflag | CMSPAR) : (t.c_cflag & ~CMSPAR);
        t.c_lflag = dtr ? (t.c_lflag | ECHOCTL) : (t.c_lflag & ~ECHOCTL);
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        return ::tcsetattr(Fd_, TCSANOW, &t) == 0;
    }
    // What detection does at one rate: RTS off with DTR on, a pause long
    // enough for the controller to see it, RTS on.
    bool Reset(speed_t speed) {
        if (!Set(speed, false, true))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return Set(speed, true, true);
    }
    bool Write(const Bytes& b) {
        return ::write(Fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }
    // Reads until count bytes are there or the time is up.
    Bytes Read(size_t count, int timeoutMs = GenerousMs) {
        Bytes got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd pf{Fd_, POLLIN, 0};
            if (::poll(&pf, 1, static_cast<int>(left.count())) <= 0)
                continue;
            uint8_t buf[256];
            const ssize_t n = ::read(Fd_, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    // Whatever arrives within the time (for checking silence).
    Bytes Listen(int ms) { return Read(1 << 16, ms); }

  private:
    int Fd_;
};

std::string LinkTarget(const std::string& link) {
    std::error_code ec;
    return fs::read_symlink(link, ec).string();
}

Bytes ToBytes(std::span<const uint8_t> s) {
    return Bytes(s.begin(), s.end());
}

const Bytes FirstProbe = {0x55, 0x51, 0x06, 0, 0, 0, 0, 0, 0, 0x56};

class OrvexSim : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(SimBinary()))
            GTEST_SKIP() << SimBinary() << " is not built";
        ASSERT_FALSE(Dir.Path().empty());
        Link = Dir.Path() + "/ttyTOUCH";
    }
    // Starts the simulator and returns the slave path it printed first.
    std::string Start(std::vector<std::string> args) {
        args.insert(args.end(), {"--link", Link});
        Sim.emplace(std::move(args));
        EXPECT_TRUE(Sim->Running());
        auto path = Sim->ReadLine();
        EXPECT_TRUE(path.has_value());
        return path.value_or("");
    }
    // A clean stop: exit code 0 and the link gone.
    void StopCleanly() {
        EXPECT_EQ(Sim->Stop(SIGTERM), 0);
        EXPECT_FALSE(fs::is_symlink(Link));
    }

    test::TempRoot Dir;
    std::string Link;
    std::optional<SimProcess> Sim;
};

TEST_F(OrvexSim, TsAnnouncesItsSignatureOnlyAtItsRate) {
    const std::string path = Start({"--rate", "19200", "--model", "AB"});
    ASSERT_TRUE(path.starts_with("/dev/pts/")) << path;
    EXPECT_EQ(LinkTarget(Link), path);
    const auto status = Sim->ReadLine();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->starts_with("orvexsim: ")) << *status;

    HostPort host(Link);
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Reset(B38400));
    EXPECT_TRUE(host.Listen(300).empty()) << "heard at 38400";
    ASSERT_TRUE(host.Reset(B19200));
    EXPECT_EQ(host.Read(4), (Bytes{'[', 'A', 'B', ']'}));
    // RTS staying on is no new rise.
    EXPECT_TRUE(host.Listen(200).empty());
    StopCleanly();
}

TEST_F(OrvexSim, ElAcknowledgesTheProbeCommand) {
    Start({"--protocol", "el", "--rate", "4800", "--quiet"});
    HostPort host(Link);
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Reset(B9600));
    ASSERT_TRUE(host.Write(FirstProbe));
    EXPECT_TRUE(host.Listen(300).empty()) << "answered at the wrong rate";

    ASSERT_TRUE(host.Reset(B4800));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(host.Write(FirstProbe));
    const Bytes ack = host.Read(10);
    ASSERT_EQ(ack.size(), 10u);
    EXPECT_EQ(ack[0], 0x55);
    EXPECT_EQ(ack[1], 0x41);
    EXPECT_EQ(ack[9], SimChecksum(ack));

    Bytes bad = FirstProbe;
    bad[9] = 0x57;
    ASSERT_TRUE(host.Write(bad));
    EXPECT_TRUE(host.Listen(300).empty()) << "acknowledged a bad checksum";
    StopCleanly();
}

TEST_F(OrvexSim, TimedLineTakesTheWireTimeBothWays) {
    Start({"--protocol", "el", "--rate", "1200", "--timed", "--quiet"});
    HostPort host(Link);
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Reset(B1200));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // At 1200 BPS a character takes 8.3 ms: the answer cannot begin before
    // the 10-byte command has crossed, and its own 10 bytes take 83 ms more.
    // Only lower bounds, from the moment before the write: a busy machine
    // makes everything later, never earlier.
    const auto written = Clock::now();
    ASSERT_TRUE(host.Write(FirstProbe));
    const Bytes first = host.Read(1);
    const auto firstAt = Clock::now();
    const Bytes rest = host.Read(9);
    const auto lastAt = Clock::now();
    ASSERT_EQ(first.size() + rest.size(), 10u);
    EXPECT_EQ(first[0], 0x55);
    EXPECT_EQ(rest[0], 0x41);
    using std::chrono::milliseconds;
    EXPECT_GE(firstAt - written, milliseconds(85)) << "answered before the command crossed";
    EXPECT_GE(lastAt - written, milliseconds(160)) << "the answer's bytes were not paced";
    StopCleanly();
}

TEST_F(OrvexSim, ScriptPlaysOnlyOnceTheHostHasDetectedIt) {
    const std::string script = Dir.Path() + "/tap.txt";
    std::ofstream(script) << "# one tap\ntouch 100 200\nwait 20\nlift 300 400\n";
    Start({"--script", script, "--wait-detect", "--quiet"});
    HostPort host(Link);
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Set(B9600, false, true));
    EXPECT_TRUE(host.Listen(600).empty()) << "played before detection";

    ASSERT_TRUE(host.Set(B9600, true, true));
    EXPECT_EQ(host.Read(4), (Bytes{'[', 'T', 'S', ']'}));
    Bytes expected = ToBytes(EncodeReportTS(100, 200, true));
    const Bytes lift = ToBytes(EncodeReportTS(300, 400, false));
    expected.insert(expected.end(), lift.begin(), lift.end());
    EXPECT_EQ(host.Read(10), expected);
    StopCleanly();
}

TEST_F(OrvexSim, ElScriptReportsWithTheFlippedAxis) {
    const std::string script = Dir.Path() + "/el.txt";
    std::ofstream(script) << "touch 10 20\n";
    Start({"--protocol", "el", "--rate", "1200", "--script", script, "--wait-detect", "--quiet"});
    HostPort host(Link);
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Reset(B1200));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(host.Write(FirstProbe));
    ASSERT_EQ(host.Read(10).size(), 10u);
    const Bytes report = host.Read(10);
    EXPECT_EQ(report, ToBytes(EncodePacketEL(10, 20, true)));
    // The wire carries 1023 - y.
    ASSERT_EQ(report.size(), 10u);
    EXPECT_EQ((report[5] | (report[6] << 8)) >> 2, 1003);
    StopCleanly();
}

TEST_F(OrvexSim, ReopenMovesTheLinkToANewTerminal) {
    const std::string first = Start({"--reopen-after", "800", "--quiet"});
    {
        HostPort host(Link);
        ASSERT_TRUE(host.Open());
        ASSERT_TRUE(host.Reset(B9600));
        EXPECT_EQ(host.Read(4), (Bytes{'[', 'T', 'S', ']'}));

        const auto second = Sim->ReadLine();
        ASSERT_TRUE(second.has_value());
        EXPECT_NE(*second, first);
        EXPECT_EQ(LinkTarget(Link), *second);
        // The old terminal went away under the host.
        pollfd pf{host.Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&pf, 1, GenerousMs), 1);
        EXPECT_TRUE(pf.revents & (POLLHUP | POLLERR)) << pf.revents;
    }
    HostPort again(Link);
    ASSERT_TRUE(again.Open());
    ASSERT_TRUE(again.Reset(B9600));
    EXPECT_EQ(again.Read(4), (Bytes{'[', 'T', 'S', ']'}));
    // Only one reopen unless asked for more.
    EXPECT_FALSE(Sim->ReadLine(1500).has_value());
    StopCleanly();
}

TEST_F(OrvexSim, InterruptStopsItCleanly) {
    Start({});
    EXPECT_TRUE(fs::is_symlink(Link));
    EXPECT_EQ(Sim->Stop(SIGINT), 0);
    EXPECT_FALSE(fs::is_symlink(Link));
}

TEST_F(OrvexSim, RefusesBadOptionsAndScripts) {
    const std::string script = Dir.Path() + "/bad.txt";
    std::ofstream(script) << "touch 1 2\ntouch 2000 2\n";
    const std::vector<std::vector<std::string>> cases = {
        {"--rate", "1234"},
        {"--protocol", "xy"},
        {"--model", "ABC"},
        {"--rate"},
        {"--bogus"},
        {"--script", script},
        {"--script", Dir.Path() + "/missing.txt"},
        {"--demo", "--script", script},
    };
    for (const auto& args : cases) {
        SimProcess p(args);
        ASSERT_TRUE(p.Running());
        EXPECT_EQ(p.Wait(), 2) << args[0];
        EXPECT_EQ(p.Rest(), "") << args[0] << ": no terminal path for a refused start";
    }
}

}  // namespace
}  // namespace orvex
