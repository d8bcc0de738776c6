// orvexcal as a Wayland client of a headless compositor with two outputs:
// it covers the output the registry names, a simulated panel touches the four
// targets, and SAVE is chosen through the device manager's virtual pointer
// on that output. Only the compositor runs as a user of its own (it refuses
// root); the device manager and orvexcal run as the test does, orvexcal
// reaching the compositor by its socket's path.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>
#include <fstream>

#include "common/orvex.h"
#include "support/calibration_touches.h"
#include "support/headless_sway.h"
#include "support/system.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::HeadlessSway;
using test::ReadWholeFile;

// True when, below the output named `output` in the compositor's tree, a
// window of app_id "orvexcal" is full screen over all of the output.
bool FullScreenOn(const QJsonObject& node, const QString& output, bool below = false) {
    below = below || (node[QStringLiteral("type")].toString() == QStringLiteral("output") &&
                      node[QStringLiteral("name")].toString() == output);
    const QJsonObject rect = node[QStringLiteral("rect")].toObject();
    if (below && node[QStringLiteral("app_id")].toString() == QStringLiteral("orvexcal") &&
        node[QStringLiteral("fullscreen_mode")].toInt() == 1 &&
        rect[QStringLiteral("x")].toInt() == 800 && rect[QStringLiteral("y")].toInt() == 0 &&
        rect[QStringLiteral("width")].toInt() == 640 &&
        rect[QStringLiteral("height")].toInt() == 480)
        return true;
    for (const char* children : {"nodes", "floating_nodes"}) {
        for (const auto child : node[QLatin1String(children)].toArray()) {
            if (FullScreenOn(child.toObject(), output, below))
                return true;
        }
    }
    return false;
}

TEST(CalibratorOnWayland, FourTargetsAndSaveOnTheSecondOutput) {
    if (!HeadlessSway::Installed())
        GTEST_SKIP() << "sway is not installed";
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the compositor and its clients run as uid "
                     << HeadlessSway::Uid;
    HeadlessSway sway;
    std::string why;
    ASSERT_TRUE(sway.Start(&why)) << why;
    ASSERT_TRUE(sway.AddOutput("HEADLESS-2", 640, 480, 800, &why)) << why;

    test::SystemUnderTest sut;
    sut.Configure();
    sut.SetString(u"Platform\\Input", u"Backend", "wayland");
    sut.SetString(u"Platform\\Input", u"WaylandDisplay", sway.Socket());
    sut.SetString(u"Platform\\Input", u"Monitor", "HEADLESS-2");
    // A runtime folder of orvexcal's own: Qt wants one its user owns.
    const std::string runtime = sut.Root() + "/runtime";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    const std::vector<std::string> env = {
        "ORVEX_ROOT=" + sut.Root(), "QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=" + sway.Socket(),
        "XDG_RUNTIME_DIR=" + runtime,
        "LSAN_OPTIONS=suppressions=" + test::SourcePath("tests/data/lsan-system-libraries.supp")};

    // The same panel and touches as on a 640 x 480 X screen.
    const std::string script = sut.Root() + "/touches.txt";
    std::ofstream(script) << "wait 500\n" << test::CalibrationTouches640x480;
    ASSERT_TRUE(sut.StartScriptedPanel(script))
        << ReadWholeFile(sut.Root() + "/sim.err") << sut.HostErr();
    EXPECT_NE(sut.HostErr().find("input backend wayland (output HEADLESS-2 640x480"),
              std::string::npos)
        << sut.HostErr();

    // Where it will open, as a script sizing its touches asks.
    {
        test::ChildProcess look;
        const std::string out = sut.Root() + "/monitor.out";
        ASSERT_TRUE(
            look.Start({test::BinaryPath("orvexcal"), "--print-monitor"}, out, out + ".err", env));
        EXPECT_EQ(look.Wait(30s), 0) << ReadWholeFile(out + ".err");
        EXPECT_EQ(ReadWholeFile(out), "HEADLESS-2 640x480+800+0\n") << ReadWholeFile(out + ".err");
    }

    test::ChildProcess cal;
    const std::string calErr = sut.Root() + "/cal.err";
    ASSERT_TRUE(cal.Start({test::BinaryPath("orvexcal")}, sut.Root() + "/cal.out", calErr, env));
    // The compositor maps the window once its first frame is drawn, inside
    // the wait for the first target.
    std::string tree;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            if (!sway.Command({"-t", "get_tree"}, &tree))
                return false;
            const QJsonObject root =
                QJsonDocument::fromJson(QByteArray::fromStdString(tree)).object();
            return FullScreenOn(root, QStringLiteral("HEADLESS-2"));
        },
        30s))
        << tree << ReadWholeFile(calErr);
    sut.Simulator.Signal(SIGUSR1);

    const auto status = cal.Wait(60s);
    ASSERT_TRUE(status) << "orvexcal did not end\n" << ReadWholeFile(calErr) << sut.HostErr();
    EXPECT_EQ(*status, 0) << ReadWholeFile(calErr);
    const std::pair<const char16_t*, uint32_t> saved[] = {
        {u"CalibrationX1", 17}, {u"CalibrationX2", 511}, {u"CalibrationX3", 1005},
        {u"CalibrationY1", 19}, {u"CalibrationY2", 511}, {u"CalibrationY3", 1003},
        {u"PanelDirection", 0}};
    for (const auto& [name, value] : saved)
        EXPECT_EQ(sut.GetDword(DriverKeyPath, name), std::optional<uint32_t>(value))
            << sut.SimOut() << sut.HostErr() << ReadWholeFile(calErr);

    // The device manager goes before the compositor its pointer is on.
    sut.Host.Signal(SIGTERM);
    sut.Host.Wait(15s);
}

}  // namespace
}  // namespace orvex
