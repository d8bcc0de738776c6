// orvexctl: talks to the touch driver's device the way the programs do, one
// control call at a time, and shows the records it gets back. The first tool
// to reach for when the pointer does not do what the finger does.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/orvex.h"
#include "device/client.h"
#include "platform/error-help.h"
#include "platform/hexdigit.h"
#include "platform/lasterror.h"
#include "platform/platform.h"
#include "tools/orvexctl/doctor.h"

namespace orvex {
namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
// The device host refuses bigger buffers; saying so here is clearer than a
// broken connection.
constexpr size_t MaxBuffer = 64 * 1024;

volatile sig_atomic_t StopRequested = 0;
void OnSignal(int) {
    StopRequested = 1;
}

const char UsageText[] =
    "usage: orvexctl [--device NAME] [--root DIR] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  doctor                       whether touches can reach the pointer: the host's\n"
    "                               backend and why, the display, the serial port and\n"
    "                               the calibration; each problem with its fix\n"
    "  settings [--follow]          the driver's settings record, one field per line\n"
    "  pointer [--follow]           the last pointer position and buttons\n"
    "  raw [--follow]               the last raw point, touch flag and sample count\n"
    "  startup                      send the start-up control code (maps the speaker,\n"
    "                               beeps, arms the right-button launcher)\n"
    "  right-click --window W [--pending P]\n"
    "                               make the next touch a right click (P 1, the\n"
    "                               default) or cancel it (P 0); W is told when done\n"
    "  set-feedback SOUND TONE DURATION\n"
    "                               SOUND 1 never, 2 touch-down, 3 lift-off, 4 both;\n"
    "                               TONE speaker divisor; DURATION in 10 ms units\n"
    "  set-calibration X1 X2 X3 Y1 Y2 Y3 DIRECTION\n"
    "                               install a calibration (raw 0..1023 points;\n"
    "                               DIRECTION bit 0 mirror X, 1 mirror Y, 2 swap)\n"
    "  ioctl CODE [--in HEX] [--out HEX] [--buf HEX]\n"
    "                               one raw control call; --buf passes one buffer as\n"
    "                               both input and output; prints result and output\n"
    "\n"
    "--device NAME  the device to open (default ORX1:)\n"
    "--root DIR     the platform root (default $ORVEX_ROOT, else /var/lib/orvex)\n"
    "--follow       print every new sample until Ctrl-C\n"
    "Numbers are decimal or 0x hex; HEX buffers are two hex digits a byte.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr,
                 "orvexctl: %s\n"
                 "usage: orvexctl [--device NAME] [--root DIR] COMMAND [ARGS]\n"
                 "       orvexctl --help lists the commands\n",
                 problem.c_str());
    return ExitUsage;
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "orvexctl: %s\n", text.c_str());
    return ExitFailure;
}

// Decimal, or hexadecimal after 0x. Nothing else: a leading zero is not octal.
std::optional<uint64_t> ParseNumber(std::string_view s, uint64_t max) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        const int d = HexDigit(c);
        if (d < 0 || d >= base)
            return std::nullopt;
        if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
            return std::nullopt;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    return v;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view s) {
    if (s.size() % 2 != 0 || s.size() / 2 > MaxBuffer)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

std::string ToHex(const uint8_t* bytes, size_t n) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += Digits[bytes[i] >> 4];
        s += Digits[bytes[i] & 15];
    }
    return s;
}

struct Args {
    std::string Device = "ORX1:";
    std::string Root;
    bool Follow = false;
    std::map<std::string, std::string> Options;  // --window, --pending, --in, --out, --buf
    std::vector<std::string> Positional;
};

// Options may stand anywhere; "--name value" and "--name=value" both work.
std::optional<std::string> ParseArgs(int argc, char** argv, Args* a) {
    static const std::set<std::string> WithValue = {"--device", "--root", "--window", "--pending",
                                                    "--in",     "--out",  "--buf"};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            a->Positional.push_back(arg);
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        if (arg == "--follow") {
            if (hasValue)
                return "--follow takes no value";
            a->Follow = true;
            continue;
        }
        if (!WithValue.count(arg))
            return "unknown option " + arg;
        if (!hasValue) {
            if (i + 1 >= argc)
                return arg + " needs a value";
            value = argv[++i];
        }
        if (arg == "--device") {
            a->Device = value;
        } else if (arg == "--root") {
            a->Root = value;
        } else {
            if (a->Options.count(arg))
                return arg + " given twice";
            a->Options[arg] = value;
        }
    }
    return std::nullopt;
}

std::u16string Widen(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

// "ORX1:" is served at <root>/dev/ORX1.
std::string SocketPath(const std::string& root, std::string device) {
    if (!device.empty() && device.back() == ':')
        device.pop_back();
    return root + "/dev/" + device;
}

class Session {
  public:
    Session(std::unique_ptr<DeviceHandle> h) : H_(std::move(h)) {}

    // Every call passes one buffer as both input and output, as the programs
    // of the system do.
    bool Call(uint32_t code, uint8_t* buf, uint32_t size, uint32_t* error) {
        uint32_t r = H_->IoControl(code, buf, size, buf, size, nullptr);
        *error = GetLastError();
        return r != 0;
    }
    DeviceHandle& Handle() { return *H_; }

  private:
    std::unique_ptr<DeviceHandle> H_;
};

std::string CodeName(uint32_t code) {
    switch (code) {
        case IOCTL_ORX_GET_SETTINGS:
            return "IOCTL_ORX_GET_SETTINGS";
        case IOCTL_ORX_GET_POINTER:
            return "IOCTL_ORX_GET_POINTER";
        case IOCTL_ORX_GET_RAW_POINT:
            return "IOCTL_ORX_GET_RAW_POINT";
        case IOCTL_ORX_SET_FEEDBACK:
            return "IOCTL_ORX_SET_FEEDBACK";
        case IOCTL_ORX_SET_CALIBRATION:
            return "IOCTL_ORX_SET_CALIBRATION";
        case IOCTL_ORX_GET_RIGHT_CLICK:
            return "IOCTL_ORX_GET_RIGHT_CLICK";
        case IOCTL_ORX_SET_RIGHT_CLICK:
            return "IOCTL_ORX_SET_RIGHT_CLICK";
        default:
            return "control code";
    }
}

int CallFailed(uint32_t code, uint32_t error) {
    if (error == ERROR_DEVICE_NOT_CONNECTED) {
        return Fail(CodeName(code) + " failed: the device host closed the connection");
    }
    return Fail(CodeName(code) + " failed (" + ExplainError(error, ErrorTopic::Device) + ")");
}

// A call the command cannot go on without: 0, or the exit code once the
// failure has been told.
int CallOrFail(Session& s, uint32_t code, uint8_t* buf, uint32_t size) {
    uint32_t error = 0;
    if (!s.Call(code, buf, size, &error))
        return CallFailed(code, error);
    return 0;
}

// ---- readable records

const char* SoundName(uint8_t v) {
    switch (v) {
        case 1:
            return "never";
        case 2:
            return "on touch-down";
        case 3:
            return "on lift-off";
        case 4:
            return "on touch-down and lift-off";
        default:
            return "never (not a known value)";
    }
}

const char* ClickModeName(uint8_t v) {
    switch (v) {
        case 1:
            return "never press a button";
        case 2:
            return "press on lift-off";
        case 3:
            return "press on touch-down";
        case 4:
            return "button held while touched";
        default:
            return "never press a button (not a known value)";
    }
}

std::string DirectionName(uint8_t v) {
    if (v == 0)
        return "as wired";
    std::string s;
    auto add = [&](const char* w) { s += s.empty() ? w : std::string(", ") + w; };
    if (v & 4)
        add("swap X and Y");
    if (v & 2)
        add("mirror Y");
    if (v & 1)
        add("mirror X");
    if (v & ~7u)
        add("unknown bits");
    return s;
}

std::string ButtonsName(uint8_t b) {
    switch (b & 3) {
        case 0:
            return b ? "unknown bits" : "none";
        case 1:
            return "left";
        case 2:
            return "right";
        default:
            return "left+right";
    }
}

void PrintSettings(const TouchSettings& s) {
    const unsigned tone = s.FeedbackTone;
    const double hz = 1193182.0 / (tone == 0 ? 65536.0 : tone);
    std::printf("ClickMode          %u (%s)\n", s.ClickMode, ClickModeName(s.ClickMode));
    std::printf("FeedbackSound      %u (%s)\n", s.FeedbackSound, SoundName(s.FeedbackSound));
    std::printf("FeedbackTone       %u (%.0f Hz)\n", tone, hz);
    std::printf("FeedbackDuration   %u (%u ms)\n", s.FeedbackDuration, s.FeedbackDuration * 10u);
    std::printf("RightClickArmed    %u\n", s.RightClickArmed);
    std::printf("CalibrationX1      %u\n", s.CalibrationX1);
    std::printf("CalibrationX2      %u\n", s.CalibrationX2);
    std::printf("CalibrationX3      %u\n", s.CalibrationX3);
    std::printf("CalibrationY1      %u\n", s.CalibrationY1);
    std::printf("CalibrationY2      %u\n", s.CalibrationY2);
    std::printf("CalibrationY3      %u\n", s.CalibrationY3);
    std::printf("PanelDirection     %u (%s)\n", s.PanelDirection,
                DirectionName(s.PanelDirection).c_str());
    std::printf("Protocol           %u (%s)\n", s.Protocol,
                s.Protocol == 0   ? "5-byte reports"
                : s.Protocol == 1 ? "10-byte packets"
                                  : "?");
}

void PrintPointer(const PointerState& p) {
    std::printf("X=%u Y=%u Buttons=%u (%s)\n", p.X, p.Y, p.Buttons, ButtonsName(p.Buttons).c_str());
}

void PrintRaw(const RawPoint& r) {
    std::printf("X=%u Y=%u Touch=%u (%s) SampleCount=%u\n", r.X, r.Y, r.Touch,
                r.Touch ? "touched" : "not touched", r.SampleCount);
}

// Reads one record; with follow, keeps reading every 5 ms and prints each
// record that differs from the last one shown, until Ctrl-C.
template <size_t N, typename Show>
int Watch(Session& s, uint32_t code, bool follow, Show show) {
    std::array<uint8_t, N> last{};
    bool first = true;
    for (;;) {
        std::array<uint8_t, N> buf{};
        uint32_t error = 0;
        if (!s.Call(code, buf.data(), N, &error)) {
            if (StopRequested)
                return 0;  // the call was cut short by Ctrl-C
            return CallFailed(code, error);
        }
        if (first || buf != last) {
            show(std::span<const uint8_t, N>(buf));
            std::fflush(stdout);
            last = buf;
            first = false;
        }
        if (!follow)
            return 0;
        timespec ts{0, 5'000'000};
        nanosleep(&ts, nullptr);
        if (StopRequested)
            return 0;
    }
}

int ReadSettings(Session& s, std::array<uint8_t, TouchSettings::Size>* buf, TouchSettings* out) {
    if (int rc = CallOrFail(s, IOCTL_ORX_GET_SETTINGS, buf->data(), TouchSettings::Size))
        return rc;
    *out = TouchSettings::Decode(std::span<const uint8_t, TouchSettings::Size>(*buf));
    return 0;
}

std::optional<std::vector<uint64_t>> Numbers(const std::vector<std::string>& args, size_t from,
                                             const std::vector<uint64_t>& max,
                                             std::string* problem) {
    if (args.size() - from != max.size()) {
        *problem = args[0] + " takes " + std::to_string(max.size()) + " numbers";
        return std::nullopt;
    }
    std::vector<uint64_t> v;
    for (size_t i = 0; i < max.size(); ++i) {
        auto n = ParseNumber(args[from + i], max[i]);
        if (!n) {
            *problem =
                "\"" + args[from + i] + "\" is not a number from 0 to " + std::to_string(max[i]);
            return std::nullopt;
        }
        v.push_back(*n);
    }
    return v;
}

// Sends a settings record with code, then reads back what the driver holds
// now, so the user sees what was taken rather than what was asked for.
int SendSettings(Session& s, uint32_t code, std::array<uint8_t, TouchSettings::Size>* buf,
                 TouchSettings* now) {
    if (int rc = CallOrFail(s, code, buf->data(), TouchSettings::Size))
        return rc;
    std::array<uint8_t, TouchSettings::Size> fresh{};
    return ReadSettings(s, &fresh, now);
}

int SetFeedback(Session& s, const std::vector<uint64_t>& v) {
    // A fresh block with only the feedback fields set, as the settings dialog
    // sends it: the driver reads the record from the output side.
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings t;
    t.FeedbackSound = static_cast<uint8_t>(v[0]);
    t.FeedbackTone = static_cast<uint16_t>(v[1]);
    t.FeedbackDuration = static_cast<uint16_t>(v[2]);
    t.EncodeFeedback(buf);
    TouchSettings got;
    if (int rc = SendSettings(s, IOCTL_ORX_SET_FEEDBACK, &buf, &got))
        return rc;
    std::printf("FeedbackSound      %u (%s)\nFeedbackTone       %u\nFeedbackDuration   %u\n",
                got.FeedbackSound, SoundName(got.FeedbackSound), got.FeedbackTone,
                got.FeedbackDuration);
    return 0;
}

int SetCalibration(Session& s, const std::vector<uint64_t>& v) {
    // As the calibration program does it: the driver's own record with only
    // the calibration block replaced.
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings t;
    if (int rc = ReadSettings(s, &buf, &t))
        return rc;
    t.CalibrationX1 = static_cast<uint16_t>(v[0]);
    t.CalibrationX2 = static_cast<uint16_t>(v[1]);
    t.CalibrationX3 = static_cast<uint16_t>(v[2]);
    t.CalibrationY1 = static_cast<uint16_t>(v[3]);
    t.CalibrationY2 = static_cast<uint16_t>(v[4]);
    t.CalibrationY3 = static_cast<uint16_t>(v[5]);
    t.PanelDirection = static_cast<uint8_t>(v[6]);
    t.EncodeCalibration(buf);
    TouchSettings got;
    if (int rc = SendSettings(s, IOCTL_ORX_SET_CALIBRATION, &buf, &got))
        return rc;
    std::printf("installed X %u %u %u, Y %u %u %u, PanelDirection %u\n", got.CalibrationX1,
                got.CalibrationX2, got.CalibrationX3, got.CalibrationY1, got.CalibrationY2,
                got.CalibrationY3, got.PanelDirection);
    const bool same =
        got.CalibrationX1 == t.CalibrationX1 && got.CalibrationX2 == t.CalibrationX2 &&
        got.CalibrationX3 == t.CalibrationX3 && got.CalibrationY1 == t.CalibrationY1 &&
        got.CalibrationY2 == t.CalibrationY2 && got.CalibrationY3 == t.CalibrationY3 &&
        got.PanelDirection == t.PanelDirection;
    if (!same) {
        return Fail(
            "the driver did not take these points (a segment of zero width?) and "
            "installed what is shown above");
    }
    return 0;
}

struct RightClickArgs {
    uint32_t Window = 0;
    uint16_t Pending = 1;
};

std::optional<std::string> ParseRightClick(const Args& a, RightClickArgs* r) {
    auto w = a.Options.find("--window");
    if (w == a.Options.end())
        return "right-click needs --window";
    auto window = ParseNumber(w->second, 0xFFFFFFFFu);
    if (!window)
        return "--window must be a number from 0 to 0xFFFFFFFF";
    r->Window = static_cast<uint32_t>(*window);
    if (auto p = a.Options.find("--pending"); p != a.Options.end()) {
        auto n = ParseNumber(p->second, 0xFFFF);
        if (!n)
            return "--pending must be a number from 0 to 65535";
        r->Pending = static_cast<uint16_t>(*n);
    }
    return std::nullopt;
}

int RightClick(Session& s, const RightClickArgs& r) {
    std::array<uint8_t, RightClickRequest::Size> buf{};
    RightClickRequest{r.Window, r.Pending}.Encode(buf);
    if (int rc = CallOrFail(s, IOCTL_ORX_SET_RIGHT_CLICK, buf.data(), RightClickRequest::Size))
        return rc;
    buf = {};
    if (int rc = CallOrFail(s, IOCTL_ORX_GET_RIGHT_CLICK, buf.data(), RightClickRequest::Size))
        return rc;
    auto now = RightClickRequest::Decode(buf);
    std::printf("Window=0x%08X Pending=%u\n", now.Window, now.Pending);
    return 0;
}

struct IoctlArgs {
    uint32_t Code = 0;
    std::optional<std::vector<uint8_t>> In, Out, Buf;
};

std::optional<std::string> ParseIoctl(const Args& a, IoctlArgs* r) {
    if (a.Positional.size() != 2)
        return "ioctl takes one control code";
    auto code = ParseNumber(a.Positional[1], 0xFFFFFFFFu);
    if (!code)
        return "\"" + a.Positional[1] + "\" is not a control code";
    r->Code = static_cast<uint32_t>(*code);
    for (auto [name, slot] :
         {std::pair{"--in", &r->In}, std::pair{"--out", &r->Out}, std::pair{"--buf", &r->Buf}}) {
        auto it = a.Options.find(name);
        if (it == a.Options.end())
            continue;
        *slot = ParseHex(it->second);
        if (!*slot) {
            return std::string(name) + " wants two hex digits a byte, at most " +
                   std::to_string(MaxBuffer) + " bytes";
        }
    }
    if (r->Buf && (r->In || r->Out))
        return "--buf stands for both --in and --out";
    return std::nullopt;
}

int RawIoctl(Session& s, IoctlArgs& r) {
    auto* in = &r.In;
    auto* out = &r.Out;
    auto* buf = &r.Buf;
    // A zero-length buffer is still a buffer: keep its pointer non-null.
    uint8_t none = 0;
    auto ptr = [&](std::optional<std::vector<uint8_t>>& v) -> uint8_t* {
        if (!v)
            return nullptr;
        return v->empty() ? &none : v->data();
    };
    auto size = [](const std::optional<std::vector<uint8_t>>& v) {
        return v ? static_cast<uint32_t>(v->size()) : 0u;
    };
    uint32_t result;
    const uint8_t* shown = nullptr;
    size_t shownSize = 0;
    if (*buf) {
        uint8_t* p = ptr(*buf);
        result = s.Handle().IoControl(r.Code, p, size(*buf), p, size(*buf), nullptr);
        shown = p;
        shownSize = (*buf)->size();
    } else {
        result = s.Handle().IoControl(r.Code, ptr(*in), size(*in), ptr(*out), size(*out), nullptr);
        if (*out) {
            shown = ptr(*out);
            shownSize = (*out)->size();
        }
    }
    uint32_t error = GetLastError();
    std::printf("result=%u error=%u\nout=%s\n", result, error,
                shown ? ToHex(shown, shownSize).c_str() : "");
    if (result == 0 && error == ERROR_DEVICE_NOT_CONNECTED) {
        return Fail("the device host closed the connection");
    }
    return 0;
}

int Run(int argc, char** argv) {
    Args a;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (auto problem = ParseArgs(argc, argv, &a))
        return Usage(*problem);
    if (a.Positional.empty())
        return Usage("no command given");
    const std::string& cmd = a.Positional[0];

    // Check the whole command line before touching the device.
    static const std::map<std::string, std::set<std::string>> Allowed = {
        {"doctor", {}},       {"settings", {}},        {"pointer", {}},
        {"raw", {}},          {"startup", {}},         {"right-click", {"--window", "--pending"}},
        {"set-feedback", {}}, {"set-calibration", {}}, {"ioctl", {"--in", "--out", "--buf"}},
    };
    auto allowed = Allowed.find(cmd);
    if (allowed == Allowed.end())
        return Usage("unknown command \"" + cmd + "\"");
    for (const auto& [name, value] : a.Options) {
        if (!allowed->second.count(name))
            return Usage(name + " does not go with " + cmd);
    }
    const bool canFollow = cmd == "settings" || cmd == "pointer" || cmd == "raw";
    if (a.Follow && !canFollow)
        return Usage("--follow goes with settings, pointer and raw");
    std::vector<uint64_t> numbers;
    std::string problem;
    if (cmd == "set-feedback") {
        auto v = Numbers(a.Positional, 1, {0xFF, 0xFFFF, 0xFFFF}, &problem);
        if (!v)
            return Usage(problem);
        numbers = *v;
    } else if (cmd == "set-calibration") {
        auto v = Numbers(a.Positional, 1, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFF},
                         &problem);
        if (!v)
            return Usage(problem);
        numbers = *v;
    } else if (cmd != "ioctl" && a.Positional.size() != 1) {
        return Usage(cmd + " takes no arguments");
    }
    RightClickArgs rightClick;
    IoctlArgs ioctl;
    if (cmd == "right-click") {
        if (auto problem = ParseRightClick(a, &rightClick))
            return Usage(*problem);
    }
    if (cmd == "ioctl") {
        if (auto problem = ParseIoctl(a, &ioctl))
            return Usage(*problem);
    }

    const std::string root = a.Root.empty() ? PlatformRoot() : a.Root;
    if (cmd == "doctor")
        return Doctor(root, a.Device);
    auto handle = OpenDevice(Widen(a.Device), root);
    if (!handle) {
        const uint32_t error = GetLastError();
        if (error == ERROR_INVALID_NAME) {
            return Fail("cannot open " + a.Device + " (not a device name)");
        }
        const std::string path = SocketPath(root, a.Device);
        struct stat st {};
        if (error == ERROR_FILE_NOT_FOUND && ::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
            return Fail("cannot open " + a.Device + " (no device socket at " + path +
                        "; is orvex-devmgr running?)");
        }
        return Fail("cannot open " + a.Device + " (" + ExplainError(error, ErrorTopic::Device) +
                    ")");
    }
    Session s(std::move(handle));

    if (a.Follow) {
        // Ctrl-C ends a follow normally; no SA_RESTART, so a sleep or a call
        // in progress returns at once.
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }

    if (cmd == "settings") {
        bool first = true;
        return Watch<TouchSettings::Size>(s, IOCTL_ORX_GET_SETTINGS, a.Follow,
                                          [&](std::span<const uint8_t, TouchSettings::Size> b) {
                                              if (!first)
                                                  std::printf("\n");
                                              first = false;
                                              PrintSettings(TouchSettings::Decode(b));
                                          });
    }
    if (cmd == "pointer") {
        return Watch<PointerState::Size>(s, IOCTL_ORX_GET_POINTER, a.Follow,
                                         [](std::span<const uint8_t, PointerState::Size> b) {
                                             PrintPointer(PointerState::Decode(b));
                                         });
    }
    if (cmd == "raw") {
        return Watch<RawPoint::Size>(
            s, IOCTL_ORX_GET_RAW_POINT, a.Follow,
            [](std::span<const uint8_t, RawPoint::Size> b) { PrintRaw(RawPoint::Decode(b)); });
    }
    if (cmd == "startup") {
        // The driver answers this code with FALSE by design; only a lost
        // connection is a failure.
        uint32_t r = s.Handle().IoControl(IOCTL_ORX_STARTUP, nullptr, 0, nullptr, 0, nullptr);
        uint32_t error = GetLastError();
        if (r == 0 && error == ERROR_DEVICE_NOT_CONNECTED) {
            return Fail("the device host closed the connection");
        }
        std::printf("start-up code sent (result=%u)\n", r);
        return 0;
    }
    if (cmd == "right-click")
        return RightClick(s, rightClick);
    if (cmd == "set-feedback")
        return SetFeedback(s, numbers);
    if (cmd == "set-calibration")
        return SetCalibration(s, numbers);
    return RawIoctl(s, ioctl);
}

}  // namespace
}  // namespace orvex

int main(int argc, char** argv) {
    try {
        return orvex::Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvexctl: %s\n", e.what());
        return orvex::ExitFailure;
    }
}
