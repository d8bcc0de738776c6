#include "platform/host-status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/uniquefd.h"

namespace orvex {

namespace {

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

// One line's worth of text: no line breaks or other controls (a backend's
// line may quote a name from the registry), and a bound on its length that
// does not split a character.
std::string Clean(std::string_view text) {
    std::string s;
    for (char c : text.substr(0, MaxHostStatusValue)) {
        const auto b = static_cast<unsigned char>(c);
        s.push_back(b < 0x20 || b == 0x7F ? ' ' : c);
    }
    if (text.size() > MaxHostStatusValue) {
        while (!s.empty() && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80)
            s.pop_back();
        if (!s.empty() && static_cast<unsigned char>(s.back()) >= 0xC0)
            s.pop_back();
    }
    return s;
}

// The driver's lines about its controller, as it prints them, and what each
// says of the port.
struct ControllerLine {
    std::string_view Start;
    const char* State;
};
constexpr ControllerLine ControllerLines[] = {
    {"TouchScreen found on ", "found"}, {"Touch controller is back", "found"},
    {"Detecting ", "detecting"},        {"No TouchScreen found", "not-found"},
    {"Failed to open ", "cannot-open"}, {"Lost connection to the touch controller", "lost"},
};

std::string Format(const HostStatusRecord& r) {
    std::string out;
    auto put = [&](const char* key, const std::string& value) {
        out += key;
        out += '=';
        out += value;
        out += '\n';
    };
    put("pid", std::to_string(r.Pid));
    put("started", std::to_string(r.Started));
    put("backend", r.Backend);
    put("why", r.Why);
    put("connected", r.Connected);
    put("covers", r.Covers);
    put("serial", r.Serial);
    put("serial-state", r.SerialState);
    put("serial-time", std::to_string(r.SerialTime));
    put("last", r.Last);
    put("last-time", std::to_string(r.LastTime));
    return out;
}

int64_t Number(std::string_view s) {
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size() ? v : 0;
}

}  // namespace

HostStatus::HostStatus(std::string root)
    : Root_(std::move(root)), Sharing_(CurrentFileSharing(Root_)) {
    Record_.Pid = ::getpid();
    Record_.Started = Now();
}

void HostStatus::SetInput(const HostInputChoice& choice) {
    std::lock_guard g(Lock_);
    Record_.Backend = Clean(choice.Backend);
    Record_.Why = Clean(choice.Why);
    Record_.Connected = Clean(choice.Connected);
    Record_.Covers = Clean(choice.Covers);
    WriteLocked();
}

void HostStatus::NoteBackendLine(std::string_view line) {
    std::lock_guard g(Lock_);
    Record_.Last = Clean(line);
    Record_.LastTime = Now();
    // A backend that waited for its display, lost it or followed a change
    // says what the pointer covers now; the start's words are history then.
    for (std::string_view mark :
         {"the pointer covers the ", "the pointer now covers the ", "the pointer covers "}) {
        if (const size_t at = line.find(mark); at != line.npos) {
            Record_.Covers = Clean(line.substr(at + mark.size()));
            break;
        }
    }
    if (line.find(" went away; ") != line.npos)
        Record_.Covers = "nothing until the display is back";
    WriteLocked();
}

void HostStatus::NoteDriverLine(std::string_view text) {
    constexpr std::string_view Prefix = "ORVEXSER: ";
    if (text.substr(0, Prefix.size()) != Prefix)
        return;
    text.remove_prefix(Prefix.size());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    for (const ControllerLine& known : ControllerLines) {
        if (text.substr(0, known.Start.size()) != known.Start)
            continue;
        std::lock_guard g(Lock_);
        Record_.Serial = Clean(text);
        Record_.SerialState = known.State;
        Record_.SerialTime = Now();
        WriteLocked();
        return;
    }
}

// Best effort: a host whose record cannot be written still serves; doctor
// then says there is no record.
void HostStatus::WriteLocked() {
    const std::string path = Root_ + "/dev/" + HostStatusFile;
    const std::string fresh = path + ".new";
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(fresh.c_str(), flags, 0600));
    if (!fd && errno == EEXIST && ::unlink(fresh.c_str()) == 0)
        fd = UniqueFd(::open(fresh.c_str(), flags, 0600));
    if (!fd)
        return;
    const std::string text = Format(Record_);
    bool ok = static_cast<size_t>(::write(fd.Get(), text.data(), text.size())) == text.size();
    if (ok && Sharing_.AsRoot && Sharing_.WithGroup)
        ok = ::fchown(fd.Get(), 0, Sharing_.Group) == 0;
    ok = ok && ::fchmod(fd.Get(), EffectiveMode(HostStatusMode, Sharing_)) == 0;
    if (!ok || ::rename(fresh.c_str(), path.c_str()) != 0)
        (void)::unlink(fresh.c_str());
}

std::optional<HostStatusRecord> ReadHostStatus(const std::string& root, std::string* why) {
    const std::string path = root + "/dev/" + HostStatusFile;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        *why = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(MaxHostStatusBytes)) {
        *why = path + " is not a host's record (not a plain file, or larger than " +
               std::to_string(MaxHostStatusBytes) + " bytes)";
        return std::nullopt;
    }
    std::string text(MaxHostStatusBytes + 1, '\0');
    size_t got = 0;
    for (ssize_t n;
         got < text.size() && (n = ::read(fd.Get(), text.data() + got, text.size() - got)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *why = path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        got += static_cast<size_t>(n);
    }
    if (got > MaxHostStatusBytes) {
        *why = path + " grew past " + std::to_string(MaxHostStatusBytes) + " bytes";
        return std::nullopt;
    }
    text.resize(got);

    HostStatusRecord r;
    std::pair<const char*, std::string*> strings[] = {
        {"backend", &r.Backend}, {"why", &r.Why},       {"connected", &r.Connected},
        {"covers", &r.Covers},   {"serial", &r.Serial}, {"serial-state", &r.SerialState},
        {"last", &r.Last}};
    std::pair<const char*, int64_t*> numbers[] = {{"pid", &r.Pid},
                                                  {"started", &r.Started},
                                                  {"serial-time", &r.SerialTime},
                                                  {"last-time", &r.LastTime}};
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        bool plain = true;
        for (char c : value)
            plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
        for (auto& [name, field] : strings) {
            if (key == name)
                *field = plain ? std::string(value) : std::string();
        }
        for (auto& [name, field] : numbers) {
            if (key == name)
                *field = Number(value);
        }
    }
    return r;
}

}  // namespace orvex
