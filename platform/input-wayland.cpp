// The Wayland backend: pointer events through the virtual-pointer protocol of
// the wlroots compositors, for kiosks without X and without /dev/uinput.
//
// One virtual pointer is created for the panel's output, so the compositor
// itself scales the driver's 0..0xFFFF coordinates onto that output; with no
// output named (or the named one absent) it covers the whole layout. A thread
// of the backend's own reads the compositor's events, follows outputs coming
// and going, and reconnects after the compositor went away. The reader thread
// only queues requests and flushes without waiting, under a lock the watcher
// never holds across a wait.
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/input-screen-layout.h"
#include "platform/input.h"
#include "platform/uniquefd.h"
#include "platform/window-messages.h"
#include "protocols/virtual-pointer-v1-client.h"
#include "protocols/xdg-output-unstable-v1-client.h"

namespace orvex {

namespace {

constexpr uint32_t AxisMax = 0xFFFF;
// A compositor is not trusted to be small: a flood of outputs costs no more
// than this many, and no wait on it lasts longer than this.
constexpr size_t MaxOutputs = 32;
constexpr int HandshakeMs = 2000;

struct DisplayDisconnect {
    void operator()(wl_display* d) const { wl_display_disconnect(d); }
};
struct RegistryDestroy {
    void operator()(wl_registry* r) const { wl_registry_destroy(r); }
};
struct OutputRelease {
    void operator()(wl_output* o) const {
        if (wl_output_get_version(o) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(o);
        else
            wl_output_destroy(o);
    }
};
struct ManagerDestroy {
    void operator()(zwlr_virtual_pointer_manager_v1* m) const {
        zwlr_virtual_pointer_manager_v1_destroy(m);
    }
};
struct PointerDestroy {
    void operator()(zwlr_virtual_pointer_v1* p) const { zwlr_virtual_pointer_v1_destroy(p); }
};
struct XdgOutputManagerDestroy {
    void operator()(zxdg_output_manager_v1* m) const { zxdg_output_manager_v1_destroy(m); }
};
struct XdgOutputDestroy {
    void operator()(zxdg_output_v1* o) const { zxdg_output_v1_destroy(o); }
};
struct CallbackDestroy {
    void operator()(wl_callback* c) const { wl_callback_destroy(c); }
};

struct Output {
    uint32_t Global = 0;
    std::unique_ptr<wl_output, OutputRelease> Proxy;
    // Where the output sits in the layout: wl_output's own geometry is not
    // the layout position on every compositor, xdg-output's is.
    std::unique_ptr<zxdg_output_v1, XdgOutputDestroy> Xdg;
    std::string Name;
    int Width = 0, Height = 0;
    int X = 0, Y = 0;
    bool Done = false;
    bool* Changed = nullptr;
};

void OutputGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                    const char*, int32_t) {}
void OutputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    auto* o = static_cast<Output*>(data);
    if (flags & WL_OUTPUT_MODE_CURRENT) {
        o->Width = width;
        o->Height = height;
    }
}
void OutputDone(void* data, wl_output*) {
    auto* o = static_cast<Output*>(data);
    o->Done = true;
    *o->Changed = true;
}
void OutputScale(void*, wl_output*, int32_t) {}
void OutputName(void* data, wl_output*, const char* name) {
    auto* o = static_cast<Output*>(data);
    o->Name.assign(name, strnlen(name, MaxMonitorNameLength));
}
void OutputDescription(void*, wl_output*, const char*) {}
const wl_output_listener OutputListener = {OutputGeometry, OutputMode, OutputDone,
                                           OutputScale,    OutputName, OutputDescription};

void XdgPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    auto* o = static_cast<Output*>(data);
    o->X = x;
    o->Y = y;
}
void XdgSize(void*, zxdg_output_v1*, int32_t, int32_t) {}
void XdgDone(void*, zxdg_output_v1*) {}
void XdgName(void*, zxdg_output_v1*, const char*) {}
void XdgDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener XdgOutputListener = {XdgPosition, XdgSize, XdgDone, XdgName,
                                                   XdgDescription};

// One session with one compositor: everything that dies with the socket.
class Connection {
  public:
    static std::unique_ptr<Connection> Open(const std::string& path, std::string* error,
                                            bool* noProtocol) {
        auto fail = [&](const std::string& why) -> std::unique_ptr<Connection> {
            *error = why;
            return nullptr;
        };
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path)
            return fail("compositor socket path " + path + " is too long");
        // The path may come from a registry others can write: it is only
        // ever connected to, and only when it is a socket itself.
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return fail("no compositor socket at " + path + " (" + std::strerror(errno) + ")");
        if (!S_ISSOCK(st.st_mode))
            return fail(path + " is not a socket");
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd)
            return fail(std::string("cannot make a socket: ") + std::strerror(errno));
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            return fail("no compositor answers at " + path + " (" + std::strerror(errno) + ")");
        // The library owns the descriptor from here, closing it even when
        // the connection cannot be set up.
        std::unique_ptr<wl_display, DisplayDisconnect> display(
            wl_display_connect_to_fd(fd.Release()));
        if (!display)
            return fail("cannot set up a Wayland connection on " + path);
        auto c = std::make_unique<Connection>(std::move(display));
        c->Registry_.reset(wl_display_get_registry(c->Display_.get()));
        wl_registry_add_listener(c->Registry_.get(), &RegistryListener, c.get());
        // The first trip brings the globals, the second what the outputs
        // say about themselves.
        if (!c->Roundtrip() || !c->Roundtrip())
            return fail("the compositor at " + path + " did not answer in time");
        if (!c->Manager_) {
            if (noProtocol)
                *noProtocol = true;
            return fail("the compositor at " + path +
                        " offers no virtual pointer; use the uinput backend and map the device "
                        "in the compositor; see README 'Wayland'");
        }
        return c;
    }

    ~Connection() {
        Pointer_.reset();
        Manager_.reset();
        Outputs_.clear();
        XdgManager_.reset();
        Registry_.reset();
    }

    wl_display* Display() const { return Display_.get(); }
    zwlr_virtual_pointer_v1* Pointer() const { return Pointer_.get(); }

    // Points the virtual pointer at the output named monitor, or at the whole
    // layout; a pointer already on the right output is kept. Returns what it
    // covers, and sets *found.
    std::string Place(const std::string& monitor, bool* found, bool force) {
        Changed_ = false;
        const Output* target = nullptr;
        if (!monitor.empty()) {
            for (const auto& o : Outputs_) {
                if (o->Done && o->Name == monitor)
                    target = o.get();
            }
        }
        *found = target != nullptr;
        const uint32_t global = target ? target->Global : 0;
        if (force || !Pointer_ || global != PlacedOn_) {
            Pointer_.reset(zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(
                Manager_.get(), nullptr, target ? target->Proxy.get() : nullptr));
            PlacedOn_ = global;
        }
        if (!target)
            return "whole layout";
        auto offset = [](int v) { return (v < 0 ? "" : "+") + std::to_string(v); };
        return "output " + target->Name + " " + std::to_string(target->Width) + "x" +
               std::to_string(target->Height) + offset(target->X) + offset(target->Y);
    }
    bool Changed() const { return Changed_; }

    explicit Connection(std::unique_ptr<wl_display, DisplayDisconnect> d)
        : Display_(std::move(d)) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

  private:
    bool Roundtrip() {
        wl_display* d = Display_.get();
        bool done = false;
        std::unique_ptr<wl_callback, CallbackDestroy> cb(wl_display_sync(d));
        static const wl_callback_listener listener = {
            [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
        wl_callback_add_listener(cb.get(), &listener, &done);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(HandshakeMs);
        while (!done) {
            if (wl_display_dispatch_pending(d) < 0)
                return false;
            if (done)
                break;
            if (wl_display_flush(d) < 0 && errno != EAGAIN)
                return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p = {wl_display_get_fd(d), POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            if (wl_display_dispatch(d) < 0)
                return false;
        }
        return true;
    }

    static void Global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version) {
        auto* c = static_cast<Connection*>(data);
        if (std::strcmp(interface, wl_output_interface.name) == 0) {
            if (version < WL_OUTPUT_NAME_SINCE_VERSION || c->Outputs_.size() >= MaxOutputs)
                return;
            auto o = std::make_unique<Output>();
            o->Global = name;
            o->Changed = &c->Changed_;
            o->Proxy.reset(static_cast<wl_output*>(wl_registry_bind(
                registry, name, &wl_output_interface, WL_OUTPUT_NAME_SINCE_VERSION)));
            wl_output_add_listener(o->Proxy.get(), &OutputListener, o.get());
            c->Locate(*o);
            c->Outputs_.push_back(std::move(o));
        } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 &&
                   !c->XdgManager_) {
            c->XdgManager_.reset(static_cast<zxdg_output_manager_v1*>(
                wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 1)));
            for (auto& o : c->Outputs_)
                c->Locate(*o);
        } else if (
            std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0 &&
            version >=
                ZWLR_VIRTUAL_POINTER_MANAGER_V1_CREATE_VIRTUAL_POINTER_WITH_OUTPUT_SINCE_VERSION &&
            !c->Manager_) {
            c->Manager_.reset(static_cast<zwlr_virtual_pointer_manager_v1*>(wl_registry_bind(
                registry, name, &zwlr_virtual_pointer_manager_v1_interface,
                ZWLR_VIRTUAL_POINTER_MANAGER_V1_CREATE_VIRTUAL_POINTER_WITH_OUTPUT_SINCE_VERSION)));
        }
    }
    static void GlobalRemove(void* data, wl_registry*, uint32_t name) {
        auto* c = static_cast<Connection*>(data);
        auto& outs = c->Outputs_;
        const auto it = std::find_if(outs.begin(), outs.end(),
                                     [&](const auto& o) { return o->Global == name; });
        if (it == outs.end())
            return;
        // A pointer mapped to the output goes first: it names the proxy.
        if (c->PlacedOn_ == name) {
            c->Pointer_.reset();
            c->PlacedOn_ = 0;
        }
        outs.erase(it);
        c->Changed_ = true;
    }
    static constexpr wl_registry_listener RegistryListener = {Global, GlobalRemove};

    // Asks where the output sits, once both it and the manager are known
    // (the registry announces them in either order).
    void Locate(Output& o) {
        if (!XdgManager_ || o.Xdg)
            return;
        o.Xdg.reset(zxdg_output_manager_v1_get_xdg_output(XdgManager_.get(), o.Proxy.get()));
        zxdg_output_v1_add_listener(o.Xdg.get(), &XdgOutputListener, &o);
    }

    std::unique_ptr<wl_display, DisplayDisconnect> Display_;
    std::unique_ptr<wl_registry, RegistryDestroy> Registry_;
    std::unique_ptr<zwlr_virtual_pointer_manager_v1, ManagerDestroy> Manager_;
    std::unique_ptr<zxdg_output_manager_v1, XdgOutputManagerDestroy> XdgManager_;
    std::vector<std::unique_ptr<Output>> Outputs_;
    std::unique_ptr<zwlr_virtual_pointer_v1, PointerDestroy> Pointer_;
    uint32_t PlacedOn_ = 0;  // the output's global, 0 for the whole layout
    bool Changed_ = false;
};

uint32_t NowMs() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

class WaylandInput final : public Input {
  public:
    WaylandInput(std::string root, std::string path, std::unique_ptr<Connection> conn,
                 const WaylandInputOptions& options, bool found)
        : Root_(std::move(root)),
          Path_(std::move(path)),
          Monitor_(options.Monitor),
          Log_(options.Log),
          Retry_(options.RetryInterval),
          Conn_(std::move(conn)),
          Found_(found),
          Ever_(Conn_ != nullptr),
          Stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          Timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
        // Without its descriptors the watcher could never be stopped.
        if (!Stop_ || !Timer_)
            return;
        // A compositor not there yet is looked for as one that went away.
        if (!Conn_)
            ArmTimer(Retry_);
        Thread_ = std::thread([this] { Run(); });
    }

    ~WaylandInput() override {
        if (!Thread_.joinable())
            return;
        uint64_t one = 1;
        // Fails only on counter overflow, which one write cannot cause.
        (void)!::write(Stop_.Get(), &one, sizeof one);
        Thread_.join();
    }

    bool Watching() const { return Thread_.joinable(); }

    WaylandInput(const WaylandInput&) = delete;
    WaylandInput& operator=(const WaylandInput&) = delete;

    void MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t /*data*/,
                    uintptr_t /*extraInfo*/) override {
        constexpr uint32_t ButtonFlags =
            MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_RIGHTUP;
        std::lock_guard g(Lock_);
        // Between compositors (or outputs) there is nowhere to put a touch.
        if (!Conn_ || !Conn_->Pointer())
            return;
        zwlr_virtual_pointer_v1* p = Conn_->Pointer();
        const uint32_t t = NowMs();
        // The position travels with a button event too, so a press lands
        // where the finger is; a relative move has no place here.
        if ((flags & MOUSEEVENTF_ABSOLUTE) && (flags & (MOUSEEVENTF_MOVE | ButtonFlags))) {
            zwlr_virtual_pointer_v1_motion_absolute(p, t, std::min(x, AxisMax),
                                                    std::min(y, AxisMax), AxisMax, AxisMax);
            zwlr_virtual_pointer_v1_frame(p);
        }
        auto button = [&](uint32_t flag, uint32_t code, wl_pointer_button_state state) {
            if (!(flags & flag))
                return;
            zwlr_virtual_pointer_v1_button(p, t, code, state);
            zwlr_virtual_pointer_v1_frame(p);
        };
        button(MOUSEEVENTF_LEFTDOWN, BTN_LEFT, WL_POINTER_BUTTON_STATE_PRESSED);
        button(MOUSEEVENTF_LEFTUP, BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
        button(MOUSEEVENTF_RIGHTDOWN, BTN_RIGHT, WL_POINTER_BUTTON_STATE_PRESSED);
        button(MOUSEEVENTF_RIGHTUP, BTN_RIGHT, WL_POINTER_BUTTON_STATE_RELEASED);
        // Never waits: a compositor that stops reading fills the buffer, the
        // connection fails and the watcher treats it as gone.
        (void)wl_display_flush(Conn_->Display());
    }

    void PostMessage(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override {
        // Deliberately unchecked: a post never reports whether anybody listened.
        (void)PostWindowMessage(Root_, window, message, wParam, lParam);
    }

  private:
    using Lines = std::vector<std::string>;

    void Run() {
        Lines lines;
        for (;;) {
            wl_display* prepared = nullptr;
            {
                std::lock_guard g(Lock_);
                if (Conn_) {
                    wl_display* d = Conn_->Display();
                    bool ok = true;
                    while (ok && wl_display_prepare_read(d) != 0)
                        ok = wl_display_dispatch_pending(d) >= 0;
                    if (ok) {
                        prepared = d;
                        if (Conn_->Changed())
                            Follow(&lines);
                        ok = wl_display_flush(d) >= 0 || errno == EAGAIN;
                    }
                    if (!ok) {
                        if (prepared)
                            wl_display_cancel_read(prepared);
                        prepared = nullptr;
                        Lose(&lines);
                    }
                }
            }
            Say(&lines);
            pollfd fds[3] = {{Stop_.Get(), POLLIN, 0},
                             {Timer_.Get(), POLLIN, 0},
                             {prepared ? wl_display_get_fd(prepared) : -1, POLLIN, 0}};
            const int r = ::poll(fds, 3, -1);
            if (r < 0 && errno == EINTR) {
                if (prepared)
                    wl_display_cancel_read(prepared);
                continue;
            }
            if (r < 0 || fds[0].revents != 0) {
                if (prepared)
                    wl_display_cancel_read(prepared);
                break;
            }
            if (prepared) {
                const short ev = fds[2].revents;
                if (ev == 0) {
                    wl_display_cancel_read(prepared);
                } else {
                    // A hang-up with nothing left to read is the compositor
                    // gone, whatever the library makes of it.
                    bool ok = false;
                    if ((ev & POLLIN) && !(ev & POLLNVAL))
                        ok = wl_display_read_events(prepared) >= 0;
                    else
                        wl_display_cancel_read(prepared);
                    if (!ok) {
                        std::lock_guard g(Lock_);
                        Lose(&lines);
                    }
                }
            }
            if (fds[1].revents != 0) {
                uint64_t ticks = 0;
                (void)!::read(Timer_.Get(), &ticks, sizeof ticks);
                Reconnect(&lines);
            }
            Say(&lines);
        }
    }

    // Under Lock_.
    void Follow(Lines* lines) {
        bool found = false;
        const std::string where = Conn_->Place(Monitor_, &found, false);
        if (Monitor_.empty() || found == Found_)
            return;
        Found_ = found;
        if (found)
            lines->push_back("input monitor " + Monitor_ + " is back: the pointer covers " + where);
        else
            lines->push_back("input monitor " + Monitor_ + " is absent; the pointer covers the " +
                             where);
    }

    // Under Lock_.
    void Lose(Lines* lines) {
        if (!Conn_)
            return;
        Conn_.reset();
        lines->push_back("compositor at " + Path_ +
                         " went away; pointer events are dropped until it is back");
        ArmTimer(Retry_);
    }

    void ArmTimer(std::chrono::milliseconds every) {
        itimerspec period{};
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(every).count();
        period.it_value.tv_sec = ns / 1000000000;
        period.it_value.tv_nsec = ns % 1000000000;
        period.it_interval = period.it_value;
        ::timerfd_settime(Timer_.Get(), 0, &period, nullptr);
    }

    // Watcher thread only; the handshake runs without the lock, so the reader
    // thread drops touches meanwhile instead of waiting for it.
    void Reconnect(Lines* lines) {
        if (Conn_)
            return;
        std::string why;
        auto c = Connection::Open(Path_, &why, nullptr);
        if (!c)
            return;
        bool found = false;
        std::lock_guard g(Lock_);
        const std::string where = c->Place(Monitor_, &found, true);
        Found_ = found;
        Ever_ = true;
        Conn_ = std::move(c);
        ArmTimer(std::chrono::milliseconds(0));
        lines->push_back(
            "compositor at " + Path_ + (Ever_ ? " is back" : " answers") +
            "; the pointer covers the " + where +
            (!Monitor_.empty() && !found ? " (input monitor " + Monitor_ + " absent)" : ""));
    }

    void Say(Lines* lines) {
        for (const auto& l : *lines) {
            if (Log_)
                Log_(l);
        }
        lines->clear();
    }

    const std::string Root_;
    const std::string Path_;
    const std::string Monitor_;
    const std::function<void(const std::string&)> Log_;
    const std::chrono::milliseconds Retry_;
    std::mutex Lock_;
    std::unique_ptr<Connection> Conn_;  // written by the watcher only, under Lock_
    bool Found_;                        // under Lock_
    bool Ever_;                         // watcher thread only, after the start
    UniqueFd Stop_;
    UniqueFd Timer_;
    std::thread Thread_;
};

}  // namespace

std::string WaylandSocketPath(const std::string& configured) {
    if (!configured.empty())
        return configured;
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name)
        return {};
    if (name[0] == '/')
        return name;
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (!dir || !*dir)
        return {};
    return std::string(dir) + "/" + name;
}

std::unique_ptr<Input> CreateWaylandInput(const std::string& root, std::string* error,
                                          const WaylandInputOptions& options,
                                          std::string* placement, bool* noProtocol) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<Input> {
        if (error)
            *error = why;
        return nullptr;
    };
    if (noProtocol)
        *noProtocol = false;
    const std::string path = WaylandSocketPath(options.Socket);
    if (path.empty())
        return fail("no compositor socket configured and WAYLAND_DISPLAY/XDG_RUNTIME_DIR not set");
    if (path[0] != '/')
        return fail("compositor socket " + path + " is no absolute path");
    // A value that can never name a socket is no reason to wait.
    struct stat st {};
    if (path.size() >= sizeof(sockaddr_un::sun_path) ||
        (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)))
        return fail(path + " is not a socket");
    std::string why;
    bool refused = false;
    auto conn = Connection::Open(path, &why, &refused);
    if (noProtocol)
        *noProtocol = refused;
    // A compositor without the protocol will not grow it; one not there yet
    // (the kiosk's session not started) may come.
    if (!conn && (refused || !options.WaitForCompositor))
        return fail(why);
    bool found = false;
    std::string where;
    if (conn) {
        where = conn->Place(options.Monitor, &found, true);
        if (!options.Monitor.empty() && !found)
            where += " (input monitor " + options.Monitor + " absent)";
    }
    if (placement)
        *placement = conn ? where + ", " + path : "waiting for the compositor: " + why;
    auto input = std::make_unique<WaylandInput>(root, path, std::move(conn), options, found);
    if (!input->Watching())
        return fail(std::string("cannot watch the compositor: ") + std::strerror(errno));
    return input;
}

}  // namespace orvex
