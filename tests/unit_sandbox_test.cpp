// The host as the installed unit runs it (tests/unit-sandbox: private /tmp
// and network, read-only system, no capability but one), told by the
// registry alone which X display to reach, with which authority file, and
// which monitor the panel is on.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/orvex.h"
#include "support/process.h"
#include "support/system.h"
#include "support/temp_root.h"
#include "support/xorg_display.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with names in
// the headers above.
#include <X11/Xlib.h>

namespace orvex {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Runs a program to its end; its exit status, or -1.
int RunToEnd(const std::vector<std::string>& argv, const std::string& log,
             const std::vector<std::string>& env = {}) {
    test::ChildProcess p;
    if (!p.Start(argv, log, log, env))
        return -1;
    return p.Wait(30s).value_or(-1);
}

// A file in the outside /tmp, which the sandbox must hide.
struct OutsideMarker {
    std::string Path = "/tmp/orvex-outside-XXXXXX";
    OutsideMarker() { ::close(::mkstemp(Path.data())); }
    ~OutsideMarker() { ::unlink(Path.c_str()); }
};

// Xvfb with one 1440x600 screen carrying the monitors LEFT 640x480+0+0 and
// RIGHT 800x600+640+0, accepting only clients with the cookie of its
// authority file. The number is chosen here, as the file names it before
// the server starts: the first one no other server holds.
class AuthorizedXvfb {
  public:
    explicit AuthorizedXvfb(const std::string& dir) : Dir_(dir), Auth_(dir + "/Xauthority") {}
    ~AuthorizedXvfb() {
        if (Viewer)
            XCloseDisplay(Viewer);
        // SIGTERM, so that the server removes its lock file and socket.
        Server_.Signal(SIGTERM);
        (void)Server_.Wait(10s);
    }

    void Start() {
        std::random_device random;
        char cookie[33];
        for (int i = 0; i < 16; ++i)
            std::snprintf(cookie + 2 * i, 3, "%02x", random() & 0xFF);
        for (int n = 5100; n < 5200 && !Viewer; ++n) {
            const std::string number = std::to_string(n);
            if (fs::exists("/tmp/.X" + number + "-lock") || fs::exists("/tmp/.X11-unix/X" + number))
                continue;
            Name = ":" + number;
            fs::remove(Auth_);
            ASSERT_EQ(RunToEnd({"/usr/bin/xauth", "-f", Auth_, "add", Name, ".", cookie},
                               Dir_ + "/xauth.log"),
                      0)
                << test::ReadWholeFile(Dir_ + "/xauth.log");
            ASSERT_TRUE(Server_.Start({"/usr/bin/Xvfb", Name, "-auth", Auth_, "-nolisten", "tcp",
                                       "-screen", "0", "1440x600x24"},
                                      "", Dir_ + "/xvfb.err"));
            // The test's own connection needs the cookie too. A server that
            // ends lost the number to another one started meanwhile: the next.
            ::setenv("XAUTHORITY", Auth_.c_str(), 1);
            test::WaitUntil(
                [&] { return !Server_.Running() || (Viewer = XOpenDisplay(Name.c_str())); }, 20s);
        }
        ASSERT_NE(Viewer, nullptr) << test::ReadWholeFile(Dir_ + "/xvfb.err");
        ASSERT_EQ(
            RunToEnd({"/usr/bin/xrandr", "-d", Name, "--setmonitor", "LEFT", "640/169x480/127+0+0",
                      "none", "--setmonitor", "RIGHT", "800/212x600/159+640+0", "none"},
                     Dir_ + "/xrandr.log", {"XAUTHORITY=" + Auth_}),
            0)
            << test::ReadWholeFile(Dir_ + "/xrandr.log");
    }

    const std::string& AuthorityFile() const { return Auth_; }

    // Where the server has the pointer, in screen pixels.
    std::pair<int, int> Pointer() { return test::PointerOnScreen(Viewer); }

    std::string Name;
    ::Display* Viewer = nullptr;

  private:
    std::string Dir_, Auth_;
    test::ChildProcess Server_;
};

TEST(UnitSandbox, HostReachesTheRegistrysDisplayAndCoversTheNamedMonitor) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the unit's sandbox needs root";
    if (RunToEnd({"/usr/bin/unshare", "--mount", "--propagation", "private", "--net", "/bin/true"},
                 "") != 0)
        GTEST_SKIP() << "this machine cannot make mount and network namespaces";

    test::SystemUnderTest sut;
    AuthorizedXvfb x(sut.Root());
    ASSERT_NO_FATAL_FAILURE(x.Start());
    OutsideMarker marker;

    // The driver and a calibration that puts raw 12 + 1000 * px / (size - 1)
    // on pixel px of an 800x600 monitor.
    sut.Configure();
    const std::pair<const char16_t*, uint32_t> calibration[] = {
        {u"CalibrationX1", 12}, {u"CalibrationX2", 512}, {u"CalibrationX3", 1013},
        {u"CalibrationY1", 13}, {u"CalibrationY2", 513}, {u"CalibrationY3", 1013},
        {u"PanelDirection", 0}};
    for (auto [name, value] : calibration)
        sut.SetDword(DriverKeyPath, name, value);
    sut.CloseRegistry();
    // The display, as a kiosk's installer sets it.
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"Backend", "x11"},
                                      {"Display", x.Name},
                                      {"XAuthority", x.AuthorityFile()},
                                      {"Monitor", "RIGHT"}}) {
        ASSERT_EQ(RunToEnd({test::BinaryPath("orvexreg"), "set",
                            "HKEY_LOCAL_MACHINE\\Platform\\Input", name, "sz", value},
                           sut.Root() + "/orvexreg.log", {"ORVEX_ROOT=" + sut.Root()}),
                  0)
            << test::ReadWholeFile(sut.Root() + "/orvexreg.log");
    }

    // Two touches, again and again: each stays put long enough to be seen,
    // however late the host reaches the display.
    auto raw = [](int px, int size) { return 12 + (px * 1000 + (size - 1) / 2) / (size - 1); };
    const std::pair<int, int> made[] = {{200, 150}, {600, 450}};
    std::ofstream script(sut.Root() + "/touches.txt");
    for (auto [px, py] : made)
        script << "touch " << raw(px, 800) << " " << raw(py, 600) << "\nwait 600\nlift\nwait 200\n";
    script << "repeat\n";
    script.close();
    ASSERT_TRUE(sut.StartSimulator({"--protocol", "ts", "--rate", "9600", "--wait-detect",
                                    "--script", sut.Root() + "/touches.txt"}));
    // The build tree stands for the installed files (it may lie below
    // /home, which the unit hides).
    ASSERT_TRUE(sut.Host.Start(
        {test::SourcePath("tests/unit-sandbox"), test::SourcePath("config/orvex-devmgr.service.in"),
         sut.Root(), "--also-ro", fs::path(test::BinaryPath("")).parent_path().parent_path(), "--",
         test::BinaryPath("orvex-devmgr"), "--root", sut.Root()},
        sut.Root() + "/devmgr.out", sut.Root() + "/devmgr.err"));
    ASSERT_TRUE(sut.WaitForDevice(30s)) << sut.HostErr();

    // The host writes its state but sees nothing else of the outside /tmp.
    const std::string seen = "/proc/" + std::to_string(sut.Host.Pid()) + "/root";
    EXPECT_TRUE(fs::exists(seen + sut.Root() + "/dev/ORX1") && !fs::exists(seen + marker.Path))
        << "the host is not in the unit's sandbox";

    for (const auto& touch : made) {
        // Named copies: clang refuses structured bindings in a lambda's capture.
        const int px = touch.first, py = touch.second;
        std::pair<int, int> at{-1, -1};
        EXPECT_TRUE(test::WaitUntil(
            [&] {
                at = x.Pointer();
                return std::abs(at.first - (640 + px)) <= 1 && std::abs(at.second - py) <= 1;
            },
            30s))
            << "touch at " << 640 + px << "," << py << " landed at " << at.first << "," << at.second
            << "\n"
            << sut.HostErr();
    }
    sut.Host.Signal(SIGTERM);
    EXPECT_EQ(sut.Host.Wait(15s), std::optional<int>(0)) << sut.HostErr();
}

}  // namespace
}  // namespace orvex
