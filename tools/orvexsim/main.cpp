// orvexsim: a simulated serial touch controller on a pseudo-terminal, for
// demonstrations, tests and users without a panel.
//
// A pty carries no modem lines, so our serial platform keeps RTS and DTR in
// termios flags that do nothing on a raw pty (RTS: CMSPAR in c_cflag, DTR:
// ECHOCTL in c_lflag). tcgetattr() on the master returns the slave's
// settings, so polling it shows the line rate and both lines as the host
// sets them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/uniquefd.h"
#include "tools/orvexsim/controller.h"
#include "tools/orvexsim/script.h"

namespace orvex {
namespace {

volatile sig_atomic_t StopSignal = 0;
extern "C" void OnStopSignal(int) {
    StopSignal = 1;
}
volatile sig_atomic_t PlaySignal = 0;
extern "C" void OnPlaySignal(int) {
    PlaySignal = 1;
}

constexpr tcflag_t VirtualRts = CMSPAR;
constexpr tcflag_t VirtualDtr = ECHOCTL;
// How long the host must leave the line alone after the handshake before we
// take it that detection settled on us.
constexpr uint64_t DetectSettleMs = 300;
// With --timed: how long the controller takes to start answering once it has
// heard a command (or seen RTS rise).
constexpr uint64_t TurnaroundUs = 2000;

const char Usage[] =
    "usage: orvexsim [--protocol ts|el] [--rate N] [--model XY] [--garble] [--timed]\n"
    "                [--demo | --script FILE] [--wait-detect | --wait-signal] [--link PATH]\n"
    "                [--reopen-after MS [--reopen-count N]] [--quiet]\n"
    "Prints the terminal's path on the first line, then status lines.\n"
    "--timed keeps line time: every byte takes 10 bits at the line's rate both\n"
    "ways, and commands are answered only once they have crossed the wire.\n"
    "--wait-signal plays the script when SIGUSR1 arrives (again from the top on each).\n";

struct Options {
    SimConfig Sim;
    std::string LinkPath;
    std::string ScriptPath;
    bool Demo = false;
    bool WaitDetect = false;
    bool WaitSignal = false;
    bool Quiet = false;
    bool Timed = false;
    uint32_t ReopenAfterMs = 0;
    uint32_t ReopenCount = 1;
};

bool ParseUnsigned(const char* text, uint32_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFul) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Returns 0 to run, or the exit code to leave with.
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            std::fputs(Usage, stdout);
            return -1;
        } else if (a == "--garble") {
            o->Sim.Garble = true;
        } else if (a == "--demo") {
            o->Demo = true;
        } else if (a == "--wait-detect") {
            o->WaitDetect = true;
        } else if (a == "--wait-signal") {
            o->WaitSignal = true;
        } else if (a == "--quiet") {
            o->Quiet = true;
        } else if (a == "--timed") {
            o->Timed = true;
        } else if (a == "--protocol" && (v = value())) {
            const std::string_view p = v;
            if (p == "ts") {
                o->Sim.Protocol = ReportProtocol::TS;
            } else if (p == "el") {
                o->Sim.Protocol = ReportProtocol::EL;
            } else {
                std::fprintf(stderr, "orvexsim: --protocol takes ts or el\n");
                return 2;
            }
        } else if (a == "--rate" && (v = value())) {
            if (!ParseUnsigned(v, &o->Sim.Rate) || !IsSimRate(o->Sim.Rate)) {
                std::fprintf(stderr,
                             "orvexsim: --rate takes 38400, 19200, 9600, 4800, 2400 or 1200\n");
                return 2;
            }
        } else if (a == "--model" && (v = value())) {
            const std::string_view m = v;
            if (m.size() != 2 || m[0] < 0x21 || m[0] > 0x7E || m[1] < 0x21 || m[1] > 0x7E) {
                std::fprintf(stderr, "orvexsim: --model takes two printable characters\n");
                return 2;
            }
            o->Sim.Model = {static_cast<uint8_t>(m[0]), static_cast<uint8_t>(m[1])};
        } else if (a == "--script" && (v = value())) {
            o->ScriptPath = v;
        } else if (a == "--link" && (v = value())) {
            o->LinkPath = v;
        } else if (a == "--reopen-after" && (v = value())) {
            if (!ParseUnsigned(v, &o->ReopenAfterMs) || o->ReopenAfterMs == 0) {
                std::fprintf(stderr, "orvexsim: --reopen-after takes milliseconds above 0\n");
                return 2;
            }
        } else if (a == "--reopen-count" && (v = value())) {
            if (!ParseUnsigned(v, &o->ReopenCount)) {
                std::fprintf(stderr, "orvexsim: --reopen-count takes a number\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "orvexsim: bad or incomplete option %s\n%s", argv[i], Usage);
            return 2;
        }
    }
    if (o->WaitDetect && o->WaitSignal) {
        std::fprintf(stderr, "orvexsim: --wait-detect and --wait-signal exclude each other\n");
        return 2;
    }
    if (o->Demo && !o->ScriptPath.empty()) {
        std::fprintf(stderr, "orvexsim: --demo and --script exclude each other\n");
        return 2;
    }
    return 0;
}

uint32_t SpeedToRate(speed_t s) {
    switch (s) {
        case B50:
            return 50;
        case B75:
            return 75;
        case B110:
            return 110;
        case B134:
            return 134;
        case B150:
            return 150;
        case B200:
            return 200;
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B1800:
            return 1800;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

uint64_t NowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint64_t NowMs() {
    return NowUs() / 1000;
}

// One character (start, 8 data, stop bits) on the wire.
uint64_t CharacterUs(uint32_t rate) {
    return 10'000'000ull / (rate ? rate : 9600);
}

// The master side of a fresh pseudo-terminal, its slave raw and both virtual
// lines off, as a port nobody has touched yet.
struct Pty {
    UniqueFd Master;
    std::string SlavePath;
    termios Initial{};
};

std::optional<Pty> OpenPty() {
    Pty p;
    p.Master = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (p.Master.Get() < 0 || ::grantpt(p.Master.Get()) != 0 || ::unlockpt(p.Master.Get()) != 0) {
        std::fprintf(stderr, "orvexsim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return std::nullopt;
    }
    char name[128];
    if (::ptsname_r(p.Master.Get(), name, sizeof name) != 0) {
        std::fprintf(stderr, "orvexsim: ptsname: %s\n", std::strerror(errno));
        return std::nullopt;
    }
    p.SlavePath = name;
    // Raw, so that nothing we send is echoed back to us or altered before
    // the host has set the port up; a fresh pty has ECHOCTL (our DTR) set,
    // which would read as a raised line.
    termios t{};
    if (::tcgetattr(p.Master.Get(), &t) == 0) {
        ::cfmakeraw(&t);
        t.c_cflag &= ~VirtualRts;
        t.c_lflag &= ~VirtualDtr;
        ::tcsetattr(p.Master.Get(), TCSANOW, &t);
    }
    if (::tcgetattr(p.Master.Get(), &p.Initial) != 0) {
        std::fprintf(stderr, "orvexsim: tcgetattr: %s\n", std::strerror(errno));
        return std::nullopt;
    }
    return p;
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

// Points linkPath at target as one step: a reader sees the old link or the
// new one, never none.
bool PlaceLink(const std::string& linkPath, const std::string& target) {
    const std::string temp = linkPath + ".orvexsim-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        std::fprintf(stderr, "orvexsim: cannot create link %s: %s\n", temp.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (::rename(temp.c_str(), linkPath.c_str()) != 0) {
        std::fprintf(stderr, "orvexsim: cannot place link %s: %s\n", linkPath.c_str(),
                     std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

// Removes the link only while it is still ours.
void RemoveLink(const std::string& linkPath, const std::string& target) {
    char buf[256];
    const ssize_t n = ::readlink(linkPath.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = '\0';
    if (target == buf)
        ::unlink(linkPath.c_str());
}

class Simulator {
  public:
    Simulator(const Options& o, std::optional<Script> script)
        : O_(o),
          Model_(o.Sim, [this](std::span<const uint8_t> b) { Emit(b); }),
          Player_(script ? std::move(*script) : Script{}),
          HasScript_(script.has_value()) {}

    int Run();

  private:
    void Status(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Emit(std::span<const uint8_t> bytes);
    void Write(std::span<const uint8_t> bytes);
    // --timed: hands the controller the host's bytes that have crossed the
    // wire by nowUs, and writes ours that have.
    void MoveLineTime(uint64_t nowUs);
    int WaitUs(uint64_t nowUs) const;
    bool Reopen(uint64_t now);
    void PollOnce(uint64_t now);
    void WatchDetection(uint64_t now);
    void ReportModelEvents();

    const Options& O_;
    SimController Model_;
    ScriptPlayer Player_;
    bool HasScript_;
    Pty Pty_;
    // Someone has the slave open (as far as a pty lets us tell): nothing is
    // written otherwise, so that no stale report waits for the next opener.
    bool Present_ = false;
    bool HungUp_ = false;
    uint64_t DroppedBytes_ = 0;
    uint32_t SeenGeneration_ = 0;
    uint64_t EngagedSince_ = 0;
    bool Detected_ = false;
    SimController::Counters Reported_;

    // --timed: bytes on their way, each with the moment it has crossed.
    struct Timed {
        uint8_t Byte;
        uint64_t AtUs;
    };
    std::deque<Timed> ToHost_;
    std::deque<Timed> FromHost_;
    // Bounds what a host that stopped reading can make us hold.
    static constexpr size_t MaxOnTheWire = 4096;
    // Queues bytes that set off at fromUs; returns how many did not fit.
    size_t PutOnTheWire(std::deque<Timed>& wire, std::span<const uint8_t> bytes,
                        uint64_t fromUs) const;
};

void Simulator::Status(const char* format, ...) {
    if (O_.Quiet)
        return;
    std::fputs("orvexsim: ", stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Simulator::Emit(std::span<const uint8_t> bytes) {
    if (!Present_ || Pty_.Master.Get() < 0) {
        DroppedBytes_ += bytes.size();
        return;
    }
    if (!O_.Timed) {
        Write(bytes);
        return;
    }
    DroppedBytes_ += PutOnTheWire(ToHost_, bytes, NowUs() + TurnaroundUs);
}

size_t Simulator::PutOnTheWire(std::deque<Timed>& wire, std::span<const uint8_t> bytes,
                               uint64_t fromUs) const {
    // Each byte has crossed once its 10 bits have, after those already on
    // their way.
    const uint64_t character = CharacterUs(Model_.LineRate());
    uint64_t at = wire.empty() ? fromUs : std::max(fromUs, wire.back().AtUs);
    const size_t fit = std::min(bytes.size(), MaxOnTheWire - wire.size());
    for (size_t i = 0; i < fit; ++i)
        wire.push_back({bytes[i], at += character});
    return bytes.size() - fit;
}

void Simulator::MoveLineTime(uint64_t nowUs) {
    if (!Present_) {
        // Nobody to hear it: no stale bytes wait for the next opener.
        DroppedBytes_ += ToHost_.size();
        ToHost_.clear();
        FromHost_.clear();
        return;
    }
    while (!FromHost_.empty() && FromHost_.front().AtUs <= nowUs) {
        const uint8_t b = FromHost_.front().Byte;
        FromHost_.pop_front();
        Model_.OnBytesFromHost(std::span<const uint8_t>(&b, 1));
    }
    uint8_t due[256];
    size_t n = 0;
    while (!ToHost_.empty() && ToHost_.front().AtUs <= nowUs) {
        due[n++] = ToHost_.front().Byte;
        ToHost_.pop_front();
        if (n == sizeof due) {
            Write(std::span<const uint8_t>(due, n));
            n = 0;
        }
    }
    if (n > 0)
        Write(std::span<const uint8_t>(due, n));
}

int Simulator::WaitUs(uint64_t nowUs) const {
    uint64_t wait = 1000;  // the pace at which the line state is watched
    for (const auto* q : {&ToHost_, &FromHost_}) {
        if (!q->empty())
            wait = std::min(wait, q->front().AtUs > nowUs ? q->front().AtUs - nowUs : 0);
    }
    return static_cast<int>(wait);
}

void Simulator::Write(std::span<const uint8_t> bytes) {
    // The master is non-blocking: a full buffer (a host that stopped
    // reading) loses the rest of the report rather than stalling us.
    const ssize_t n = ::write(Pty_.Master.Get(), bytes.data(), bytes.size());
    if (n < 0) {
        DroppedBytes_ += bytes.size();
    } else if (static_cast<size_t>(n) < bytes.size()) {
        DroppedBytes_ += bytes.size() - static_cast<size_t>(n);
    }
}

bool Simulator::Reopen(uint64_t now) {
    // The new terminal is opened before the old one closes, so that it gets
    // a different name: a host holding the old one sees it go away.
    auto next = OpenPty();
    if (!next)
        return false;
    if (!O_.LinkPath.empty())
        PlaceLink(O_.LinkPath, next->SlavePath);
    Pty_ = std::move(*next);
    Model_.Reset();
    ToHost_.clear();
    FromHost_.clear();
    Present_ = false;
    HungUp_ = false;
    Detected_ = false;
    if (O_.WaitDetect)
        Player_.Stop();
    std::printf("%s\n", Pty_.SlavePath.c_str());
    std::fflush(stdout);
    Status("reopened as a new terminal at %llu ms", static_cast<unsigned long long>(now));
    return true;
}

void Simulator::ReportModelEvents() {
    const auto& c = Model_.Count();
    if (c.Signatures != Reported_.Signatures) {
        Status("sent signature [%c%c]", Model_.Config().Model[0], Model_.Config().Model[1]);
    }
    if (c.Garbles != Reported_.Garbles) {
        Status("RTS rose at %u BPS: sent noise", Model_.LineRate());
    }
    if (c.Acks != Reported_.Acks)
        Status("acknowledged command 0x%02X", Model_.LastCommand());
    if (c.BadCommands != Reported_.BadCommands)
        Status("ignored a command with a bad checksum");
    Reported_ = c;
}

void Simulator::PollOnce(uint64_t now) {
    pollfd pf{Pty_.Master.Get(), POLLIN, 0};
    const int waitUs = O_.Timed ? WaitUs(NowUs()) : 1000;
    const timespec timeout{0, static_cast<long>(waitUs) * 1000};
    const int r = ::ppoll(&pf, 1, &timeout, nullptr);
    if (r > 0 && (pf.revents & POLLHUP)) {
        if (!HungUp_) {
            HungUp_ = true;
            Present_ = false;
            Status("the host closed the terminal");
        }
        // A hung-up master polls ready at once; keep to our 1 ms pace.
        ::poll(nullptr, 0, 1);
    } else if (HungUp_) {
        HungUp_ = false;
        Present_ = true;
        Status("the host opened the terminal");
    }

    // Line state first: bytes read now were most likely written at the
    // rate that is set now.
    termios t{};
    if (::tcgetattr(Pty_.Master.Get(), &t) == 0) {
        if (!Present_ && !HungUp_ && !SameSettings(t, Pty_.Initial))
            Present_ = true;
        const uint32_t rate = SpeedToRate(::cfgetospeed(&t));
        const bool rts = (t.c_cflag & VirtualRts) != 0;
        const bool dtr = (t.c_lflag & VirtualDtr) != 0;
        if (rate != Model_.LineRate() || rts != Model_.Rts() || dtr != Model_.Dtr()) {
            Status("line %u BPS, RTS %s, DTR %s", rate, rts ? "on" : "off", dtr ? "on" : "off");
            if (rate != Model_.LineRate()) {
                // What was on its way at the old rate is noise at the new one.
                ToHost_.clear();
                FromHost_.clear();
            }
            Model_.OnLineState(rate, rts, dtr);
        }
    }

    if (r > 0 && (pf.revents & POLLIN)) {
        uint8_t buf[256];
        for (;;) {
            const ssize_t n = ::read(Pty_.Master.Get(), buf, sizeof buf);
            if (n <= 0)
                break;
            if (!HungUp_)
                Present_ = true;
            if (!O_.Timed) {
                Model_.OnBytesFromHost(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
                continue;
            }
            // The host's bytes are heard once they have crossed the wire; what
            // does not fit is lost without a count.
            PutOnTheWire(FromHost_, std::span<const uint8_t>(buf, static_cast<size_t>(n)), NowUs());
        }
    }
    if (O_.Timed)
        MoveLineTime(NowUs());
    ReportModelEvents();
    WatchDetection(now);
}

void Simulator::WatchDetection(uint64_t now) {
    if (!Model_.Engaged()) {
        if (Detected_)
            Status("the host left the controller's rate");
        Detected_ = false;
        SeenGeneration_ = Model_.Generation();
        EngagedSince_ = now;
        return;
    }
    if (Model_.Generation() != SeenGeneration_) {
        SeenGeneration_ = Model_.Generation();
        EngagedSince_ = now;
        return;
    }
    if (Detected_ || now - EngagedSince_ < DetectSettleMs)
        return;
    Detected_ = true;
    Status("detected by the host at %u BPS", Model_.LineRate());
    if (O_.WaitDetect && HasScript_ && !Player_.Started()) {
        Player_.Start(now);
        Status("playing");
    }
}

int Simulator::Run() {
    auto first = OpenPty();
    if (!first)
        return 1;
    Pty_ = std::move(*first);
    if (!O_.LinkPath.empty() && !PlaceLink(O_.LinkPath, Pty_.SlavePath))
        return 1;
    std::printf("%s\n", Pty_.SlavePath.c_str());
    std::fflush(stdout);
    Status("%s controller, model [%c%c], %u BPS%s%s%s",
           O_.Sim.Protocol == ReportProtocol::TS ? "TS" : "EL", O_.Sim.Model[0], O_.Sim.Model[1],
           O_.Sim.Rate, O_.Sim.Garble ? ", garbled at other rates" : "",
           O_.Timed ? ", line time kept" : "",
           O_.LinkPath.empty() ? "" : (", link " + O_.LinkPath).c_str());

    const uint64_t start = NowMs();
    uint64_t nextReopen = O_.ReopenAfterMs ? start + O_.ReopenAfterMs : 0;
    uint32_t reopensLeft = O_.ReopenAfterMs ? O_.ReopenCount : 0;
    if (HasScript_ && !O_.WaitDetect && !O_.WaitSignal) {
        Player_.Start(start);
        Status("playing");
    }
    bool announcedEnd = false;

    while (!StopSignal) {
        const uint64_t now = NowMs();
        if (reopensLeft > 0 && now >= nextReopen) {
            if (!Reopen(now - start))
                return 1;
            --reopensLeft;
            nextReopen = now + O_.ReopenAfterMs;
        }
        PollOnce(now);
        if (PlaySignal && HasScript_) {
            PlaySignal = 0;
            Player_.Start(now);
            announcedEnd = false;
            Status("playing");
        }
        Player_.Run(NowMs(), Model_);
        if (HasScript_ && Player_.Finished() && !announcedEnd) {
            announcedEnd = true;
            Status("script finished");
        }
    }
    if (!O_.LinkPath.empty())
        RemoveLink(O_.LinkPath, Pty_.SlavePath);
    Status("stopped; %llu reports, %llu bytes dropped",
           static_cast<unsigned long long>(Model_.Count().Reports),
           static_cast<unsigned long long>(DroppedBytes_));
    return 0;
}

int Main(int argc, char** argv) {
    Options o;
    if (const int rc = ParseOptions(argc, argv, &o))
        return rc < 0 ? 0 : rc;

    std::optional<Script> script;
    if (o.Demo) {
        script = DemoScript();
    } else if (!o.ScriptPath.empty()) {
        std::ifstream in(o.ScriptPath, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "orvexsim: cannot read %s\n", o.ScriptPath.c_str());
            return 2;
        }
        std::ostringstream text;
        text << in.rdbuf();
        ScriptError error;
        script = ParseScript(text.str(), &error);
        if (!script) {
            std::fprintf(stderr, "orvexsim: %s:%zu: %s\n", o.ScriptPath.c_str(), error.Line,
                         error.Message.c_str());
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    struct sigaction play {};
    play.sa_handler = OnPlaySignal;
    sigemptyset(&play.sa_mask);
    ::sigaction(SIGUSR1, &play, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Simulator sim(o, std::move(script));
    return sim.Run();
}

}  // namespace
}  // namespace orvex

int main(int argc, char** argv) {
    return orvex::Main(argc, argv);
}
