// The right-button launcher: polling the readiness of three services, the
// single launch, arming while pending, teardown with the driver, and the
// spawn launcher really starting a program under a platform root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/driver_fixture.h"

using namespace orvex;
using orvex::test::TestDriver;
namespace fs = std::filesystem;

namespace {

const std::vector<uint32_t> OnePoll = {85, 80, 81};

TEST(RightButtonLauncher, LaunchesOnceAfterOneSecondWhenReady) {
    TestDriver t;
    ArmRightButtonLauncher(t.D);
    EXPECT_EQ(t.Timers.PendingTimers(), 1u);
    t.Timers.Advance(999);
    EXPECT_TRUE(t.Programs.Calls().empty());
    EXPECT_TRUE(t.Timers.ReadinessQueries().empty());
    t.Timers.Advance(1);
    EXPECT_EQ(t.Timers.ReadinessQueries(), OnePoll);
    auto calls = t.Programs.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].File, u"\\Windows\\orvexrbt.exe");
    EXPECT_EQ(calls[0].Parameters, u"");
    EXPECT_EQ(calls[0].Show, 1);
    EXPECT_EQ(t.Timers.PendingTimers(), 0u);
    t.Timers.Advance(10000);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
}

TEST(RightButtonLauncher, PollsEverySecondUntilAllThreeAreReady) {
    TestDriver t;
    t.Timers.SetServiceReady(81, false);
    ArmRightButtonLauncher(t.D);
    t.Timers.Advance(1000);
    EXPECT_EQ(t.Timers.ReadinessQueries(), OnePoll);
    EXPECT_TRUE(t.Programs.Calls().empty());
    EXPECT_EQ(t.Timers.NextDueMicroseconds(), std::optional<uint64_t>(2000000));

    t.Timers.Advance(3000);
    EXPECT_EQ(t.Timers.ReadinessQueries().size(), 4 * OnePoll.size());
    EXPECT_TRUE(t.Programs.Calls().empty());

    // Whichever one is missing, all three are still asked, in order.
    t.Timers.SetServiceReady(81, true);
    t.Timers.SetServiceReady(85, false);
    t.Timers.ClearReadinessQueries();
    t.Timers.Advance(1000);
    EXPECT_EQ(t.Timers.ReadinessQueries(), OnePoll);
    EXPECT_TRUE(t.Programs.Calls().empty());

    t.Timers.SetServiceReady(85, true);
    t.Timers.Advance(1000);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
    t.Timers.Advance(5000);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
}

TEST(RightButtonLauncher, ArmingWhilePendingChangesNothing) {
    TestDriver t;
    ArmRightButtonLauncher(t.D);
    t.Timers.Advance(600);
    ArmRightButtonLauncher(t.D);  // would push the expiry to 1600 if it restarted
    EXPECT_EQ(t.Timers.PendingTimers(), 1u);
    EXPECT_EQ(t.Timers.NextDueMicroseconds(), std::optional<uint64_t>(1000000));
    t.Timers.Advance(400);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
    t.Timers.Advance(5000);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
}

TEST(RightButtonLauncher, ArmingAgainAfterItIsDoneStartsAgain) {
    TestDriver t;
    t.Programs.Result = false;  // a failed start is not retried either
    ArmRightButtonLauncher(t.D);
    t.Timers.Advance(1000);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
    t.Timers.Advance(5000);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
    ArmRightButtonLauncher(t.D);
    t.Timers.Advance(1000);
    EXPECT_EQ(t.Programs.Calls().size(), 2u);
}

TEST(RightButtonLauncher, DriverTeardownCancelsThePendingTimer) {
    ManualTimerService timers;
    RecordingLauncher programs;
    Platform p;
    p.Timers = &timers;
    p.Programs = &programs;
    timers.SetServiceReady(80, false);
    {
        Driver d(p);
        ArmRightButtonLauncher(d);
        timers.Advance(1000);  // one poll, re-armed
        EXPECT_EQ(timers.PendingTimers(), 1u);
    }
    EXPECT_EQ(timers.PendingTimers(), 0u);
    timers.ClearReadinessQueries();
    timers.SetServiceReady(80, true);
    timers.Advance(10000);
    EXPECT_TRUE(timers.ReadinessQueries().empty());
    EXPECT_TRUE(programs.Calls().empty());
}

TEST(RightButtonLauncher, StopAllowsArmingAfresh) {
    TestDriver t;
    ArmRightButtonLauncher(t.D);
    StopRightButtonLauncher(t.D);
    t.Timers.Advance(2000);
    EXPECT_TRUE(t.Programs.Calls().empty());
    ArmRightButtonLauncher(t.D);
    t.Timers.Advance(1000);
    EXPECT_EQ(t.Programs.Calls().size(), 1u);
}

// A launcher that holds the timer callback inside ShellExecute until told.
class GateLauncher final : public Launcher {
  public:
    bool ShellExecute(std::u16string_view, std::u16string_view, int) override {
        std::unique_lock g(Lock);
        Entered = true;
        Cv.notify_all();
        Cv.wait(g, [&] { return Open; });
        Finished = true;
        return true;
    }
    std::mutex Lock;
    std::condition_variable Cv;
    bool Entered = false, Open = false, Finished = false;
};

TEST(RightButtonLauncher, TeardownWaitsForARunningCallback) {
    ManualTimerService timers;
    GateLauncher gate;
    Platform p;
    p.Timers = &timers;
    p.Programs = &gate;
    auto d = std::make_unique<Driver>(p);
    ArmRightButtonLauncher(*d);
    std::thread fire([&] { timers.Advance(1000); });
    {
        std::unique_lock g(gate.Lock);
        ASSERT_TRUE(gate.Cv.wait_for(g, std::chrono::seconds(30), [&] { return gate.Entered; }));
    }
    std::atomic<bool> destroyed{false};
    std::thread teardown([&] {
        d.reset();
        destroyed = true;
    });
    // The teardown must still be waiting while the callback runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(destroyed.load());
    {
        std::lock_guard g(gate.Lock);
        gate.Open = true;
    }
    gate.Cv.notify_all();
    teardown.join();
    fire.join();
    EXPECT_TRUE(destroyed.load());
    std::lock_guard g(gate.Lock);
    EXPECT_TRUE(gate.Finished);
}

TEST(RightButtonLauncher, RealTimerServiceDrivesTheLauncher) {
    auto timers = CreateRealTimerService();
    RecordingLauncher programs;
    Platform p;
    p.Timers = timers.get();
    p.Programs = &programs;
    Driver d(p);
    ArmRightButtonLauncher(d);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (programs.Calls().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(programs.Calls().size(), 1u);
    EXPECT_EQ(programs.Calls()[0].File, RightButtonHelperPath);
}

// ---- the spawn launcher on a temporary root

class SpawnLauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orvex-spawn-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        Root = tmpl;
        fs::create_directories(Root / "Windows");
    }
    void TearDown() override { fs::remove_all(Root); }

    // A program that writes its arguments, one per line, to a marker file.
    void WriteProgram(const fs::path& at) {
        std::ofstream f(at);
        f << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \""
          << (Root / "marker.tmp").string() << "\"\nmv \"" << (Root / "marker.tmp").string()
          << "\" \"" << (Root / "marker").string() << "\"\n";
        f.close();
        ::chmod(at.c_str(), 0755);
    }

    std::optional<std::string> WaitForMarker() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (fs::exists(Root / "marker")) {
                std::ifstream f(Root / "marker");
                std::stringstream ss;
                ss << f.rdbuf();
                return ss.str();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

    // Children of this process that have ended but were not reaped.
    static int Zombies() {
        int n = 0;
        const std::string self = std::to_string(getpid());
        for (const auto& e : fs::directory_iterator("/proc")) {
            std::ifstream f(e.path() / "stat");
            std::string line;
            if (!std::getline(f, line))
                continue;
            auto close = line.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(line.substr(close + 2));
            std::string state, ppid;
            rest >> state >> ppid;
            if (ppid == self && state == "Z")
                ++n;
        }
        return n;
    }

    fs::path Root;
};

TEST_F(SpawnLauncherTest, StartsARootedProgramWithSplitParameters) {
    WriteProgram(Root / "Windows" / "orvexrbt.exe");
    auto launcher = CreateSpawnLauncher(Root.string());
    ASSERT_TRUE(launcher->ShellExecute(u"\\Windows\\orvexrbt.exe", u"  one two\tthree ", 1));
    auto marker = WaitForMarker();
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(*marker, "one\ntwo\nthree\n");

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Zombies() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Zombies(), 0);
}

TEST_F(SpawnLauncherTest, DoubleQuotesGroupBlanksIntoOneArgument) {
    WriteProgram(Root / "p.sh");
    auto launcher = CreateSpawnLauncher("/nonexistent");
    // An absolute path runs as it is, outside the root.
    ASSERT_TRUE(launcher->ShellExecute(Utf8ToUtf16((Root / "p.sh").string()),
                                       u"\"two words\" x\"y z\"w \"\" \"open end", 1));
    auto marker = WaitForMarker();
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(*marker, "two words\nxy zw\n\nopen end\n");
}

TEST_F(SpawnLauncherTest, EmptyParametersGiveNoArguments) {
    WriteProgram(Root / "Windows" / "orvexrbt.exe");
    auto launcher = CreateSpawnLauncher(Root.string() + "/");
    ASSERT_TRUE(launcher->ShellExecute(u"\\Windows\\orvexrbt.exe", u"", 1));
    auto marker = WaitForMarker();
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(*marker, "");
}

TEST_F(SpawnLauncherTest, ParametersAreNeverInterpretedByAShell) {
    WriteProgram(Root / "Windows" / "p.exe");
    auto launcher = CreateSpawnLauncher(Root.string());
    const std::string evil = (Root / "pwned").string();
    std::u16string params = u";touch " + std::u16string(evil.begin(), evil.end());
    ASSERT_TRUE(launcher->ShellExecute(u"\\Windows\\p.exe", params, 1));
    auto marker = WaitForMarker();
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(*marker, ";touch\n" + evil + "\n");
    EXPECT_FALSE(fs::exists(evil));
}

// The calibrator's post-save command: the environment taken when the
// program started, whatever it set for itself since, and a bare name looked
// up in that environment's PATH.
TEST_F(SpawnLauncherTest, AGivenEnvironmentAndABareNameFoundInItsPath) {
    fs::create_directories(Root / "first");
    fs::create_directories(Root / "bin");
    // Not executable: passed over, as a shell passes over it.
    std::ofstream(Root / "first" / "orvex-probe") << "#!/bin/sh\nexit 1\n";
    {
        std::ofstream f(Root / "bin" / "orvex-probe");
        f << "#!/bin/sh\necho \"$ORVEX_PROBE ${QT_ENABLE_HIGHDPI_SCALING-unset}\" > \""
          << (Root / "marker.tmp").string() << "\"\n/bin/mv \"" << (Root / "marker.tmp").string()
          << "\" \"" << (Root / "marker").string() << "\"\n";
    }
    ::chmod((Root / "bin" / "orvex-probe").c_str(), 0755);

    ::unsetenv("QT_ENABLE_HIGHDPI_SCALING");
    ::setenv("ORVEX_PROBE", "as-started", 1);
    std::vector<std::string> started = CurrentEnvironment();
    std::erase_if(started, [](const std::string& e) { return e.starts_with("PATH="); });
    started.push_back("PATH=" + (Root / "first").string() + ":" + (Root / "bin").string());
    auto launcher = CreateSpawnLauncher(Root.string(), nullptr, started, true);
    // What the program then does to its own environment is its own.
    ::setenv("ORVEX_PROBE", "changed", 1);
    ::setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
    const bool started_ok = launcher->ShellExecute(u"orvex-probe", u"", 1);
    ::unsetenv("ORVEX_PROBE");
    ::unsetenv("QT_ENABLE_HIGHDPI_SCALING");
    ASSERT_TRUE(started_ok);
    const auto marker = WaitForMarker();
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(*marker, "as-started unset\n");

    // A name that no folder of that PATH holds starts nothing.
    SetLastError(0);
    EXPECT_FALSE(launcher->ShellExecute(u"orvex-no-such-probe", u"", 1));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SpawnLauncherTest, FailuresAreReported) {
    CaptureDebugOutput log;
    auto launcher = CreateSpawnLauncher(Root.string(), &log);
    SetLastError(0);
    EXPECT_FALSE(launcher->ShellExecute(u"\\Windows\\missing.exe", u"", 1));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // One line says which program could not be started, and why.
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_NE(log.Lines()[0].find("cannot start " + (Root / "Windows" / "missing.exe").string() +
                                  ": No such file or directory"),
              std::string::npos)
        << log.Lines()[0];

    // A rooted path may not climb out of the root.
    fs::create_directories(Root / "outside");
    WriteProgram(Root / "outside" / "x.exe");
    auto inner = CreateSpawnLauncher((Root / "Windows").string());
    EXPECT_FALSE(inner->ShellExecute(u"\\..\\outside\\x.exe", u"", 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(inner->ShellExecute(u"", u"", 1));
    EXPECT_FALSE(fs::exists(Root / "marker"));
}

// Root starts no helper that somebody else could have put in place: the
// helper and the folders above it must be root's and nobody else's to write.
TEST_F(SpawnLauncherTest, RootStartsNoHelperOthersCouldHavePlanted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the folder is given to uid 65534";
    const fs::path folder = Root / "Windows";
    const fs::path helper = folder / "orvexrbt.exe";
    WriteProgram(helper);
    CaptureDebugOutput log;
    auto launcher = CreateSpawnLauncher(Root.string(), &log);

    // A folder another user owns, then one a group other than root's may
    // write (as the platform's group may write a shared root).
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(launcher->ShellExecute(RightButtonHelperPath, u"", 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_EQ(::chown(folder.c_str(), 0, 65534), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 02770), 0);
    EXPECT_FALSE(launcher->ShellExecute(RightButtonHelperPath, u"", 1));
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(log.Lines()[1], std::string(program_invocation_short_name) + ": not starting " +
                                  helper.string() +
                                  " as root: users other than root can change the folder " +
                                  folder.string() + "\n");

    // Root's own helper in root's own folder still starts.
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    EXPECT_TRUE(launcher->ShellExecute(RightButtonHelperPath, u"", 1));
    EXPECT_TRUE(WaitForMarker().has_value());
}

}  // namespace
