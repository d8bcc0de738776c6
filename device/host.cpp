#include "device/host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "device/streamdriver.h"
#include "device/wire.h"
#include "platform/lasterror.h"

namespace orvex {

namespace {

using devwire::UniqueFd;

constexpr char16_t BuiltInKey[] = u"Drivers\\BuiltIn";
// Past this many open handles on one device, new connections are refused:
// each one costs a thread. Root and the host's own user are not counted, so
// their tools always get through.
constexpr size_t MaxConnectionsPerDevice = 512;
// And one user may not take them all.
constexpr size_t MaxConnectionsPerUser = 64;
// The host's lines about connections are at most this many of each kind per
// window; the rest are counted and the count is told.
constexpr unsigned NoisyLinesPerWindow = 10;
constexpr auto NoisyLineWindow = std::chrono::seconds(10);
enum Noise { NoiseRefused, NoiseTooMany, NoiseTooLarge, NoiseMalformed, NoiseKinds };
constexpr const char* NoiseNames[NoiseKinds] = {"refused connections", "too many open handles",
                                                "requests too large", "malformed requests"};
constexpr size_t MaxPrefixLength = 16;

bool ReadString(Registry& reg, RegKey key, std::u16string_view name, std::string* out) {
    uint32_t type = 0, size = 0;
    if (reg.QueryValue(key, name, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    std::vector<uint8_t> data(size);
    if (reg.QueryValue(key, name, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    std::u16string text;
    for (size_t i = 0; i + 1 < std::min<size_t>(size, data.size()); i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0)
            break;
        text.push_back(c);
    }
    *out = Utf16ToUtf8(text);
    return true;
}

bool ReadDword(Registry& reg, RegKey key, std::u16string_view name, uint32_t* out) {
    uint32_t type = 0, size = 4;
    uint8_t data[4] = {};
    if (reg.QueryValue(key, name, &type, data, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != 4)
        return false;
    *out = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
           (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
    return true;
}

// One registered driver, as its key describes it.
struct DriverKey {
    std::string KeyName;
    std::string Dll;
    std::string Prefix;
    uint32_t Index = 0;
    uint32_t Order = 0xFFFFFFFFu;
    bool HasIoctl = false;
    uint32_t Ioctl = 0;
};

bool ValidPrefix(const std::string& p) {
    if (p.empty() || p.size() > MaxPrefixLength)
        return false;
    if (!std::isalpha(static_cast<unsigned char>(p[0])))
        return false;
    return std::all_of(p.begin(), p.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

struct ModuleCloser {
    void operator()(void* h) const {
        if (h != nullptr)
            ::dlclose(h);
    }
};
using ModulePtr = std::unique_ptr<void, ModuleCloser>;

struct EntryPoints {
    StreamInitFn Init = nullptr;
    StreamDeinitFn Deinit = nullptr;
    StreamOpenFn Open = nullptr;
    StreamCloseFn Close = nullptr;
    StreamReadFn Read = nullptr;
    StreamWriteFn Write = nullptr;
    StreamSeekFn Seek = nullptr;
    StreamIoControlFn IoControl = nullptr;
};

struct Connection {
    // Guards Fd between the serving thread, which closes it when done, and
    // Stop, which shuts it down to wake the thread.
    std::mutex Lock;
    UniqueFd Fd;
    std::thread Thread;
    std::atomic<bool> Done{false};
    uint32_t Uid = 0;
    bool Counted = false;  // against the limits for other users
};

struct Device {
    std::string Name;  // "ORX1"
    std::string SocketPath;
    std::string LockPath;
    std::string ModulePath;
    ModulePtr Module;
    EntryPoints Fn;
    uint32_t Context = 0;
    UniqueFd Listen;
    UniqueFd Lock;  // flock on LockPath while the device is served
    std::thread Acceptor;
    std::mutex ConnectionsLock;
    std::list<std::unique_ptr<Connection>> Connections;
    size_t Counted = 0;  // connections of other users (under ConnectionsLock)
};

template <class F>
F Symbol(void* module, const std::string& prefix, const char* name) {
    const std::string symbol = prefix + "_" + name;
    return reinterpret_cast<F>(::dlsym(module, symbol.c_str()));
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string SuppressedLine(Noise kind, unsigned count) {
    return Format("%u more lines about %s were suppressed", count, NoiseNames[kind]);
}

}  // namespace

struct DeviceHost::Impl {
    explicit Impl(DebugOutput& log) : Log(log) {}

    DebugOutput& Log;
    std::mutex StateLock;  // Start and Stop
    bool Started = false;
    bool Stopped = false;
    std::atomic<bool> Cancelled{false};
    UniqueFd StopRead, StopWrite;  // written once by Stop; wakes every acceptor
    std::vector<std::unique_ptr<Device>> Devices;
    FileSharing Sharing;
    std::string Group;

    // Open handles per user, over all devices (users other than root and
    // the host's own).
    std::mutex UsersLock;
    std::map<uint32_t, size_t> PerUser;

    struct NoiseWindow {
        std::chrono::steady_clock::time_point Start{};
        unsigned Shown = 0;
        unsigned Suppressed = 0;
    };
    std::mutex NoisyLock;
    NoiseWindow Noises[NoiseKinds];

    void Line(const std::string& text) { Log.Print("orvex-devmgr: " + text + "\n"); }
    // A line that a peer can provoke at will: rate-limited, so a flood of
    // bad connections cannot flood the log (or slow the host with it).
    void NoisyLine(Noise kind, const std::string& text);
    void TellSuppressed();
    // Sends a hello with the error and lets the connection go.
    void Refuse(Device& d, UniqueFd fd, uint32_t error, Noise kind, const std::string& why);
    void Release(Device& d, Connection& c);

    std::vector<DriverKey> ReadKeys(Registry& reg);
    std::string ResolveDll(const std::string& dll, const std::vector<std::string>& dirs);
    bool Claim(Device& d, const std::string& root);
    bool Publish(Device& d);
    void Load(const DriverKey& key, const std::string& root, const std::vector<std::string>& dirs);
    void Accept(Device& d);
    void Serve(Device& d, Connection& c);
    void Exchange(Device& d, int fd, uint32_t open);
    std::vector<uint8_t> Execute(Device& d, uint32_t open, const devwire::Request& r);
    void Reap(Device& d);
    void StopDevice(Device& d);
    void Unpublish(Device& d);
};

void DeviceHost::Impl::NoisyLine(Noise kind, const std::string& text) {
    std::string summary;
    bool print = false;
    {
        std::lock_guard g(NoisyLock);
        NoiseWindow& w = Noises[kind];
        const auto now = std::chrono::steady_clock::now();
        if (now - w.Start >= NoisyLineWindow) {
            if (w.Suppressed > 0)
                summary = SuppressedLine(kind, w.Suppressed);
            w = NoiseWindow{now, 0, 0};
        }
        print = w.Shown < NoisyLinesPerWindow;
        if (print)
            ++w.Shown;
        else
            ++w.Suppressed;
    }
    if (!summary.empty())
        Line(summary);
    if (print)
        Line(text);
}

void DeviceHost::Impl::TellSuppressed() {
    for (int kind = 0; kind < NoiseKinds; ++kind) {
        unsigned suppressed = 0;
        {
            std::lock_guard g(NoisyLock);
            std::swap(suppressed, Noises[kind].Suppressed);
        }
        if (suppressed > 0)
            Line(SuppressedLine(static_cast<Noise>(kind), suppressed));
    }
}

void DeviceHost::Impl::Refuse(Device& d, UniqueFd fd, uint32_t error, Noise kind,
                              const std::string& why) {
    // A fresh connection's send buffer is empty: this never blocks.
    (void)devwire::SendPacket(fd.Get(), devwire::EncodeHello(error));
    NoisyLine(kind, d.Name + ": " + why);
}

void DeviceHost::Impl::Release(Device& d, Connection& c) {
    if (!c.Counted)
        return;
    c.Counted = false;
    {
        std::lock_guard g(UsersLock);
        auto it = PerUser.find(c.Uid);
        if (it != PerUser.end() && --it->second == 0)
            PerUser.erase(it);
    }
    std::lock_guard g(d.ConnectionsLock);
    --d.Counted;
}

void DeviceHost::Impl::Unpublish(Device& d) {
    d.Listen.Reset();
    ::unlink(d.SocketPath.c_str());
    // Removed while still locked, so no other host can take a lock on a file
    // that is about to vanish.
    ::unlink(d.LockPath.c_str());
    d.Lock.Reset();
}

std::vector<DriverKey> DeviceHost::Impl::ReadKeys(Registry& reg) {
    std::vector<DriverKey> keys;
    RegKey builtIn = 0;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, BuiltInKey, 0, &builtIn) != ERROR_SUCCESS) {
        Line("no key HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn");
        return keys;
    }
    std::vector<std::u16string> names;
    const uint32_t rc = reg.EnumSubKeys(builtIn, &names);
    reg.CloseKey(builtIn);  // nothing to do about a failing close of a read-only key
    if (rc != ERROR_SUCCESS) {
        Line(Format("cannot list HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn (error %" PRIu32 ")", rc));
        return keys;
    }
    for (const auto& name : names) {
        RegKey key = 0;
        const std::u16string path = std::u16string(BuiltInKey) + u"\\" + name;
        if (reg.OpenKey(HKEY_LOCAL_MACHINE, path, 0, &key) != ERROR_SUCCESS)
            continue;
        DriverKey k;
        k.KeyName = Utf16ToUtf8(name);
        uint32_t dllType = 0, dllSize = 0;
        const bool dllPresent =
            reg.QueryValue(key, u"Dll", &dllType, nullptr, &dllSize) == ERROR_SUCCESS;
        const bool hasDll = ReadString(reg, key, u"Dll", &k.Dll);
        const bool hasPrefix = ReadString(reg, key, u"Prefix", &k.Prefix);
        const bool hasIndex = ReadDword(reg, key, u"Index", &k.Index);
        k.HasIoctl = ReadDword(reg, key, u"Ioctl", &k.Ioctl);
        ReadDword(reg, key, u"Order", &k.Order);  // optional: unordered keys load last
        reg.CloseKey(key);
        if (!dllPresent)
            continue;  // not a driver key
        if (!hasDll) {
            Line(Format("skipping Drivers\\BuiltIn\\%s: its Dll is of type %" PRIu32
                        ", not a string (REG_SZ) naming the module",
                        k.KeyName.c_str(), dllType));
            continue;
        }
        if (k.Dll.empty()) {
            Line("skipping Drivers\\BuiltIn\\" + k.KeyName +
                 ": its Dll is empty; it must name the module file");
            continue;
        }
        if (!hasPrefix || !hasIndex) {
            Line("skipping Drivers\\BuiltIn\\" + k.KeyName + ": it needs Dll, Prefix and Index");
            continue;
        }
        keys.push_back(std::move(k));
    }
    std::stable_sort(keys.begin(), keys.end(), [](const DriverKey& a, const DriverKey& b) {
        return a.Order != b.Order ? a.Order < b.Order : a.KeyName < b.KeyName;
    });
    return keys;
}

std::string DeviceHost::Impl::ResolveDll(const std::string& dll,
                                         const std::vector<std::string>& dirs) {
    if (dll.empty())
        return {};
    if (dll.front() == '/')
        return dll;
    if (dll.find('/') != std::string::npos) {
        Line("Dll \"" + dll + "\" must be a file name or an absolute path");
        return {};
    }
    std::string tried;
    for (const auto& dir : dirs) {
        const std::string path = std::filesystem::path(dir + "/" + dll).lexically_normal().string();
        if (::access(path.c_str(), R_OK) == 0)
            return path;
        tried += (tried.empty() ? "" : ", ") + dir;
    }
    Line("cannot find " + dll + " in " + tried);
    return {};
}

bool DeviceHost::Impl::Claim(Device& d, const std::string& root) {
    const std::string devDir = root + "/dev";
    std::string why;
    if (!PrepareFolder(devDir, DeviceFolderMode, Sharing, &why)) {
        Line(why);
        return false;
    }
    d.SocketPath = devDir + "/" + d.Name;
    if (d.SocketPath.size() >= sizeof(sockaddr_un::sun_path)) {
        Line("socket path too long: " + d.SocketPath);
        return false;
    }
    // The device name is claimed with a lock on a file beside the socket: a
    // running host holds it, a host that died has released it with its last
    // descriptor. ('.' never appears in a device name, so no clash.)
    d.LockPath = d.SocketPath + ".lock";
    UniqueFd lock(::open(d.LockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock) {
        Line("cannot open " + d.LockPath + ": " + std::strerror(errno));
        return false;
    }
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        Line(d.Name + ": is already served by another host");
        return false;
    }
    struct stat st {};
    if (::lstat(d.SocketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            Line(d.SocketPath + " exists and is not a socket");
            ::unlink(d.LockPath.c_str());
            return false;
        }
        ::unlink(d.SocketPath.c_str());  // left over from a host that died
    }
    d.Lock = std::move(lock);
    return true;
}

bool DeviceHost::Impl::Publish(Device& d) {
    // The socket is bound and listening under a temporary name and then
    // renamed into place, so a program that sees the device's socket can
    // always connect to it.
    const std::string staging = d.SocketPath + ".new";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (staging.size() + 1 > sizeof addr.sun_path) {
        Line("socket path too long: " + staging);
        return false;
    }
    std::memcpy(addr.sun_path, staging.c_str(), staging.size() + 1);
    ::unlink(staging.c_str());
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        Line("cannot bind " + staging + ": " + std::strerror(errno));
        return false;
    }
    // Root and the group, or the host's own user: the peer check on every
    // connection holds even where a mode was widened by hand.
    if ((Sharing.AsRoot && Sharing.WithGroup && ::chown(staging.c_str(), 0, Sharing.Group) != 0) ||
        ::chmod(staging.c_str(), EffectiveMode(DeviceSocketMode, Sharing)) != 0) {
        Line("cannot set the owner and mode of " + staging + ": " + std::strerror(errno));
        ::unlink(staging.c_str());
        return false;
    }
    if (::listen(fd.Get(), 128) != 0 || ::rename(staging.c_str(), d.SocketPath.c_str()) != 0) {
        Line("cannot listen on " + d.SocketPath + ": " + std::strerror(errno));
        ::unlink(staging.c_str());
        return false;
    }
    d.Listen = std::move(fd);
    return true;
}

void DeviceHost::Impl::Load(const DriverKey& key, const std::string& root,
                            const std::vector<std::string>& dirs) {
    if (!ValidPrefix(key.Prefix)) {
        Line("skipping Drivers\\BuiltIn\\" + key.KeyName + ": bad Prefix \"" + key.Prefix + "\"");
        return;
    }
    auto d = std::make_unique<Device>();
    d->Name = key.Prefix + std::to_string(key.Index);
    for (const auto& other : Devices) {
        if (other->Name == d->Name) {
            Line("skipping Drivers\\BuiltIn\\" + key.KeyName + ": " + d->Name +
                 ": is already loaded");
            return;
        }
    }
    d->ModulePath = ResolveDll(key.Dll, dirs);
    if (d->ModulePath.empty())
        return;

    // As root, a module anybody else could have changed would run their code
    // as root (its constructors run inside dlopen): it is checked first, and
    // loaded from a place only root can change.
    std::string loadPath = d->ModulePath;
    if (Sharing.AsRoot) {
        std::string why;
        loadPath = TrustedModulePath(d->ModulePath, dirs, &why);
        if (loadPath.empty()) {
            struct stat st {};
            if (::lstat(d->ModulePath.c_str(), &st) != 0)
                Line("cannot load " + d->ModulePath + ": " + std::strerror(errno));
            else
                Line("skipping Drivers\\BuiltIn\\" + key.KeyName + ": refusing Dll " +
                     d->ModulePath + ": " + why);
            return;
        }
    }
    d->Module.reset(::dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!d->Module) {
        const char* why = ::dlerror();
        Line("cannot load " + d->ModulePath + ": " + (why != nullptr ? why : "unknown error"));
        return;
    }
    void* m = d->Module.get();
    const std::string& p = key.Prefix;
    d->Fn.Init = Symbol<StreamInitFn>(m, p, "Init");
    d->Fn.Deinit = Symbol<StreamDeinitFn>(m, p, "Deinit");
    d->Fn.Open = Symbol<StreamOpenFn>(m, p, "Open");
    d->Fn.Close = Symbol<StreamCloseFn>(m, p, "Close");
    d->Fn.Read = Symbol<StreamReadFn>(m, p, "Read");
    d->Fn.Write = Symbol<StreamWriteFn>(m, p, "Write");
    d->Fn.Seek = Symbol<StreamSeekFn>(m, p, "Seek");
    d->Fn.IoControl = Symbol<StreamIoControlFn>(m, p, "IOControl");
    const std::pair<const char*, bool> required[] = {
        {"Init", d->Fn.Init != nullptr},           {"Deinit", d->Fn.Deinit != nullptr},
        {"Open", d->Fn.Open != nullptr},           {"Close", d->Fn.Close != nullptr},
        {"IOControl", d->Fn.IoControl != nullptr},
    };
    for (const auto& [name, found] : required) {
        if (!found) {
            Line(d->ModulePath + " does not export " + p + "_" + name);
            return;
        }
    }

    // The name is claimed before the driver touches any hardware, so a second
    // host cannot start the same driver twice. The socket appears only once
    // the driver has started and had its post-load code: a program that finds
    // the device finds it ready.
    if (!Claim(*d, root))
        return;
    d->Context = d->Fn.Init(0);
    if (d->Context == 0) {
        Line(p + "_Init of " + d->ModulePath + " failed");
        Unpublish(*d);
        return;
    }
    Line("loaded " + d->Name + ": from " + d->ModulePath);

    if (key.HasIoctl) {
        const uint32_t result =
            d->Fn.IoControl(d->Context, key.Ioctl, nullptr, 0, nullptr, 0, nullptr);
        Line(Format("sent control code 0x%08" PRIX32 " to %s: (result %" PRIu32 ")", key.Ioctl,
                    d->Name.c_str(), result));
    }

    Device* raw = d.get();
    bool serving = Publish(*d);
    if (serving) {
        try {
            d->Acceptor = std::thread([this, raw] { Accept(*raw); });
        } catch (const std::system_error& e) {
            Line(d->Name + ": cannot start serving: " + e.what());
            serving = false;
        }
    }
    if (!serving) {
        d->Fn.Deinit(d->Context);
        Unpublish(*d);
        return;
    }
    Devices.push_back(std::move(d));
}

void DeviceHost::Impl::Reap(Device& d) {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard g(d.ConnectionsLock);
        for (auto it = d.Connections.begin(); it != d.Connections.end();) {
            auto next = std::next(it);
            if ((*it)->Done.load())
                finished.splice(finished.end(), d.Connections, it);
            it = next;
        }
    }
    for (auto& c : finished) {
        if (c->Thread.joinable())
            c->Thread.join();
    }
}

void DeviceHost::Impl::Accept(Device& d) {
    for (;;) {
        pollfd fds[2] = {{d.Listen.Get(), POLLIN, 0}, {StopRead.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Line(d.Name + ": cannot wait for connections: " + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        UniqueFd fd(::accept4(d.Listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the pending connection stays readable,
                // so pause instead of spinning (and still see a stop).
                pollfd stop{StopRead.Get(), POLLIN, 0};
                ::poll(&stop, 1, 100);
            }
            continue;
        }
        uint32_t uid = 0;
        if (!PeerMayConnect(fd.Get(), Sharing, &uid)) {
            Refuse(d, std::move(fd), ERROR_ACCESS_DENIED, NoiseRefused,
                   "refused a connection of uid " + std::to_string(uid) +
                       ": only root and members of the group " + Group + " may use the device");
            continue;
        }
        Reap(d);
        auto c = std::make_unique<Connection>();
        c->Uid = uid;
        c->Counted = uid != 0 && uid != ::geteuid();
        Connection* raw = c.get();
        if (c->Counted) {
            // Only this thread adds to the device's count, so looking and
            // adding need not be one step.
            std::string refusal;
            {
                std::lock_guard g(d.ConnectionsLock);
                if (d.Counted >= MaxConnectionsPerDevice)
                    refusal = "too many open handles, refusing a connection";
            }
            if (refusal.empty()) {
                std::lock_guard g(UsersLock);
                size_t& mine = PerUser[uid];
                if (mine >= MaxConnectionsPerUser)
                    refusal = Format(
                        "too many open handles for uid %" PRIu32 ", refusing a connection", uid);
                else
                    ++mine;
            }
            if (!refusal.empty()) {
                Refuse(d, std::move(fd), ERROR_TOO_MANY_OPEN_FILES, NoiseTooMany, refusal);
                continue;
            }
        }
        c->Fd = std::move(fd);
        {
            std::lock_guard g(d.ConnectionsLock);
            d.Counted += raw->Counted ? 1 : 0;
            d.Connections.push_back(std::move(c));
        }
        try {
            raw->Thread = std::thread([this, &d, raw] { Serve(d, *raw); });
        } catch (const std::system_error&) {
            Release(d, *raw);
            std::lock_guard g(d.ConnectionsLock);
            d.Connections.remove_if([raw](const auto& p) { return p.get() == raw; });
        }
    }
}

void DeviceHost::Impl::Serve(Device& d, Connection& c) {
    // Programs polling the device must not starve the driver's own thread,
    // which turns touches into pointer movement: serving threads run a few
    // steps nicer. A failure only leaves the thread at the normal priority.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 5);
    int fd;
    {
        std::lock_guard g(c.Lock);
        fd = c.Fd.Get();  // stays open until this thread closes it below
    }
    ClearPublishedLastError();
    const uint32_t open = d.Fn.Open(d.Context, StreamOpenAccess, StreamOpenShareMode);
    const uint32_t openError = TakePublishedLastError();
    const auto hello = devwire::EncodeHello(
        open != 0 ? ERROR_SUCCESS : (openError != 0 ? openError : ERROR_GEN_FAILURE));
    const bool greeted = devwire::SendPacket(fd, hello);
    if (open != 0) {
        if (greeted)
            Exchange(d, fd, open);
        d.Fn.Close(open);
    }
    {
        std::lock_guard g(c.Lock);
        c.Fd.Reset();
    }
    Release(d, c);
    c.Done.store(true);
}

void DeviceHost::Impl::Exchange(Device& d, int fd, uint32_t open) {
    std::vector<uint8_t> packet(devwire::MaxRequestSize + 1);
    for (;;) {
        const ptrdiff_t n = devwire::ReceivePacket(fd, packet);
        if (n == 0 || n == -1)
            return;  // closed by the program, or shut down by Stop
        if (n == -2) {
            NoisyLine(NoiseTooLarge, d.Name + ": request too large, closing that handle");
            return;
        }
        const auto request = devwire::ParseRequest(std::span(packet).first(static_cast<size_t>(n)));
        if (!request) {
            NoisyLine(NoiseMalformed, d.Name + ": malformed request, closing that handle");
            return;
        }
        if (!devwire::SendPacket(fd, Execute(d, open, *request)))
            return;
    }
}

std::vector<uint8_t> DeviceHost::Impl::Execute(Device& d, uint32_t open,
                                               const devwire::Request& r) {
    // Real buffers of exactly the sizes the program passed; an absent buffer
    // is a null pointer, a present empty one is not.
    std::vector<uint8_t> inBuf, outBuf;
    const uint8_t* in = nullptr;
    uint8_t* out = nullptr;
    auto fill = [](std::vector<uint8_t>& buf, std::span<const uint8_t> bytes) {
        buf.resize(std::max<size_t>(bytes.size(), 1));
        std::copy(bytes.begin(), bytes.end(), buf.begin());
        return buf.data();
    };
    if (r.Has(devwire::FlagAliased)) {
        out = fill(outBuf, r.Out);
        in = out;
    } else {
        if (r.Has(devwire::FlagIn))
            in = fill(inBuf, r.In);
        if (r.Has(devwire::FlagOut))
            out = fill(outBuf, r.Out);
    }
    uint32_t returned = r.Returned;
    uint32_t* returnedPtr = r.Has(devwire::FlagReturned) ? &returned : nullptr;

    uint32_t result = 0;
    uint32_t error = ERROR_NOT_SUPPORTED;
    ClearPublishedLastError();
    switch (r.What) {
        case devwire::Op::IoControl:
            result = d.Fn.IoControl(open, r.Code, in, r.InSize, out, r.OutSize, returnedPtr);
            error = TakePublishedLastError();
            break;
        case devwire::Op::Read:
            if (d.Fn.Read != nullptr) {
                result = d.Fn.Read(open, out, r.OutSize);
                error = TakePublishedLastError();
            }
            break;
        case devwire::Op::Write:
            if (d.Fn.Write != nullptr) {
                result = d.Fn.Write(open, in, r.InSize);
                error = TakePublishedLastError();
            }
            break;
        case devwire::Op::Seek:
            result = 0xFFFFFFFFu;
            if (d.Fn.Seek != nullptr) {
                result = d.Fn.Seek(open, static_cast<int32_t>(r.Code), r.Arg);
                error = TakePublishedLastError();
            }
            break;
    }
    const std::span<const uint8_t> after = out != nullptr
                                               ? std::span<const uint8_t>(outBuf).first(r.OutSize)
                                               : std::span<const uint8_t>();
    return devwire::EncodeReply(result, error, returned, after);
}

void DeviceHost::Impl::StopDevice(Device& d) {
    if (d.Acceptor.joinable())
        d.Acceptor.join();
    // No new handles: programs that try now find no device.
    Unpublish(d);
    {
        std::lock_guard g(d.ConnectionsLock);
        for (auto& c : d.Connections) {
            std::lock_guard cg(c->Lock);
            if (c->Fd)
                ::shutdown(c->Fd.Get(), SHUT_RDWR);
        }
    }
    // The threads close their handles with the driver; a call in progress
    // finishes first. No thread adds connections any more.
    for (auto& c : d.Connections) {
        if (c->Thread.joinable())
            c->Thread.join();
    }
    d.Connections.clear();
    d.Fn.Deinit(d.Context);
    d.Module.reset();
    Line("unloaded " + d.Name + ":");
}

DeviceHost::DeviceHost(DebugOutput& log) : I_(std::make_unique<Impl>(log)) {}

DeviceHost::~DeviceHost() {
    Stop();
}

size_t DeviceHost::Start(const std::string& root, Registry& registry, const Options& options) {
    std::lock_guard g(I_->StateLock);
    if (I_->Started)
        return I_->Devices.size();
    I_->Started = true;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        I_->Line(std::string("cannot create a pipe: ") + std::strerror(errno));
        return 0;
    }
    I_->StopRead.Reset(pipeFds[0]);
    I_->StopWrite.Reset(pipeFds[1]);
    I_->Group = options.Group;
    I_->Sharing = CurrentFileSharing(root, options.Group);
    // Programs of the group bind their window handles here (docs/window-messages.md).
    std::string why;
    if (!PrepareFolder(root + "/windows", WindowFolderMode, I_->Sharing, &why))
        I_->Line(why);
    const auto dirs = options.LibraryDirs.empty() ? DefaultLibraryDirs() : options.LibraryDirs;
    for (const auto& key : I_->ReadKeys(registry)) {
        if (I_->Cancelled.load())
            break;
        I_->Load(key, root, dirs);
    }
    return I_->Devices.size();
}

void DeviceHost::CancelStart() {
    I_->Cancelled.store(true);
}

void DeviceHost::Stop() {
    std::lock_guard g(I_->StateLock);
    if (!I_->Started || I_->Stopped)
        return;
    I_->Stopped = true;
    if (I_->StopWrite) {
        const char wake = 1;
        // The pipe is fresh and never read: this write cannot block or fail.
        [[maybe_unused]] const ssize_t n = ::write(I_->StopWrite.Get(), &wake, 1);
    }
    // Stop in the reverse order of loading.
    for (auto it = I_->Devices.rbegin(); it != I_->Devices.rend(); ++it)
        I_->StopDevice(**it);
    I_->Devices.clear();
    I_->TellSuppressed();
}

std::vector<std::string> DeviceHost::Devices() const {
    std::lock_guard g(I_->StateLock);
    std::vector<std::string> names;
    for (const auto& d : I_->Devices)
        names.push_back(d->Name + ":");
    return names;
}

std::vector<std::string> DeviceHost::DefaultLibraryDirs() {
    std::vector<std::string> dirs;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        dirs.push_back((exe.parent_path().parent_path() / "lib").string());
    dirs.push_back("/usr/local/lib/orvex");
    dirs.push_back("/usr/lib/orvex");
    return dirs;
}

}  // namespace orvex
