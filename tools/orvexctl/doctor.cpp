// What doctor looks at, in the order a touch travels: the host and its
// record (which backend, why, what it reaches), the display or compositor
// as this user can reach it, the serial port, the calibration. The host's
// record says what the service saw; the display checks are made here, so a
// display the installer can see but the service cannot shows as a
// difference between the two.
#include "tools/orvexctl/doctor.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/calibration.h"
#include "common/orvex.h"
#include "device/client.h"
#include "platform/access.h"
#include "platform/error-help.h"
#include "platform/host-status.h"
#include "platform/input-screen-layout.h"
#include "platform/input-x11-link.h"
#include "platform/input.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/serial.h"

namespace orvex {
namespace {

constexpr char InputKey[] = "HKEY_LOCAL_MACHINE\\Platform\\Input";
constexpr char16_t InputKeyPath[] = u"Platform\\Input";
constexpr char Restart[] = "sudo systemctl restart orvex-devmgr";

// Registry values and the host's record may hold anything a group member
// wrote: shown on a terminal, they must not carry escape sequences.
std::string Shown(const std::string& s) {
    constexpr size_t Most = 200;
    std::string out;
    for (char c : s.substr(0, Most)) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(b < 0x20 || b == 0x7F ? '?' : c);
    }
    return s.size() > Most ? out + "..." : out;
}

// For a shell command line: single-quoted unless plainly safe.
std::string Quoted(const std::string& s) {
    bool plain = !s.empty();
    for (char c : s) {
        plain =
            plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == ':' || c == '/');
    }
    if (plain)
        return s;
    std::string q = "'";
    for (char c : Shown(s))
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string SetInputValue(const std::string& name, const std::string& value) {
    return std::string("sudo orvexreg set '") + InputKey + "' " + name + " sz " + Quoted(value);
}

std::string When(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[32] = "?";
    if (seconds > 0 && ::localtime_r(&t, &local))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

class Screen {
  public:
    void Fact(const char* label, const std::string& text) {
        std::printf("%-13s%s\n", (std::string(label) + ":").c_str(), text.c_str());
    }
    void Problem(const std::string& what, const std::string& fix) {
        std::printf("problem: %s; fix: %s\n", what.c_str(), fix.c_str());
        ++Problems_;
    }
    int Problems() const { return Problems_; }
    int Status() const { return Problems_ == 0 ? 0 : 1; }

  private:
    int Problems_ = 0;
};

std::string StringValue(Registry* reg, std::u16string_view key, std::u16string_view name) {
    std::u16string v;
    if (!reg || !ReadStringValue(*reg, key, name, &v))
        return {};
    return Utf16ToUtf8(v);
}

// The X displays this machine's servers listen on, ":0" first.
std::vector<std::string> LocalXDisplays() {
    std::vector<std::string> found;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/tmp/.X11-unix"), ::closedir);
    for (dirent* e; dir && (e = ::readdir(dir.get())) && found.size() < 16;) {
        const std::string name = e->d_name;
        if (name.size() > 1 && name.size() < 6 && name[0] == 'X' &&
            name.find_first_not_of("0123456789", 1) == std::string::npos)
            found.push_back(":" + name.substr(1));
    }
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(1)) < std::stoi(b.substr(1));
    });
    return found;
}

// Whether display lets this process in, asked without Xlib, which would
// write a refusing server's reason on standard error.
X11Probe Probe(const std::string& display, const std::string& authority, std::string* why) {
    const int number = X11DisplayNumber(display);
    X11Cookie cookie;
    if (number < 0 || !ReadX11Cookie(authority, number, &cookie, why))
        return X11Probe::Absent;
    return ProbeX11Display(number, cookie, std::chrono::seconds(2), why);
}

void CheckX11(Screen& out, Registry* reg, const std::string& backend) {
    std::string display = StringValue(reg, InputKeyPath, u"Display");
    const bool fromRegistry = !display.empty();
    if (!fromRegistry && std::getenv("DISPLAY"))
        display = std::getenv("DISPLAY");
    const std::string auth = StringValue(reg, InputKeyPath, u"XAuthority");
    // A display that answers here, to name in a fix.
    std::string answering;
    for (const std::string& d : LocalXDisplays()) {
        std::string ignored;
        if (answering.empty() && Probe(d, auth, &ignored) == X11Probe::Admitted)
            answering = d;
    }
    const std::string suggestion = answering.empty() ? ":0" : answering;
    if (display.empty()) {
        out.Problem("no X display is set for the " + backend + " backend",
                    SetInputValue("Display", suggestion));
        return;
    }
    if (const std::string problem = X11DisplayProblem(display); !problem.empty()) {
        out.Problem(Shown(problem), SetInputValue("Display", suggestion));
        return;
    }
    if (const std::string problem = X11AuthorityProblem(auth); !problem.empty()) {
        out.Problem(Shown(problem), std::string("sudo orvexreg delete '") + InputKey +
                                        "' XAuthority && " + Restart);
        return;
    }
    std::string why;
    const X11Probe probe = Probe(display, auth, &why);
    if (probe == X11Probe::Refused) {
        out.Problem(Shown(why), "DISPLAY=" + Quoted(display) +
                                    " xhost +SI:localuser:root  # in the kiosk session");
        return;
    }
    // Xlib is offered the cookie the probe was admitted with.
    X11Cookie cookie;
    if (probe == X11Probe::Admitted &&
        ReadX11Cookie(auth, X11DisplayNumber(display), &cookie, &why))
        OfferX11Cookie(cookie);
    ScreenLayout layout;
    if (probe != X11Probe::Admitted || !QueryRandrLayout(display, &layout, &why)) {
        out.Problem("X display " + Shown(display) + " does not answer (" + Shown(why) + ")",
                    answering.empty() || answering == display
                        ? "start the kiosk session's X server on " + Shown(display) +
                              "; the host picks it up by itself"
                        : SetInputValue("Display", answering));
        return;
    }
    std::string monitors;
    for (const MonitorInfo& m : layout.Monitors)
        monitors += (monitors.empty() ? "" : ", ") + Shown(m.Name) + " " + DescribeRect(m.Rect);
    out.Fact("display", Shown(display) + (fromRegistry ? "" : " (from $DISPLAY)") +
                            " answers; monitors " + (monitors.empty() ? "none" : monitors));

    const std::string monitor = reg ? PanelMonitorName(*reg) : std::string();
    if (monitor.empty())
        return;
    const PanelPlacement placed = PlacePanel(layout, monitor);
    if (placed.Found)
        return;
    if (layout.Monitors.empty()) {
        out.Problem("monitor \"" + Shown(monitor) + "\" is named, but " + Shown(display) +
                        " has no monitors",
                    std::string("sudo orvexreg delete '") + InputKey + "' Monitor && " + Restart);
        return;
    }
    std::string names;
    const MonitorInfo* pick = &layout.Monitors.front();
    for (const MonitorInfo& m : layout.Monitors) {
        names += (names.empty() ? "" : ", ") + Shown(m.Name);
        if (m.Primary)
            pick = &m;
    }
    out.Problem("monitor \"" + Shown(monitor) + "\" is not among the monitors of " +
                    Shown(display) + " (" + names + ")",
                SetInputValue("Monitor", pick->Name) + " && " + Restart);
}

void CheckWayland(Screen& out, Registry* reg, const HostStatusRecord* record) {
    const std::string configured = StringValue(reg, InputKeyPath, u"WaylandDisplay");
    const std::string socket = WaylandSocketPath(configured);
    if (socket.empty()) {
        out.Problem("no compositor socket is set for the wayland backend",
                    SetInputValue("WaylandDisplay", "/run/user/1000/wayland-0"));
        return;
    }
    struct stat st {};
    if (::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        out.Problem("no compositor socket at " + Shown(socket),
                    "start the kiosk session's compositor; the host picks it up by itself");
        return;
    }
    out.Fact("compositor", Shown(socket) + (configured.empty() ? " (from the environment)" : ""));
    // The service runs without root's right to pass over file modes: the
    // session's folder and socket must let root in by name.
    const std::string said =
        record ? record->Why + " " + record->Covers + " " + record->Last : std::string();
    if (said.find(socket) != std::string::npos &&
        said.find("Permission denied") != std::string::npos) {
        const std::string folder = socket.substr(0, socket.rfind('/'));
        out.Problem("the service may not open " + Shown(socket),
                    "sudo setfacl -m u:root:x " + Quoted(folder) +
                        " && sudo setfacl -m u:root:rw " + Quoted(socket));
    }
}

// The driver's port and the device path the serial ports open for it.
std::string DriverPort(Registry* reg) {
    uint32_t port = 1;
    if (reg)
        (void)OpenedRegKey(reg, DriverKeyPath).ReadU32(u"Port", &port);
    if (port > 9)
        return "COM" + std::to_string(port) + ":";
    const std::string name = "COM" + std::to_string(port) + ":";
    const std::string path =
        reg ? SerialDevicePath(*reg, std::u16string(name.begin(), name.end())) : std::string();
    return path.empty() ? name : name + " (" + Shown(path) + ")";
}

// A serial device worth naming in a fix: the first of /dev/serial/by-id.
std::string SerialCandidate() {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/dev/serial/by-id"), ::closedir);
    for (dirent* e; dir && (e = ::readdir(dir.get()));) {
        if (e->d_name[0] != '.')
            return std::string("/dev/serial/by-id/") + e->d_name;
    }
    return "/dev/ttyUSB0";
}

void CheckSerial(Screen& out, Registry* reg, const HostStatusRecord* record) {
    const std::string port = DriverPort(reg);
    if (!record || record->SerialState.empty()) {
        out.Fact("serial port", port + ", of which the host has said nothing yet");
        return;
    }
    const std::string said = Shown(record->Serial) + " (" + When(record->SerialTime) + ")";
    const std::string& state = record->SerialState;
    if (state == "found" || state == "detecting") {
        out.Fact("serial port", port + ", " + said);
    } else if (state == "cannot-open") {
        uint32_t number = 1;
        if (reg)
            (void)OpenedRegKey(reg, DriverKeyPath).ReadU32(u"Port", &number);
        out.Problem("the serial port " + port + " cannot be opened: " + said,
                    "sudo orvexreg set 'HKEY_LOCAL_MACHINE\\Platform\\Serial' COM" +
                        std::to_string(number) + " sz " + Quoted(SerialCandidate()) + " && " +
                        Restart);
    } else if (state == "lost") {
        out.Problem("the controller on " + port + " stopped answering: " + said +
                        "; check its cable and power",
                    Restart);
    } else {
        out.Problem(
            "no controller answers on " + port + ": " + said + "; check its cable, power and port",
            Restart);
    }
}

void CheckCalibration(Screen& out, Registry* reg, DeviceHandle* device) {
    const CalibrationPoints saved = ReadCalibrationPoints([&](size_t i, uint32_t* value) {
        return reg && OpenedRegKey(reg, DriverKeyPath).ReadU32(CalibrationValueNames[i], value);
    });
    const std::string fix = "orvexcal (as the kiosk's user, in its session)";
    if (saved == MissingCalibration) {
        out.Problem("the panel has never been calibrated", fix);
        return;
    }
    if (HasZeroSpan(saved)) {
        out.Problem("the saved calibration is unusable (a segment of zero width)", fix);
        return;
    }
    char text[96];
    std::snprintf(text, sizeof text, "saved, X %u %u %u, Y %u %u %u", saved[0], saved[1], saved[2],
                  saved[3], saved[4], saved[5]);
    std::string line = text;
    if (device) {
        std::array<uint8_t, TouchSettings::Size> buf{};
        if (device->IoControl(IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(),
                              buf.size(), nullptr)) {
            const TouchSettings now = TouchSettings::Decode(buf);
            const CalibrationPoints used{now.CalibrationX1, now.CalibrationX2, now.CalibrationX3,
                                         now.CalibrationY1, now.CalibrationY2, now.CalibrationY3};
            line += used == saved ? "; the driver uses it" : "; the driver uses another, unsaved";
        }
    }
    out.Fact("calibration", line);
}

}  // namespace

int Doctor(const std::string& root, const std::string& deviceName) {
    Screen out;
    uint32_t error = 0;
    auto reg = OpenSqliteRegistryReadOnly(root, std::chrono::milliseconds(500), &error);
    if (!reg) {
        out.Problem(error == ERROR_FILE_NOT_FOUND
                        ? "no registry under " + Shown(root)
                        : "cannot read the registry under " + Shown(root) + " (" +
                              ExplainError(error, ErrorTopic::Registry) + ")",
                    error == ERROR_FILE_NOT_FOUND
                        ? "sudo orvexreg init /usr/share/orvex/orvex.reg && " + std::string(Restart)
                        : "sudo adduser $USER " + std::string(PlatformGroup));
    }

    const std::u16string wide(deviceName.begin(), deviceName.end());
    std::unique_ptr<DeviceHandle> device = OpenDevice(wide, root);
    if (device) {
        out.Fact("host", "running; " + Shown(deviceName) + " opens");
    } else {
        const uint32_t why = GetLastError();
        out.Problem("the device manager does not serve " + Shown(deviceName) + " (" +
                        ExplainError(why, ErrorTopic::Device) + ")",
                    why == ERROR_ACCESS_DENIED ? "sudo adduser $USER " + std::string(PlatformGroup)
                                               : std::string(Restart));
    }

    std::string recordWhy;
    const std::optional<HostStatusRecord> record = ReadHostStatus(root, &recordWhy);
    // A record the host left behind when it stopped says how it was, not how
    // it is.
    const HostStatusRecord* current = device && record ? &*record : nullptr;
    std::string setting = StringValue(reg.get(), InputKeyPath, u"Backend");
    for (char& c : setting)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (setting.empty())
        setting = "auto";
    std::string backend = setting;
    if (current) {
        backend = current->Backend;
        out.Fact("input", Shown(current->Backend) + " (" + Shown(current->Why) + ")");
        if (!current->Connected.empty())
            out.Fact("reaches", Shown(current->Connected));
        out.Fact("covers", current->Covers.empty() ? "nothing: the host prints each event"
                                                   : Shown(current->Covers));
        if (!current->Last.empty())
            out.Fact("last word", Shown(current->Last) + " (" + When(current->LastTime) + ")");
    } else if (record) {
        out.Fact("input", "when the host last ran: " + Shown(record->Backend) + " (" +
                              Shown(record->Why) + ")");
    } else if (device) {
        out.Fact("input", "the host keeps no record (" + Shown(recordWhy) + ")");
    }

    const std::string display = StringValue(reg.get(), InputKeyPath, u"Display");
    const std::string waylandDisplay = StringValue(reg.get(), InputKeyPath, u"WaylandDisplay");
    const bool autoWithout = setting == "auto" && (backend == "log" || backend == "auto");
    const int problemsBefore = out.Problems();
    if (backend == "x11" || setting == "x11" ||
        (autoWithout && (!display.empty() || std::getenv("DISPLAY"))))
        CheckX11(out, reg.get(), backend == "log" || backend == "auto" ? "x11" : backend);
    if (backend == "wayland" || setting == "wayland" || (autoWithout && !waylandDisplay.empty()))
        CheckWayland(out, reg.get(), current);
    // What this process reaches the host may still not: it runs outside the
    // session, as root without the right to pass over file modes.
    if (current && current->Covers.rfind("waiting for", 0) == 0 &&
        out.Problems() == problemsBefore) {
        const std::string connected = current->Connected.substr(0, current->Connected.find(' '));
        out.Problem("the host is still " + Shown(current->Covers),
                    current->Backend == "x11" &&
                            current->Covers.find("refused this process") != std::string::npos
                        ? "DISPLAY=" + Quoted(connected) +
                              " xhost +SI:localuser:root  # in the kiosk session"
                        : std::string(Restart));
    }
    if (current && current->Backend == "log" && setting != "log" &&
        out.Problems() == problemsBefore) {
        out.Problem("touches move no pointer: the host found no pointer backend", Restart);
    }
    if (current && current->Backend == "uinput") {
        const std::string monitor = reg ? PanelMonitorName(*reg) : std::string();
        if (!monitor.empty())
            out.Fact("output", "the udev rule names " + Shown(monitor) +
                                   " to compositors that read WL_OUTPUT");
    }

    CheckSerial(out, reg.get(), current);
    if (reg)
        CheckCalibration(out, reg.get(), device.get());
    return out.Status();
}

}  // namespace orvex
