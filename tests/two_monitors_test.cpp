// One X screen, two monitors (Xorg's dummy driver): the pointer covers the
// monitor the panel is on and follows it as it goes and comes back; the
// programs find the same monitor, and a calibration made there fits it.
#include <gtest/gtest.h>
#include <QScreen>

#include <cstdlib>
#include <fstream>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "common/orvex.h"
#include "platform/gui/app.h"
#include "platform/gui/monitor.h"
#include "platform/input.h"
#include "support/process.h"
#include "support/system.h"
#include "support/temp_root.h"
#include "support/xorg_display.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with names in
// the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

// Qt on X talks to the session bus through libdbus, which keeps a buffer
// for the life of the process; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n";
}

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::TwoMonitorXorg;

// One server for the whole program, stopped when the program ends.
std::unique_ptr<TwoMonitorXorg> Server;
std::string ServerProblem;
std::unique_ptr<QApplication> App;

class TwoMonitors : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (Server || !ServerProblem.empty())
            return;
        auto s = std::make_unique<TwoMonitorXorg>();
        if (s->Start(&ServerProblem))
            Server = std::move(s);
    }
    static void TearDownTestSuite() {
        // Qt first: its connection to the server must not outlive it.
        App.reset();
        Server.reset();
    }

    // Qt on the two-monitor display, once per program.
    static void StartQt() {
        if (App)
            return;
        ::setenv("DISPLAY", Server->Name().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "two_monitors_test";
        static char* argv[] = {name, nullptr};
        App = CreateGuiApplication(argc, argv, "two_monitors_test");
    }

    void SetUp() override {
        if (!Server)
            GTEST_SKIP() << "no two-monitor display: " << ServerProblem;
        // Each test starts from the layout the fixture made.
        ASSERT_TRUE(Server->SetMonitor("LEFT", TwoMonitorXorg::Left));
        ASSERT_TRUE(Server->SetMonitor("RIGHT", TwoMonitorXorg::Right));
        Viewer = XOpenDisplay(Server->Name().c_str());
        ASSERT_NE(Viewer, nullptr);
    }
    void TearDown() override {
        In.reset();
        if (Viewer)
            XCloseDisplay(Viewer);
    }

    void Open(const std::string& monitor) {
        std::string error;
        X11InputOptions options;
        options.Display = Server->Name();
        options.Monitor = monitor;
        options.Log = [this](const std::string& line) {
            std::lock_guard g(LogLock);
            Log.push_back(line);
        };
        In = CreateX11Input(Root.Path(), &error, options, &Placement);
        ASSERT_NE(In, nullptr) << error;
    }

    bool Logged(const std::string& line) {
        return test::WaitUntil(
            [&] {
                std::lock_guard g(LogLock);
                return std::find(Log.begin(), Log.end(), line) != Log.end();
            },
            5s);
    }

    // Where the server has the pointer, in screen pixels.
    std::pair<int, int> Pointer() { return test::PointerOnScreen(Viewer); }

    // Moves there and waits until the server has put the pointer somewhere
    // else than where it was; returns where.
    std::pair<int, int> MoveTo(uint32_t x, uint32_t y, std::pair<int, int> expected) {
        In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, x, y, 0, 0);
        std::pair<int, int> at{-1, -1};
        test::WaitUntil([&] { return (at = Pointer()) == expected; }, 3s);
        return at;
    }

    test::TempRoot Root;
    ::Display* Viewer = nullptr;
    std::unique_ptr<Input> In;
    std::string Placement;
    std::mutex LogLock;
    std::vector<std::string> Log;
};

TEST_F(TwoMonitors, PointerCoversTheNamedMonitorOnly) {
    Open("RIGHT");
    EXPECT_EQ(Placement, "monitor RIGHT 800x600+640+0");
    EXPECT_EQ(MoveTo(0, 0, {640, 0}), (std::pair{640, 0}));
    EXPECT_EQ(MoveTo(0xFFFF, 0xFFFF, {1439, 599}), (std::pair{1439, 599}));
    EXPECT_EQ(MoveTo(0x8000, 0x8000, {1040, 300}), (std::pair{1040, 300}));
    // Without a name, the primary monitor: here the one output's, showing
    // the whole framebuffer. With a name no monitor has: the whole screen.
    In.reset();
    Open("");
    EXPECT_EQ(Placement, "primary monitor DUMMY0 1440x600+0+0");
    EXPECT_EQ(MoveTo(0x8000, 0x8000, {720, 300}), (std::pair{720, 300}));
    In.reset();
    Open("HDMI-9");
    EXPECT_EQ(Placement, "monitor HDMI-9 absent, whole screen 1440x600+0+0");
}

TEST_F(TwoMonitors, FollowsTheMonitorAwayAndBack) {
    Open("RIGHT");
    ASSERT_TRUE(Server->DeleteMonitor("RIGHT"));
    ASSERT_TRUE(
        Logged("input monitor RIGHT is absent; the pointer covers the whole screen 1440x600+0+0"));
    EXPECT_EQ(MoveTo(0x8000, 0x8000, {720, 300}), (std::pair{720, 300}));
    // Back somewhere else than before.
    ASSERT_TRUE(Server->SetMonitor("RIGHT", {640, 100, 800, 500}));
    ASSERT_TRUE(Logged("input monitor RIGHT is back at 800x500+640+100"));
    EXPECT_EQ(MoveTo(0, 0, {640, 100}), (std::pair{640, 100}));
    ASSERT_TRUE(Server->SetMonitor("RIGHT", TwoMonitorXorg::Right));
    ASSERT_TRUE(Logged("input monitor RIGHT is now at 800x600+640+0"));
    EXPECT_EQ(MoveTo(0xFFFF, 0xFFFF, {1439, 599}), (std::pair{1439, 599}));
    std::lock_guard g(LogLock);
    EXPECT_EQ(Log.size(), 3u);
}

TEST_F(TwoMonitors, ProgramsFindTheSameMonitor) {
    StartQt();
    PanelMonitor right = FindPanelMonitor("RIGHT");
    EXPECT_EQ(right.Rect, QRect(640, 0, 800, 600));
    EXPECT_NE(right.Screen, nullptr);
    // A monitor Qt has not (yet) heard of is found through RandR.
    ASSERT_TRUE(Server->SetMonitor("SIDE", {800, 200, 400, 300}));
    PanelMonitor side = FindPanelMonitor("SIDE");
    EXPECT_EQ(side.From, PanelMonitor::Source::RandrMonitor);
    EXPECT_EQ(side.Rect, QRect(800, 200, 400, 300));
    ASSERT_TRUE(Server->DeleteMonitor("SIDE"));
    // No name: the primary monitor, the one output showing the whole
    // framebuffer here.
    PanelMonitor primary = FindPanelMonitor("");
    EXPECT_EQ(primary.From, PanelMonitor::Source::FirstMonitor);
    EXPECT_EQ(primary.Rect, QRect(0, 0, 1440, 600));
    // Named but absent: the whole screen, as the pointer then covers it.
    PanelMonitor absent = FindPanelMonitor("HDMI-9");
    EXPECT_EQ(absent.From, PanelMonitor::Source::WholeScreen);
    EXPECT_EQ(absent.Rect, QRect(0, 0, 1440, 600));
}

// With no monitor named, the pointer and the programs take the same one of
// several: the primary. Qt keeps the output's screen as its primary; the
// calibration must still be made where the pointer goes.
TEST_F(TwoMonitors, NoNameCoversThePrimaryMonitor) {
    // As xrandr --setmonitor '*RIGHT' 800/212x600/159+640+0 none.
    ASSERT_TRUE(Server->SetMonitor("RIGHT", TwoMonitorXorg::Right, true));
    Open("");
    EXPECT_EQ(Placement, "primary monitor RIGHT 800x600+640+0");
    EXPECT_EQ(MoveTo(0, 0, {640, 0}), (std::pair{640, 0}));
    EXPECT_EQ(MoveTo(0xFFFF, 0xFFFF, {1439, 599}), (std::pair{1439, 599}));
    StartQt();
    const PanelMonitor m = FindPanelMonitor("");
    EXPECT_EQ(m.From, PanelMonitor::Source::FirstMonitor);
    EXPECT_EQ(m.Rect, QRect(640, 0, 800, 600));
    ASSERT_NE(m.Screen, nullptr);
    EXPECT_EQ(m.Screen->name(), QStringLiteral("RIGHT"));
    // RIGHT no longer primary: the pointer follows the primary back.
    ASSERT_TRUE(Server->SetMonitor("RIGHT", TwoMonitorXorg::Right));
    ASSERT_TRUE(Logged("the pointer now covers the primary monitor DUMMY0 1440x600+0+0"));
    EXPECT_EQ(MoveTo(0, 0, {0, 0}), (std::pair{0, 0}));
}

// The mapped top-level window of class ORVEXCAL, or 0.
Window CalibratorWindow(::Display* d) {
    Window root = DefaultRootWindow(d), parent = 0, *children = nullptr, found = 0;
    unsigned n = 0;
    if (!XQueryTree(d, root, &root, &parent, &children, &n))
        return 0;
    for (unsigned i = 0; i < n && !found; ++i) {
        XClassHint hint{};
        XWindowAttributes a{};
        if (XGetClassHint(d, children[i], &hint)) {
            if (hint.res_class && std::string(hint.res_class) == "ORVEXCAL" &&
                XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable)
                found = children[i];
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
    }
    if (children)
        XFree(children);
    return found;
}

// A calibration on the right-hand monitor, the whole way: simulated panel,
// device host with the X11 pointer, orvexcal, SAVE; then touches land on the
// pixels of that monitor they were made on.
TEST_F(TwoMonitors, CalibrationOnTheRightHandMonitorEndToEnd) {
    test::SystemUnderTest sut;
    sut.Configure();
    sut.SetString(u"Platform\\Input", u"Backend", "x11");
    sut.SetString(u"Platform\\Input", u"Monitor", "RIGHT");
    ::setenv("DISPLAY", Server->Name().c_str(), 1);
    // The panel lies over the right-hand monitor and a little beyond it: raw
    // 12 + 1000 * pixel / (size - 1) on both axes.
    auto raw = [](int px, int size) { return 12 + (px * 1000 + (size - 1) / 2) / (size - 1); };
    auto touch = [&](int px, int py) {
        return "touch " + std::to_string(raw(px, 800)) + " " + std::to_string(raw(py, 600)) +
               "\nwait 700\nlift\nwait 700\n";
    };
    // The four targets of 800 x 600, SAVE (the middle of the button at
    // 275..352, 405..440), then two touches to judge the calibration by.
    const std::string script = sut.Root() + "/touches.txt";
    std::ofstream(script) << touch(16, 16) << touch(784, 16) << touch(784, 584) << touch(16, 584)
                          << "wait 800\n"
                          << touch(313, 422) << "wait 1000\n"
                          << touch(200, 150) << touch(600, 450);
    ASSERT_TRUE(sut.StartScriptedPanel(script)) << sut.HostErr();
    EXPECT_NE(sut.HostErr().find("orvex: input backend x11 (monitor RIGHT 800x600+640+0)"),
              std::string::npos)
        << sut.HostErr();

    test::ChildProcess cal;
    ASSERT_TRUE(cal.Start({test::BinaryPath("orvexcal")}, sut.Root() + "/cal.out",
                          sut.Root() + "/cal.err",
                          {"ORVEX_ROOT=" + sut.Root(), "QT_QPA_PLATFORM=xcb",
                           "LSAN_OPTIONS=suppressions=" +
                               test::SourcePath("tests/data/lsan-system-libraries.supp")}));
    // The window covers the right-hand monitor and nothing else.
    Window w = 0;
    XWindowAttributes a{};
    int x = -1, y = -1;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            Window child;
            return (w = CalibratorWindow(Viewer)) && XGetWindowAttributes(Viewer, w, &a) &&
                   XTranslateCoordinates(Viewer, w, DefaultRootWindow(Viewer), 0, 0, &x, &y,
                                         &child) &&
                   x == 640 && y == 0 && a.width == 800 && a.height == 600;
        },
        30s))
        << x << "," << y << " " << a.width << "x" << a.height << "\n"
        << test::ReadWholeFile(sut.Root() + "/cal.err");
    // The first target's cross is drawn: its touch wait is running.
    auto pixel = [&](int px, int py) {
        XImage* image = XGetImage(Viewer, w, px, py, 1, 1, AllPlanes, ZPixmap);
        unsigned long v = image ? XGetPixel(image, 0, 0) : ~0ul;
        if (image)
            XDestroyImage(image);
        return v;
    };
    ASSERT_TRUE(test::WaitUntil([&] { return pixel(16, 16) == 0 && pixel(100, 100) != 0; }, 30s));
    sut.Simulator.Signal(SIGUSR1);

    const auto status = cal.Wait(60s);
    ASSERT_TRUE(status) << test::ReadWholeFile(sut.Root() + "/cal.err") << sut.HostErr();
    EXPECT_EQ(*status, 0);
    // Samples 32, 993 and 39, 987 over target spans of 768 and 568 pixels.
    const std::pair<const char16_t*, uint32_t> saved[] = {
        {u"CalibrationX1", 12}, {u"CalibrationX2", 512}, {u"CalibrationX3", 1013},
        {u"CalibrationY1", 13}, {u"CalibrationY2", 513}, {u"CalibrationY3", 1013},
        {u"PanelDirection", 0}};
    for (auto [name, value] : saved)
        EXPECT_EQ(sut.GetDword(DriverKeyPath, name), std::optional<uint32_t>(value))
            << test::ReadWholeFile(sut.Root() + "/cal.err") << sut.SimOut();
    // Later touches land within a pixel of where they were made.
    for (const auto& made : {std::pair{200, 150}, std::pair{600, 450}}) {
        const int px = made.first, py = made.second;
        std::pair<int, int> at{-1, -1};
        EXPECT_TRUE(test::WaitUntil(
            [&] {
                at = Pointer();
                return std::abs(at.first - (640 + px)) <= 1 && std::abs(at.second - py) <= 1;
            },
            20s))
            << "touch at " << 640 + px << "," << py << " landed at " << at.first << ","
            << at.second;
    }

    // What the installer sees: all well, then the registry bent the two ways
    // a kiosk set-up goes wrong.
    auto doctor = [&] {
        test::ChildProcess p;
        const std::string out = sut.Root() + "/doctor.out";
        EXPECT_TRUE(p.Start({test::BinaryPath("orvexctl"), "--root", sut.Root(), "doctor"}, out,
                            out + ".err"));
        const auto status = p.Wait(30s);
        return std::pair{status.value_or(-1), test::ReadWholeFile(out)};
    };
    auto [healthy, said] = doctor();
    EXPECT_EQ(healthy, 0) << said;
    EXPECT_NE(said.find("covers:      monitor RIGHT 800x600+640+0\n"), std::string::npos) << said;
    EXPECT_NE(said.find(", TouchScreen found on COM1: 9600BPS, [TS]"), std::string::npos) << said;
    EXPECT_NE(said.find("calibration: saved, X 12 512 1013, Y 13 513 1013; the driver uses it\n"),
              std::string::npos)
        << said;
    sut.SetString(u"Platform\\Input", u"Display", ":4093");
    auto [noDisplay, saidNoDisplay] = doctor();
    EXPECT_EQ(noDisplay, 1);
    EXPECT_NE(saidNoDisplay.find("problem: X display :4093 does not answer"), std::string::npos)
        << saidNoDisplay;
    sut.SetString(u"Platform\\Input", u"Display", Server->Name());
    sut.SetString(u"Platform\\Input", u"Monitor", "HDMI-9");
    auto [wrongMonitor, saidWrongMonitor] = doctor();
    EXPECT_EQ(wrongMonitor, 1);
    EXPECT_NE(saidWrongMonitor.find("problem: monitor \"HDMI-9\" is not among the monitors of " +
                                    Server->Name() +
                                    " (DUMMY0, LEFT, RIGHT); fix: sudo orvexreg "
                                    "set 'HKEY_LOCAL_MACHINE\\Platform\\Input' Monitor sz DUMMY0"),
              std::string::npos)
        << saidWrongMonitor;
    sut.Host.Signal(SIGTERM);
    sut.Host.Wait(15s);
}

}  // namespace
}  // namespace orvex
