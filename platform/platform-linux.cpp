// The real platform of a host process. Each replaceable facility is chosen by
// a registry value, so one machine image serves a kiosk with a pointer
// device, a desktop under X and a bench without either.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/orvex.h"
#include "platform/host-status.h"
#include "platform/input-screen-layout.h"
#include "platform/platform.h"

namespace orvex {

namespace {

void Say(const std::string& line) {
    StderrDebugOutput().Print("orvex: " + line + "\n");
}

// The value as an ASCII lower-case word; absent means "auto".
std::string BackendSetting(Registry& reg, std::u16string_view key) {
    std::u16string value;
    if (!ReadStringValue(reg, key, u"Backend", &value))
        return "auto";
    std::string word = Utf16ToUtf8(value);
    for (char& c : word) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return word.empty() ? "auto" : word;
}

// The host's standard error, with the driver's word on its controller kept
// in the host's record as well.
class NotingDebugOutput final : public DebugOutput {
  public:
    explicit NotingDebugOutput(HostStatus& status) : Status_(status) {}
    void Print(std::string_view text) override {
        Err_.Print(text);
        Status_.NoteDriverLine(text);
    }

  private:
    StderrDebugOutput Err_;
    HostStatus& Status_;
};

// A Platform\Input string value for the X11 backend; empty (the host's
// environment) when absent.
std::string X11Setting(Registry& reg, std::u16string_view name) {
    std::u16string value;
    if (!ReadStringValue(reg, u"Platform\\Input", name, &value))
        return {};
    return Utf16ToUtf8(value);
}

struct Chosen {
    std::unique_ptr<Input> Backend;
    std::string Name;
    std::string Where;      // what the pointer covers, for the start-up line
    std::string Connected;  // the display, compositor socket or device node
    std::string Why;        // for the record: how the choice came about
};

std::string Joined(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts)
        s += (s.empty() ? "" : "; ") + p;
    return s;
}

Chosen ChooseInput(Registry& reg, const std::string& root, HostStatus& status) {
    // A backend's own lines go to the log and, as its latest word, to the
    // record doctor reads.
    auto log = [&status](const std::string& line) {
        Say(line);
        status.NoteBackendLine(line);
    };
    std::string want = BackendSetting(reg, u"Platform\\Input");
    if (want != "auto" && want != "uinput" && want != "wayland" && want != "x11" && want != "log") {
        Say("unknown input backend \"" + want + "\"; using auto");
        want = "auto";
    }
    bool unusable = false;
    const std::string monitor = PanelMonitorName(reg, &unusable);
    if (unusable)
        Say("input monitor name unusable (too long or with control characters); ignored");
    // Why the backends before the chosen one were passed over.
    std::vector<std::string> passed;
    auto chosen = [&](std::unique_ptr<Input> in, const char* name, std::string where,
                      std::string connected) {
        const std::string how = want == "auto" ? "auto" : "set in Platform\\Input Backend";
        std::string why = passed.empty() ? how : how + "; passed over " + Joined(passed);
        return Chosen{std::move(in), name, std::move(where), std::move(connected), std::move(why)};
    };
    std::string why;
    if (want == "uinput" || want == "auto") {
        // The driver's port (COM1: unless it names another) as the device
        // path the serial ports open for it: the device's physical path.
        uint32_t port = 1;
        (void)OpenedRegKey(&reg, DriverKeyPath).ReadU32(u"Port", &port);
        const std::string portPath =
            port <= 9 ? SerialDevicePath(reg, u"COM" + std::u16string(1, u'0' + port) + u":")
                      : std::string();
        std::string node;
        if (auto in = CreateUinputInput(root, &why, &node, portPath)) {
            std::string where = std::string("device \"") + UinputDeviceName + "\"";
            if (!node.empty())
                where += " " + node;
            if (const std::string phys = UinputPhys(portPath); !phys.empty())
                where += " on " + phys;
            // The window system scales a uinput device onto its outputs;
            // only it can confine the device to one monitor. The udev rule
            // names the monitor to the compositors that read WL_OUTPUT.
            if (!monitor.empty())
                where += "; map it onto monitor " + monitor + " in the window system";
            return chosen(std::move(in), "uinput", where, node);
        }
        passed.push_back("uinput: " + why);
        if (want == "uinput")
            Say("input backend uinput unavailable (" + why + "); using log");
    }
    if (want == "wayland" || want == "auto") {
        std::u16string socket;
        (void)ReadStringValue(reg, u"Platform\\Input", u"WaylandDisplay", &socket);
        WaylandInputOptions options;
        options.Socket = Utf16ToUtf8(socket);
        options.Monitor = monitor;
        options.Log = log;
        // A compositor chosen on purpose is waited for, as the X display is.
        options.WaitForCompositor = want == "wayland" || !options.Socket.empty();
        // auto tries a compositor only where one is configured or the host
        // runs inside a session; an X desktop without one goes on to x11.
        if (want == "wayland" || !WaylandSocketPath(options.Socket).empty()) {
            std::string where;
            bool noProtocol = false;
            if (auto in = CreateWaylandInput(root, &why, options, &where, &noProtocol))
                return chosen(std::move(in), "wayland", where, WaylandSocketPath(options.Socket));
            passed.push_back("wayland: " + why);
            if (want == "wayland")
                Say("input backend wayland unavailable (" + why + "); using log");
            else if (noProtocol)
                Say(why);
        } else {
            passed.push_back("wayland: no compositor socket configured or in the environment");
        }
    }
    if (want == "x11" || want == "auto") {
        X11InputOptions options;
        options.Display = X11Setting(reg, u"Display");
        options.Authority = X11Setting(reg, u"XAuthority");
        options.Monitor = monitor;
        options.Log = log;
        // A display chosen on purpose is waited for, as at boot before the
        // kiosk's session; auto goes on to the log instead of waiting for a
        // display that nobody named.
        options.WaitForDisplay = want == "x11" || !options.Display.empty();
        std::string where;
        if (auto in = CreateX11Input(root, &why, options, &where)) {
            const char* env = std::getenv("DISPLAY");
            return chosen(std::move(in), "x11", where,
                          !options.Display.empty() ? options.Display
                          : env                    ? env
                                                   : "");
        }
        passed.push_back("x11: " + why);
        if (want == "x11")
            Say("input backend x11 unavailable (" + why + "); using log");
    }
    return chosen(CreateLogInput(root), "log", {}, "standard output");
}

struct ChosenPorts {
    std::unique_ptr<PortBus> Bus;
    std::string Name;
};

ChosenPorts ChoosePorts(Registry& reg) {
    std::string want = BackendSetting(reg, u"Platform\\PortIo");
    if (want != "auto" && want != "devport" && want != "log") {
        Say("unknown port backend \"" + want + "\"; using auto");
        want = "auto";
    }
    if (want == "devport" || want == "auto") {
        errno = 0;
        if (auto bus = CreateDevPortBus())
            return {std::move(bus), "devport"};
        if (want == "devport") {
#if defined(__x86_64__) || defined(__i386__)
            std::string why = std::string("cannot open /dev/port: ") + std::strerror(errno);
#else
            std::string why = "this machine has no I/O ports";
#endif
            Say("port backend devport unavailable (" + why + "); using log");
        }
    }
    return {CreateLogPortBus(), "log"};
}

}  // namespace

std::unique_ptr<LinuxPlatform> LinuxPlatform::Create(const std::string& root) {
    auto p = std::make_unique<LinuxPlatform>(Token{});
    uint32_t error = 0;
    p->Reg_ = OpenSqliteRegistry(root, &error);
    if (!p->Reg_) {
        // Without its registry the driver has no settings and the platform
        // no choices: nothing sensible can run.
        Say("cannot open the registry under " + root + " (error " + std::to_string(error) + ")");
        return nullptr;
    }
    p->Status_ = std::make_unique<HostStatus>(root);
    p->Debug_ = std::make_unique<NotingDebugOutput>(*p->Status_);

    Chosen input = ChooseInput(*p->Reg_, root, *p->Status_);
    p->Input_ = std::move(input.Backend);
    p->Status_->SetInput({input.Name, input.Why, input.Connected, input.Where});
    ChosenPorts ports = ChoosePorts(*p->Reg_);
    p->Ports_ = std::move(ports.Bus);

    p->Timers_ = CreateRealTimerService();
    // The log port bus shows a beep's port accesses; its wait belongs with
    // them.
    if (ports.Name == "log")
        p->Timers_ = CreateLoggingTimerService(std::move(p->Timers_));

    p->Launcher_ = CreateSpawnLauncher(root, p->Debug_.get());
    p->Serial_ = CreateTermiosSerialPorts(*p->Reg_);
    if (!p->Timers_ || !p->Launcher_ || !p->Serial_) {
        Say("cannot set up the platform's timers, launcher or serial ports");
        return nullptr;
    }

    p->P_.Debug = p->Debug_.get();
    p->P_.Pointer = p->Input_.get();
    p->P_.Ports = p->Ports_.get();
    p->P_.Timers = p->Timers_.get();
    p->P_.Programs = p->Launcher_.get();
    p->P_.Reg = p->Reg_.get();
    p->P_.Serial = p->Serial_.get();

    Say("input backend " + input.Name + (input.Where.empty() ? "" : " (" + input.Where + ")") +
        ", port backend " + ports.Name);
    return p;
}

// Members go in reverse order of declaration: the serial ports before the
// registry they were configured from.
LinuxPlatform::~LinuxPlatform() = default;

}  // namespace orvex
