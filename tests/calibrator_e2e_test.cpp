// orvexcal as a real X client on Xvfb: a simulated panel touches the four
// targets and then SAVE through the new calibration; the device manager moves
// the X pointer with the driver's X11 backend. Afterwards the driver's key
// holds the calibration and the post-save command has run (or, for root,
// was refused with one line).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/orvex.h"
#include "platform/instance-lock.h"
#include "support/calibration_touches.h"
#include "support/system.h"
#include "support/temp_root.h"

// Last: Xlib's macros (None, Status, ...) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace orvex;
using namespace orvex::test;
using namespace std::chrono_literals;

namespace {

// True when a mapped top-level window of class ORVEXCAL, titled ORVEXCAL, is
// on the display.
bool CalibratorWindowShown(Display* d) {
    Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, root, &root, &parent, &children, &n))
        return false;
    bool found = false;
    for (unsigned int i = 0; i < n && !found; ++i) {
        XClassHint hint{};
        if (XGetClassHint(d, children[i], &hint)) {
            XWindowAttributes a{};
            char* title = nullptr;
            found = std::string(hint.res_class ? hint.res_class : "") == "ORVEXCAL" &&
                    XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable &&
                    XFetchName(d, children[i], &title) && title && std::string(title) == "ORVEXCAL";
            if (title)
                XFree(title);
            if (hint.res_name)
                XFree(hint.res_name);
            if (hint.res_class)
                XFree(hint.res_class);
        }
    }
    if (children)
        XFree(children);
    return found;
}

// The pixel at (x, y) of the screen, 0 for black.
unsigned long ScreenPixel(Display* d, int x, int y) {
    XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return ~0ul;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return pixel;
}

TEST(CalibratorEndToEnd, FourTargetsAndSaveOnXvfb) {
    const std::string xvfb = "/usr/bin/Xvfb";
    if (::access(xvfb.c_str(), X_OK) != 0)
        GTEST_SKIP() << "Xvfb is not installed";
    SystemUnderTest sut;
    // The server picks a display no other server holds and writes its number
    // to stdout; our own server must be the one that answers.
    ChildProcess server;
    const std::string out = sut.Root() + "/xvfb.out";
    ASSERT_TRUE(
        server.Start({xvfb, "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"},
                     out, sut.Root() + "/xvfb.err"));
    std::string display;
    Display* d = nullptr;
    if (WaitUntil([&] { return ReadWholeFile(out).find('\n') != std::string::npos; }, 20s)) {
        display = ":" + std::to_string(std::stoi(ReadWholeFile(out)));
        d = XOpenDisplay(display.c_str());
    }
    if (!d)
        GTEST_SKIP() << "Xvfb could not start: " << ReadWholeFile(sut.Root() + "/xvfb.err");

    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    sut.Configure();
    sut.SetString(u"Platform\\Input", u"Backend", "x11");
    sut.SetString(DriverKeyPath, u"OemRunWhenCalOK", "\\Windows\\after.sh \"saved it\"");
    std::filesystem::create_directories(sut.Root() + "/Windows");
    {
        std::ofstream f(sut.Root() + "/Windows/after.sh");
        f << "#!/bin/sh\necho \"$@\" > \"" << sut.Root() << "/after.tmp\"\nmv \"" << sut.Root()
          << "/after.tmp\" \"" << sut.Root() << "/after\"\n";
    }
    ::chmod((sut.Root() + "/Windows/after.sh").c_str(), 0755);

    const std::string script = sut.Root() + "/touches.txt";
    std::ofstream(script) << "wait 200\n" << CalibrationTouches640x480;
    ASSERT_TRUE(sut.StartScriptedPanel(script)) << sut.HostErr();

    ChildProcess cal;
    ASSERT_TRUE(cal.Start(
        {BinaryPath("orvexcal")}, sut.Root() + "/cal.out", sut.Root() + "/cal.err",
        {"ORVEX_ROOT=" + sut.Root(),
         "LSAN_OPTIONS=suppressions=" + SourcePath("tests/data/lsan-system-libraries.supp")}));
    ASSERT_TRUE(WaitUntil([&] { return CalibratorWindowShown(d); }, 30s))
        << ReadWholeFile(sut.Root() + "/cal.err");
    // The first target's cross is on the white screen (not the root
    // window's pattern showing through): its touch wait is running.
    const unsigned long white = WhitePixel(d, DefaultScreen(d));
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ScreenPixel(d, 16, 16) == 0 && ScreenPixel(d, 20, 20) == white &&
                   ScreenPixel(d, 21, 20) == white && ScreenPixel(d, 100, 100) == white;
        },
        30s))
        << ReadWholeFile(sut.Root() + "/cal.err");
    // A second calibrator while this one runs: it says so and ends, and
    // this one goes on untouched.
    {
        ChildProcess second;
        const std::string err = sut.Root() + "/second.err";
        ASSERT_TRUE(second.Start(
            {BinaryPath("orvexcal")}, "", err,
            {"ORVEX_ROOT=" + sut.Root(),
             "LSAN_OPTIONS=suppressions=" + SourcePath("tests/data/lsan-system-libraries.supp")}));
        EXPECT_EQ(second.Wait(30s), 1) << ReadWholeFile(err);
        EXPECT_EQ(ReadWholeFile(err), "orvexcal: a calibration is already running (" + sut.Root() +
                                          "/windows/orvexcal.lock is held)\n");
    }
    sut.Simulator.Signal(SIGUSR1);

    const auto status = cal.Wait(60s);
    ASSERT_TRUE(status) << "orvexcal did not end\n"
                        << ReadWholeFile(sut.Root() + "/cal.err") << sut.HostErr();
    EXPECT_EQ(*status, 0) << ReadWholeFile(sut.Root() + "/cal.err");
    EXPECT_EQ(sut.GetDword(DriverKeyPath, u"CalibrationX1"), std::optional<uint32_t>(17))
        << sut.SimOut() << sut.HostErr() << ReadWholeFile(sut.Root() + "/cal.err");
    EXPECT_EQ(sut.GetDword(DriverKeyPath, u"CalibrationX2"), std::optional<uint32_t>(511));
    EXPECT_EQ(sut.GetDword(DriverKeyPath, u"CalibrationX3"), std::optional<uint32_t>(1005));
    EXPECT_EQ(sut.GetDword(DriverKeyPath, u"CalibrationY1"), std::optional<uint32_t>(19));
    EXPECT_EQ(sut.GetDword(DriverKeyPath, u"CalibrationY2"), std::optional<uint32_t>(511));
    EXPECT_EQ(sut.GetDword(DriverKeyPath, u"CalibrationY3"), std::optional<uint32_t>(1003));
    EXPECT_EQ(sut.GetDword(DriverKeyPath, u"PanelDirection"), std::optional<uint32_t>(0));
    // The post-save command runs, except for root, who says why not: every
    // member of the group may set it.
    if (::geteuid() == 0) {
        EXPECT_NE(ReadWholeFile(sut.Root() + "/cal.err")
                      .find("orvexcal: running as root, so the post-save command in "
                            "OemRunWhenCalOK is not started\n"),
                  std::string::npos)
            << ReadWholeFile(sut.Root() + "/cal.err");
        EXPECT_FALSE(std::filesystem::exists(sut.Root() + "/after"));
    } else {
        EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(sut.Root() + "/after"); }, 20s));
        EXPECT_EQ(ReadWholeFile(sut.Root() + "/after"), "saved it\n");
    }

    // The lock went with the process; its file blocks no later run.
    EXPECT_EQ(InstanceLock::Take(sut.Root(), "orvexcal.lock").Result(),
              InstanceLock::Outcome::Taken);

    // The device manager goes before the display its pointer backend uses.
    sut.Host.Signal(SIGTERM);
    sut.Host.Wait(15s);
    XCloseDisplay(d);
    server.Signal(SIGTERM);
    server.Wait(10s);
}

TEST(CalibratorEndToEnd, WithoutADisplayBothProgramsSayWhatToSetAndEndWithOne) {
    TempRoot root;
    int number = 4711;  // a display no server holds
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)))
        ++number;
    const std::string display = ":" + std::to_string(number);
    ::setenv("DISPLAY", display.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("XDG_SESSION_TYPE");
    ::unsetenv("QT_QPA_PLATFORM");
    for (const std::string program : {"orvexcal", "orvexcpl"}) {
        ChildProcess p;
        const std::string err = root.File(program + ".err");
        ASSERT_TRUE(p.Start(
            {BinaryPath(program)}, "", err,
            {"ORVEX_ROOT=" + root.Path(),
             "LSAN_OPTIONS=suppressions=" + SourcePath("tests/data/lsan-system-libraries.supp")}));
        EXPECT_EQ(p.Wait(60s), 1) << ReadWholeFile(err);
        EXPECT_EQ(ReadWholeFile(err), program + ": cannot connect to the X display \"" + display +
                                          "\"; set DISPLAY to the X display of a running desktop "
                                          "session (such as :0)\n");
    }
}

}  // namespace
