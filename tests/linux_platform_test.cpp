// Assembling the real platform: each backend as the registry chooses it, the
// fallback to the log backends when a chosen one cannot be had, and the
// lines that say what was chosen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/host-status.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/window-messages.h"
#include "support/output_capture.h"
#include "support/temp_root.h"

namespace orvex {
namespace {

class LinuxPlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Root = Tmp.Path();
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root, &error);
        ASSERT_NE(Reg, nullptr) << error;
        if (const char* d = std::getenv("DISPLAY"))
            SavedDisplay = d;
        // No display may answer, whatever the machine running the tests has.
        ::setenv("DISPLAY", ":4093", 1);
        if (const char* w = std::getenv("WAYLAND_DISPLAY"))
            SavedWayland = w;
        ::unsetenv("WAYLAND_DISPLAY");
    }
    void TearDown() override {
        if (SavedDisplay) {
            ::setenv("DISPLAY", SavedDisplay->c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
        if (SavedWayland)
            ::setenv("WAYLAND_DISPLAY", SavedWayland->c_str(), 1);
        Reg.reset();
    }

    void Choose(std::u16string_view key, const std::u16string& value,
                std::u16string_view name = u"Backend") {
        RegKey k = 0;
        ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, key, &k), 0u);
        std::u16string z = value + u'\0';
        ASSERT_EQ(Reg->SetValue(k, name, REG_SZ, reinterpret_cast<const uint8_t*>(z.data()),
                                static_cast<uint32_t>(z.size() * 2)),
                  0u);
        Reg->CloseKey(k);
    }

    // Creates the platform and returns its stderr lines.
    std::string Create(std::unique_ptr<LinuxPlatform>* out) {
        test::StdRedirect err(2);
        *out = LinuxPlatform::Create(Root);
        return err.Text();
    }

    static bool UinputUsable() {
        int fd = ::open("/dev/uinput", O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }

    test::TempRoot Tmp;
    std::string Root;
    std::unique_ptr<Registry> Reg;
    std::optional<std::string> SavedDisplay;
    std::optional<std::string> SavedWayland;
};

TEST_F(LinuxPlatformTest, LogBackendsWhenChosenAndEveryFacilityIsSet) {
    Choose(u"Platform\\Input", u"log");
    Choose(u"Platform\\PortIo", u"LOG");  // values compare without case
    std::unique_ptr<LinuxPlatform> p;
    EXPECT_EQ(Create(&p), "orvex: input backend log, port backend log\n");
    ASSERT_NE(p, nullptr);
    Platform& sys = p->Get();
    EXPECT_NE(sys.Debug, nullptr);
    EXPECT_NE(sys.Pointer, nullptr);
    EXPECT_NE(sys.Ports, nullptr);
    EXPECT_NE(sys.Timers, nullptr);
    EXPECT_NE(sys.Programs, nullptr);
    EXPECT_NE(sys.Reg, nullptr);
    EXPECT_NE(sys.Serial, nullptr);

    // The log backends write to standard output, sleeps included, and the
    // pointer's posts still reach the window's owner.
    auto box = WindowMessageBox::Bind(Root, 0x1234);
    ASSERT_NE(box, nullptr);
    test::StdRedirect out(1);
    sys.Pointer->MouseEvent(0x8003, 32768, 32768, 0, 0);
    sys.Pointer->PostMessage(0x1234, 0x0111, 0x7FFF, 0);
    sys.Ports->WritePortUchar(0x43, 0xB6);
    EXPECT_EQ(sys.Ports->ReadPortUchar(0x43), 0xB6);
    sys.Timers->SleepMicroseconds(1);
    EXPECT_EQ(out.Text(),
              "mouse_event(0x8003, 32768, 32768, 0, 0)\n"
              "PostMessageW(0x00001234, 0x0111, 0x7FFF, 0)\n"
              "WRITE_PORT_UCHAR(0x43, 0xB6)\n"
              "READ_PORT_UCHAR(0x43) = 0xB6\n"
              "NdisMSleep(1)\n");
    EXPECT_EQ(box->Receive(2000), (WindowMessage{0x1234, 0x0111, 0x7FFF, 0}));
}

// An X display chosen on purpose is waited for (the kiosk's session may
// not have started yet); a display value that names no local display is
// refused before anything connects.
TEST_F(LinuxPlatformTest, AChosenDisplayIsWaitedForButAForeignOneIsRefused) {
    Choose(u"Platform\\Input", u"x11");
    Choose(u"Platform\\PortIo", u"log");
    std::unique_ptr<LinuxPlatform> p;
    std::string err = Create(&p);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(err.rfind("orvex: input backend x11 (waiting for X display :4093: no X display "
                        "answers at :4093",
                        0),
              0u)
        << err;
    p.reset();

    Choose(u"Platform\\Input", u"remote:0", u"Display");
    err = Create(&p);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p->Get().Pointer, nullptr);
    EXPECT_EQ(err,
              "orvex: input backend x11 unavailable (X display \"remote:0\" is no local display "
              "(:N or :N.S)); using log\n"
              "orvex: input backend log, port backend log\n");
}

// The socket's path comes from the registry: anything but a socket is
// refused before it is touched.
TEST_F(LinuxPlatformTest, AChosenWaylandSocketThatIsNoSocketIsRefusedAndAnAbsentOneAwaited) {
    Choose(u"Platform\\Input", u"wayland");
    Choose(u"Platform\\PortIo", u"log");
    const std::string file = Root + "/not-a-socket";
    { std::ofstream(file) << "x"; }
    RegKey k = 0;
    ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, u"Platform\\Input", &k), 0u);
    std::u16string z = Utf8ToUtf16(file) + u'\0';
    ASSERT_EQ(
        Reg->SetValue(k, u"WaylandDisplay", REG_SZ, reinterpret_cast<const uint8_t*>(z.data()),
                      static_cast<uint32_t>(z.size() * 2)),
        0u);
    Reg->CloseKey(k);
    std::unique_ptr<LinuxPlatform> p;
    EXPECT_EQ(Create(&p), "orvex: input backend wayland unavailable (" + file +
                              " is not a socket); using log\n"
                              "orvex: input backend log, port backend log\n");
    ASSERT_NE(p, nullptr);
    p.reset();
    // Nothing there yet: the compositor is waited for.
    std::filesystem::remove(file);
    EXPECT_EQ(Create(&p).rfind("orvex: input backend wayland (waiting for the compositor: no "
                               "compositor socket at " +
                                   file,
                               0),
              0u);
}

TEST_F(LinuxPlatformTest, UnavailableUinputIsNamedWhenChosen) {
    if (UinputUsable())
        GTEST_SKIP() << "this machine has a usable /dev/uinput";
    Choose(u"Platform\\Input", u"uinput");
    Choose(u"Platform\\PortIo", u"log");
    std::unique_ptr<LinuxPlatform> p;
    std::string err = Create(&p);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(err.rfind("orvex: input backend uinput unavailable (", 0), 0u) << err;
    EXPECT_NE(err.find("); using log\norvex: input backend log, port backend log\n"),
              std::string::npos)
        << err;
}

TEST_F(LinuxPlatformTest, AutoWithNothingAvailableQuietlyUsesLog) {
    if (UinputUsable())
        GTEST_SKIP() << "this machine has a usable /dev/uinput";
    Choose(u"Platform\\PortIo", u"log");  // Input left unset: auto
    std::filesystem::create_directory(Root + "/dev");
    std::unique_ptr<LinuxPlatform> p;
    EXPECT_EQ(Create(&p), "orvex: input backend log, port backend log\n");
    ASSERT_NE(p, nullptr);
    // Quiet on the log, but the record says what each backend lacked.
    std::string why;
    const auto record = ReadHostStatus(Root, &why);
    ASSERT_TRUE(record) << why;
    EXPECT_EQ(record->Backend, "log");
    EXPECT_EQ(record->Pid, ::getpid());
    EXPECT_EQ(record->Why.rfind("auto; passed over uinput: ", 0), 0u) << record->Why;
    EXPECT_NE(record->Why.find("; wayland: no compositor socket configured or in the environment; "
                               "x11: no X display answers at :4093"),
              std::string::npos)
        << record->Why;
    // The driver's word on its controller is kept; its other lines are not.
    p->Get().Debug->Print("ORVEXSER: Calibration(X,Y)=(0,0)/(512,512)/(1023,1023)\r\n");
    p->Get().Debug->Print(
        "ORVEXSER: No TouchScreen found. Returning serial port to original status.\r\n");
    EXPECT_EQ(ReadHostStatus(Root, &why)->SerialState, "not-found");
}

// What the host's record may hold is read with care: a line break in a
// backend's line cannot forge a key, and what is no plain, small file is
// refused.
TEST(HostStatusRecord, StaysOneValueALineAndRefusesLinksAndLargeFiles) {
    test::TempRoot tmp;
    const std::string root = tmp.Path();
    std::filesystem::create_directory(root + "/dev");
    HostStatus status(root);
    status.SetInput({"x11", "auto", ":0", "monitor HDMI-1"});
    status.NoteBackendLine("display :0 is gone\nbackend=uinput");
    std::string why;
    auto record = ReadHostStatus(root, &why);
    ASSERT_TRUE(record) << why;
    EXPECT_EQ(record->Backend, "x11");
    EXPECT_EQ(record->Last, "display :0 is gone backend=uinput");
    // What the pointer covers follows the backend's word on it.
    status.NoteBackendLine("X display :0 went away; pointer events are dropped until it is back");
    EXPECT_EQ(ReadHostStatus(root, &why)->Covers, "nothing until the display is back");
    status.NoteBackendLine("X display :0 is back; the pointer covers the monitor HDMI-2 1x1+0+0");
    EXPECT_EQ(ReadHostStatus(root, &why)->Covers, "monitor HDMI-2 1x1+0+0");

    const std::string path = root + "/dev/" + HostStatusFile;
    std::filesystem::remove(path);
    std::filesystem::create_symlink("/etc/passwd", path);
    EXPECT_FALSE(ReadHostStatus(root, &why));
    std::filesystem::remove(path);
    std::ofstream(path) << std::string(MaxHostStatusBytes + 1, 'x');
    EXPECT_FALSE(ReadHostStatus(root, &why));
    EXPECT_NE(why.find("larger than"), std::string::npos) << why;
}

TEST_F(LinuxPlatformTest, UnknownChoicesAreReportedAndTreatedAsAuto) {
    Choose(u"Platform\\Input", u"mir");
    Choose(u"Platform\\PortIo", u"inb");
    std::unique_ptr<LinuxPlatform> p;
    std::string err = Create(&p);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(err.find("orvex: unknown input backend \"mir\"; using auto\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("orvex: unknown port backend \"inb\"; using auto\n"), std::string::npos)
        << err;
    EXPECT_NE(p->Get().Ports, nullptr);
}

TEST_F(LinuxPlatformTest, ChosenDevportThatCannotOpenFallsBackToLog) {
    if (::access("/dev/port", R_OK | W_OK) == 0)
        GTEST_SKIP() << "/dev/port is usable here";
    Choose(u"Platform\\Input", u"log");
    Choose(u"Platform\\PortIo", u"devport");
    std::unique_ptr<LinuxPlatform> p;
    std::string err = Create(&p);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(err.rfind("orvex: port backend devport unavailable (", 0), 0u) << err;
    EXPECT_NE(err.find("; using log\n"), std::string::npos) << err;
    EXPECT_NE(err.find("orvex: input backend log, port backend log\n"), std::string::npos) << err;
}

TEST(LinuxPlatform, NoRegistryNoPlatform) {
    test::StdRedirect err(2);
    auto p = LinuxPlatform::Create("/proc/orvex-no-such-root");
    EXPECT_EQ(p, nullptr);
    EXPECT_NE(err.Text().find("orvex: cannot open the registry under /proc/orvex-no-such-root"),
              std::string::npos);
}

TEST(PlatformRoot, ComesFromTheEnvironmentOrTheDefault) {
    const char* saved = std::getenv("ORVEX_ROOT");
    std::string keep = saved ? saved : "";
    ::setenv("ORVEX_ROOT", "/srv/touch", 1);
    EXPECT_EQ(PlatformRoot(), "/srv/touch");
    ::setenv("ORVEX_ROOT", "", 1);
    EXPECT_EQ(PlatformRoot(), "/var/lib/orvex");
    ::unsetenv("ORVEX_ROOT");
    EXPECT_EQ(PlatformRoot(), "/var/lib/orvex");
    if (saved)
        ::setenv("ORVEX_ROOT", keep.c_str(), 1);
}

}  // namespace
}  // namespace orvex
