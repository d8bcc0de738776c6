// The X11 backend against a private Xvfb server: where the pointer lands,
// which buttons it holds, the client message a post sends, and that a lost
// server does not take the host with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/orvex.h"
#include "platform/input-x11-link.h"
#include "platform/input.h"
#include "platform/window-messages.h"
#include "support/process.h"
#include "support/temp_root.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with names in
// the headers above.
#include <X11/Xlib.h>

namespace orvex {
namespace {

using namespace std::chrono_literals;

constexpr int ScreenWidth = 1024, ScreenHeight = 768;

X11InputOptions On(const std::string& display) {
    X11InputOptions options;
    options.Display = display;
    return options;
}

class X11InputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string xvfb = "/usr/bin/Xvfb";
        if (::access(xvfb.c_str(), X_OK) != 0)
            GTEST_SKIP() << "Xvfb is not installed";
        // The server picks a free display and writes its number to stdout.
        const std::string out = Root.Path() + "/xvfb.out";
        ASSERT_TRUE(
            Server.Start({xvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                          std::to_string(ScreenWidth) + "x" + std::to_string(ScreenHeight) + "x24"},
                         out, Root.Path() + "/xvfb.err"));
        ASSERT_TRUE(test::WaitUntil(
            [&] { return test::ReadWholeFile(out).find('\n') != std::string::npos; }, 20s))
            << test::ReadWholeFile(Root.Path() + "/xvfb.err");
        Display = ":" + std::to_string(std::stoi(test::ReadWholeFile(out)));
        Viewer = XOpenDisplay(Display.c_str());
        ASSERT_NE(Viewer, nullptr);
        std::string error;
        In = CreateX11Input(Root.Path(), &error, On(Display));
        ASSERT_NE(In, nullptr) << error;
    }
    void TearDown() override {
        In.reset();
        if (Viewer)
            XCloseDisplay(Viewer);
    }

    struct PointerAt {
        int X, Y;
        unsigned Mask;
    };
    PointerAt Query() {
        Window root, child;
        int rx = -1, ry = -1, wx, wy;
        unsigned mask = 0;
        XQueryPointer(Viewer, DefaultRootWindow(Viewer), &root, &child, &rx, &ry, &wx, &wy, &mask);
        return {rx, ry, mask & (Button1Mask | Button2Mask | Button3Mask)};
    }

    // The backend's requests travel on its own connection: wait until the
    // server has carried them out before judging.
    PointerAt WaitFor(int x, int y, unsigned mask) {
        PointerAt p{};
        test::WaitUntil(
            [&] {
                p = Query();
                return p.X == x && p.Y == y && p.Mask == mask;
            },
            3s);
        return p;
    }

    test::TempRoot Root;
    test::ChildProcess Server;
    std::string Display;
    ::Display* Viewer = nullptr;
    std::unique_ptr<Input> In;
};

TEST_F(X11InputTest, ScalesTheAbsoluteRangeOntoTheScreen) {
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, 0, 0, 0, 0);
    auto p = WaitFor(0, 0, 0);
    EXPECT_EQ(p.X, 0);
    EXPECT_EQ(p.Y, 0);
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, 65535, 65535, 0, 0);
    p = WaitFor(ScreenWidth - 1, ScreenHeight - 1, 0);
    EXPECT_EQ(p.X, ScreenWidth - 1);
    EXPECT_EQ(p.Y, ScreenHeight - 1);
    // 0x8000 is just past the middle: 32768 * 1023 / 65535 = 512.01 and
    // 32768 * 767 / 65535 = 383.51, rounded.
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, 0x8000, 0x8000, 0, 0);
    p = WaitFor(512, 384, 0);
    EXPECT_EQ(p.X, 512);
    EXPECT_EQ(p.Y, 384);
}

TEST_F(X11InputTest, PressesAndReleasesTheButtonsTheFlagsName) {
    In->MouseEvent(0x8003, 16384, 16384, 0, 0);  // move + left down
    auto p = WaitFor(256, 192, Button1Mask);
    EXPECT_EQ(p.Mask, unsigned{Button1Mask});
    EXPECT_EQ(p.X, 256);
    // Left up and right down together, the switch to a requested right click.
    In->MouseEvent(0x800C, 16384, 16384, 0, 0);
    EXPECT_EQ(WaitFor(256, 192, Button3Mask).Mask, unsigned{Button3Mask});
    // A button event carries the position too.
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_RIGHTUP, 49152, 49152, 0, 0);
    p = WaitFor(767, 575, 0);
    EXPECT_EQ(p.Mask, 0u);
    EXPECT_EQ(p.X, 767);
    EXPECT_EQ(p.Y, 575);
}

TEST_F(X11InputTest, PostSendsAClientMessageAndReachesTheSocketToo) {
    Window w = XCreateSimpleWindow(Viewer, DefaultRootWindow(Viewer), 0, 0, 10, 10, 0, 0, 0);
    XSync(Viewer, False);
    const uint32_t handle = static_cast<uint32_t>(w);
    auto box = WindowMessageBox::Bind(Root.Path(), handle);
    ASSERT_NE(box, nullptr);

    In->PostMessage(handle, WM_COMMAND, RightClickDoneCommand, 0);

    XEvent ev{};
    bool got = test::WaitUntil(
        [&] {
            while (XPending(Viewer)) {
                XNextEvent(Viewer, &ev);
                if (ev.type == ClientMessage)
                    return true;
            }
            return false;
        },
        5s);
    ASSERT_TRUE(got);
    EXPECT_EQ(ev.xclient.window, w);
    EXPECT_EQ(ev.xclient.message_type, XInternAtom(Viewer, "ORVEX_WM_COMMAND", False));
    EXPECT_EQ(ev.xclient.format, 32);
    EXPECT_EQ(ev.xclient.data.l[0], 0x0111);
    EXPECT_EQ(ev.xclient.data.l[1], 0x7FFF);
    EXPECT_EQ(ev.xclient.data.l[2], 0);
    EXPECT_EQ(box->Receive(2000), (WindowMessage{handle, 0x0111, 0x7FFF, 0}));
}

// A handle that is no X window draws an error from the server; Xlib's own
// handler would end the process for it.
TEST_F(X11InputTest, PostToAHandleThatIsNoWindowIsHarmless) {
    In->PostMessage(0x00F00BA7, WM_COMMAND, RightClickDoneCommand, 0);
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, 65535, 0, 0, 0);
    EXPECT_EQ(WaitFor(ScreenWidth - 1, 0, 0).X, ScreenWidth - 1);
}

TEST_F(X11InputTest, ALostServerSilencesThePointerButNotThePosts) {
    // The test's own connection goes first: Xlib would end the test over it.
    XCloseDisplay(Viewer);
    Viewer = nullptr;
    Server.Signal(SIGKILL);
    ASSERT_TRUE(Server.Wait(10s).has_value());
    auto box = WindowMessageBox::Bind(Root.Path(), 0x77);
    ASSERT_NE(box, nullptr);
    // Each of these reaches the dead connection; none may end the process.
    In->MouseEvent(0x8003, 100, 100, 0, 0);
    In->MouseEvent(0x8004, 100, 100, 0, 0);
    In->PostMessage(0x77, WM_COMMAND, RightClickDoneCommand, 0);
    EXPECT_EQ(box->Receive(2000), (WindowMessage{0x77, 0x0111, 0x7FFF, 0}));
}

TEST(X11InputFactory, NoDisplayMeansNoBackend) {
    test::TempRoot root;
    std::string error;
    // Display numbers this high are never served here.
    EXPECT_EQ(CreateX11Input(root.Path(), &error, On(":4093")), nullptr);
    EXPECT_NE(error.find(":4093"), std::string::npos) << error;
}

// A display the backend was told of but that is not there yet (the kiosk's
// session not started), one that goes away and comes back, and one that
// admits only holders of its cookie.
class X11WaitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access("/usr/bin/Xvfb", X_OK) != 0)
            GTEST_SKIP() << "Xvfb is not installed";
        // A number no server here holds: its lock file is absent.
        for (Number = 3100 + ::getpid() % 700; Number < 3900; ++Number) {
            if (!std::filesystem::exists("/tmp/.X" + std::to_string(Number) + "-lock"))
                break;
        }
        Name = ":" + std::to_string(Number);
        Options = On(Name);
        Options.RetryInterval = 50ms;
        Options.Log = [this](const std::string& line) {
            std::lock_guard g(LogLock);
            Log.push_back(line);
        };
    }
    void TearDown() override { In.reset(); }

    void StartServer(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {"/usr/bin/Xvfb", Name, "-nolisten", "tcp",
                                         "-screen",       "0",  "640x480x24"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(Server.Start(argv, {}, Root.Path() + "/xvfb.err"));
        ASSERT_TRUE(test::WaitUntil(
            [&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(Number)); },
            20s))
            << test::ReadWholeFile(Root.Path() + "/xvfb.err");
    }
    void StopServer() {
        Server.Signal(SIGKILL);
        ASSERT_TRUE(Server.Wait(10s).has_value());
        // A killed server leaves its socket and lock behind.
        std::filesystem::remove("/tmp/.X11-unix/X" + std::to_string(Number));
        std::filesystem::remove("/tmp/.X" + std::to_string(Number) + "-lock");
    }

    size_t Count(const std::string& part) {
        std::lock_guard g(LogLock);
        return static_cast<size_t>(std::count_if(Log.begin(), Log.end(), [&](const auto& l) {
            return l.find(part) != std::string::npos;
        }));
    }

    // Moves to the screen's far corner and reports whether the pointer got there.
    bool PointerFollows() {
        ::Display* viewer = XOpenDisplay(Name.c_str());
        if (!viewer)
            return false;
        In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, 65535, 65535, 0, 0);
        const bool there = test::WaitUntil(
            [&] {
                Window root, child;
                int x = -1, y = -1, wx, wy;
                unsigned mask;
                XQueryPointer(viewer, DefaultRootWindow(viewer), &root, &child, &x, &y, &wx, &wy,
                              &mask);
                return x == 639 && y == 479;
            },
            3s);
        XCloseDisplay(viewer);
        return there;
    }

    test::TempRoot Root;
    test::ChildProcess Server;
    int Number = 0;
    std::string Name;
    X11InputOptions Options;
    std::mutex LogLock;
    std::vector<std::string> Log;
    std::unique_ptr<Input> In;
};

TEST_F(X11WaitTest, WaitsForALateDisplayAndFollowsItThroughARestart) {
    std::string error, placement;
    bool waiting = false;
    EXPECT_EQ(CreateX11Input(Root.Path(), &error, Options), nullptr);
    Options.WaitForDisplay = true;
    In = CreateX11Input(Root.Path(), &error, Options, &placement, &waiting);
    ASSERT_NE(In, nullptr) << error;
    EXPECT_TRUE(waiting);
    EXPECT_NE(placement.find("waiting for X display " + Name), std::string::npos) << placement;
    // Touches meanwhile go nowhere, and harmlessly.
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, 100, 100, 0, 0);

    StartServer();
    ASSERT_TRUE(test::WaitUntil([&] { return Count(Name + " answers") == 1; }, 10s));
    EXPECT_TRUE(PointerFollows());

    StopServer();
    ASSERT_TRUE(test::WaitUntil([&] { return Count("went away") == 1; }, 10s));
    StartServer();
    ASSERT_TRUE(test::WaitUntil([&] { return Count(Name + " is back") == 1; }, 10s));
    EXPECT_TRUE(PointerFollows());
    // Each event is said once, not once per look.
    EXPECT_EQ(Count("went away"), 1u);
    EXPECT_EQ(Count(" answers"), 1u);
}

// An authority file of one MIT-MAGIC-COOKIE-1 record for the display.
void WriteAuthority(const std::string& path, int number, const std::string& cookie) {
    auto field = [](const std::string& s) {
        return std::string{static_cast<char>(s.size() >> 8), static_cast<char>(s.size() & 0xFF)} +
               s;
    };
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string record = std::string{'\x01', '\x00'} + field(host) +
                               field(std::to_string(number)) + field("MIT-MAGIC-COOKIE-1") +
                               field(cookie);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(record.data(), 1, record.size(), f);
    std::fclose(f);
}

TEST_F(X11WaitTest, OffersTheCookieOfTheAuthorityFileNamed) {
    const std::string server = Root.Path() + "/server.auth", wrong = Root.Path() + "/wrong.auth";
    WriteAuthority(server, Number, "0123456789abcdef");
    WriteAuthority(wrong, Number, "fedcba9876543210");
    StartServer({"-auth", server});
    std::string error;
    Options.Authority = wrong;
    EXPECT_EQ(CreateX11Input(Root.Path(), &error, Options), nullptr);
    EXPECT_NE(error.find("refused this process"), std::string::npos) << error;
    Options.Authority = server;
    In = CreateX11Input(Root.Path(), &error, Options);
    ASSERT_NE(In, nullptr) << error;
    EXPECT_TRUE(PointerFollows());
}

// Anyone may make a socket in /tmp/.X11-unix while no server holds the
// number: a server run by some other user never sees the cookie.
TEST_F(X11WaitTest, KeepsTheCookieFromAServerOfAnotherUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the stranger's server as another user";
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(Number);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t stranger = ::fork();
    ASSERT_GE(stranger, 0);
    if (stranger == 0) {
        // Listens as nobody on the abstract name, which is tried first, and
        // reports how many bytes the first connection brought.
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, path.c_str(), path.size());
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 1) != 0)
            ::_exit(3);
        char ready = 'r';
        (void)!::write(report[1], &ready, 1);
        const int c = ::accept(fd, nullptr, nullptr);
        char buf[256];
        ssize_t total = 0, n;
        while ((n = ::read(c, buf, sizeof buf)) > 0)
            total += n;
        (void)!::write(report[1], &total, sizeof total);
        ::_exit(0);
    }
    ::close(report[1]);
    char ready = 0;
    ASSERT_EQ(::read(report[0], &ready, 1), 1);

    const X11Cookie cookie{"MIT-MAGIC-COOKIE-1", "0123456789abcdef", 0};
    std::string why;
    EXPECT_EQ(ProbeX11Display(Number, cookie, 2s, &why), X11Probe::Refused);
    EXPECT_NE(why.find("is served by uid 65534"), std::string::npos) << why;
    ssize_t received = -1;
    EXPECT_EQ(::read(report[0], &received, sizeof received), ssize_t(sizeof received));
    EXPECT_EQ(received, 0) << "the stranger was sent the connection set-up";
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(stranger, &status, 0), stranger);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(X11InputNames, OnlyLocalDisplaysAndRegularAuthorityFiles) {
    for (const char* good : {":0", ":12.1", "unix:3"})
        EXPECT_EQ(X11DisplayProblem(good), "") << good;
    for (const char* bad : {"", "0", "host:0", ":0x", ":1.", ":99999", ":0;rm -rf /"})
        EXPECT_NE(X11DisplayProblem(bad), "") << bad;
    EXPECT_NE(X11DisplayProblem(":" + std::string(80, '1')), "");
    test::TempRoot root;
    EXPECT_NE(X11AuthorityProblem("relative/file"), "");
    EXPECT_NE(X11AuthorityProblem(root.Path()), "");  // a folder
    std::filesystem::create_symlink("/etc/hostname", root.Path() + "/link");
    EXPECT_NE(X11AuthorityProblem(root.Path() + "/link"), "");
    ASSERT_EQ(::mkfifo((root.Path() + "/fifo").c_str(), 0600), 0);
    EXPECT_NE(X11AuthorityProblem(root.Path() + "/fifo"), "");  // would never end
}

}  // namespace
}  // namespace orvex
