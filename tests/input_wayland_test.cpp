// The Wayland backend against a headless compositor with two outputs side by
// side: a touch lands on the named output's pixel with its buttons, and a
// compositor that goes away and comes back costs a log line each way, with
// the named output followed when it returns.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/input.h"
#include "platform/uniquefd.h"
#include "protocols/xdg-shell-client.h"
#include "support/headless_sway.h"
#include "support/process.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;

constexpr int SecondWidth = 640, SecondHeight = 480;

template <auto Destroy>
struct Del {
    template <class T>
    void operator()(T* p) const {
        Destroy(p);
    }
};
template <class T, auto Destroy>
using Proxy = std::unique_ptr<T, Del<Destroy>>;

// A fullscreen window on one output that records where the pointer is and
// the buttons it gets, in surface (= output) pixels.
class Client {
  public:
    struct Button {
        uint32_t Code, State;
        double X, Y;
    };

    bool Connect(const std::string& socket) {
        Display_.reset(wl_display_connect(socket.c_str()));
        if (!Display_)
            return false;
        Registry_.reset(wl_display_get_registry(Display_.get()));
        wl_registry_add_listener(Registry_.get(), &RegistryListener, this);
        return wl_display_roundtrip(Display_.get()) >= 0 &&
               wl_display_roundtrip(Display_.get()) >= 0 && Compositor_ && Shm_ && Base_ && Seat_;
    }

    wl_output* OutputNamed(const std::string& name, int width, int height) {
        for (auto& o : Outputs_) {
            if (o->Name == name && o->Width == width && o->Height == height)
                return o->P.get();
        }
        return nullptr;
    }

    void ShowFullscreenOn(wl_output* output) {
        Surface_.reset(wl_compositor_create_surface(Compositor_.get()));
        XdgSurface_.reset(xdg_wm_base_get_xdg_surface(Base_.get(), Surface_.get()));
        xdg_surface_add_listener(XdgSurface_.get(), &XdgSurfaceListener, this);
        Toplevel_.reset(xdg_surface_get_toplevel(XdgSurface_.get()));
        xdg_toplevel_add_listener(Toplevel_.get(), &ToplevelListener, this);
        xdg_toplevel_set_title(Toplevel_.get(), "orvex input test");
        xdg_toplevel_set_fullscreen(Toplevel_.get(), output);
        wl_surface_commit(Surface_.get());
    }

    // Reads and handles what the compositor sent within the time given.
    void Pump(std::chrono::milliseconds within) {
        wl_display* d = Display_.get();
        wl_display_dispatch_pending(d);
        wl_display_flush(d);
        pollfd p = {wl_display_get_fd(d), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(within.count())) > 0)
            wl_display_dispatch(d);
    }
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            Pump(50ms);
        }
        return true;
    }

    bool Shown = false;
    bool Inside = false;
    double X = -1, Y = -1;
    std::vector<Button> Buttons;

  private:
    struct Output {
        Proxy<wl_output, wl_output_destroy> P;
        std::string Name;
        int Width = 0, Height = 0;
    };

    Proxy<wl_display, wl_display_disconnect> Display_;
    Proxy<wl_registry, wl_registry_destroy> Registry_;
    Proxy<wl_compositor, wl_compositor_destroy> Compositor_;
    Proxy<wl_shm, wl_shm_destroy> Shm_;
    Proxy<xdg_wm_base, xdg_wm_base_destroy> Base_;
    Proxy<wl_seat, wl_seat_destroy> Seat_;
    Proxy<wl_pointer, wl_pointer_destroy> Pointer_;
    std::vector<std::unique_ptr<Output>> Outputs_;
    Proxy<wl_surface, wl_surface_destroy> Surface_;
    Proxy<xdg_surface, xdg_surface_destroy> XdgSurface_;
    Proxy<xdg_toplevel, xdg_toplevel_destroy> Toplevel_;
    Proxy<wl_shm_pool, wl_shm_pool_destroy> Pool_;
    Proxy<wl_buffer, wl_buffer_destroy> Buffer_;
    int Width_ = 0, Height_ = 0;

    void Draw(int width, int height) {
        // The content does not matter; a buffer of the window's size makes
        // the whole output the window's input region.
        const int stride = width * 4;
        UniqueFd fd(::memfd_create("orvex-test-buffer", MFD_CLOEXEC));
        if (!fd || ::ftruncate(fd.Get(), stride * height) != 0)
            return;
        Pool_.reset(wl_shm_create_pool(Shm_.get(), fd.Get(), stride * height));
        Buffer_.reset(wl_shm_pool_create_buffer(Pool_.get(), 0, width, height, stride,
                                                WL_SHM_FORMAT_XRGB8888));
        wl_surface_attach(Surface_.get(), Buffer_.get(), 0, 0);
        wl_surface_damage(Surface_.get(), 0, 0, width, height);
        wl_surface_commit(Surface_.get());
        Shown = true;
    }

    static void Global(void* data, wl_registry* r, uint32_t name, const char* iface, uint32_t) {
        auto* c = static_cast<Client*>(data);
        auto bind = [&](const wl_interface* i, uint32_t v) {
            return wl_registry_bind(r, name, i, v);
        };
        if (std::strcmp(iface, wl_compositor_interface.name) == 0) {
            c->Compositor_.reset(static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4)));
        } else if (std::strcmp(iface, wl_shm_interface.name) == 0) {
            c->Shm_.reset(static_cast<wl_shm*>(bind(&wl_shm_interface, 1)));
        } else if (std::strcmp(iface, xdg_wm_base_interface.name) == 0) {
            c->Base_.reset(static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 1)));
            xdg_wm_base_add_listener(c->Base_.get(), &BaseListener, c);
        } else if (std::strcmp(iface, wl_seat_interface.name) == 0) {
            c->Seat_.reset(static_cast<wl_seat*>(bind(&wl_seat_interface, 1)));
            wl_seat_add_listener(c->Seat_.get(), &SeatListener, c);
        } else if (std::strcmp(iface, wl_output_interface.name) == 0) {
            auto o = std::make_unique<Output>();
            o->P.reset(static_cast<wl_output*>(bind(&wl_output_interface, 4)));
            wl_output_add_listener(o->P.get(), &OutputListener, o.get());
            c->Outputs_.push_back(std::move(o));
        }
    }
    static const wl_registry_listener RegistryListener;
    static const wl_output_listener OutputListener;
    static const xdg_wm_base_listener BaseListener;
    static const xdg_surface_listener XdgSurfaceListener;
    static const xdg_toplevel_listener ToplevelListener;
    static const wl_pointer_listener PointerListener;
    static const wl_seat_listener SeatListener;
};

const wl_registry_listener Client::RegistryListener = {Global,
                                                       [](void*, wl_registry*, uint32_t) {}};
const wl_output_listener Client::OutputListener = {
    .geometry = [](void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                   const char*, int32_t) {},
    .mode =
        [](void* data, wl_output*, uint32_t flags, int32_t w, int32_t h, int32_t) {
            if (flags & WL_OUTPUT_MODE_CURRENT) {
                static_cast<Output*>(data)->Width = w;
                static_cast<Output*>(data)->Height = h;
            }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void*, wl_output*, int32_t) {},
    .name = [](void* data, wl_output*,
               const char* name) { static_cast<Output*>(data)->Name = name; },
    .description = [](void*, wl_output*, const char*) {}};
const xdg_wm_base_listener Client::BaseListener = {
    [](void*, xdg_wm_base* b, uint32_t serial) { xdg_wm_base_pong(b, serial); }};
const xdg_surface_listener Client::XdgSurfaceListener = {[](void* data, xdg_surface* s,
                                                            uint32_t serial) {
    auto* c = static_cast<Client*>(data);
    xdg_surface_ack_configure(s, serial);
    c->Draw(c->Width_ > 0 ? c->Width_ : SecondWidth, c->Height_ > 0 ? c->Height_ : SecondHeight);
}};
const xdg_toplevel_listener Client::ToplevelListener = {
    [](void* data, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
        static_cast<Client*>(data)->Width_ = w;
        static_cast<Client*>(data)->Height_ = h;
    },
    [](void*, xdg_toplevel*) {}, nullptr, nullptr};
const wl_pointer_listener Client::PointerListener = {
    .enter =
        [](void* data, wl_pointer*, uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
            auto* c = static_cast<Client*>(data);
            c->Inside = true;
            c->X = wl_fixed_to_double(x);
            c->Y = wl_fixed_to_double(y);
        },
    .leave = [](void* data, wl_pointer*, uint32_t,
                wl_surface*) { static_cast<Client*>(data)->Inside = false; },
    .motion =
        [](void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
            auto* c = static_cast<Client*>(data);
            c->X = wl_fixed_to_double(x);
            c->Y = wl_fixed_to_double(y);
        },
    .button =
        [](void* data, wl_pointer*, uint32_t, uint32_t, uint32_t code, uint32_t state) {
            auto* c = static_cast<Client*>(data);
            c->Buttons.push_back({code, state, c->X, c->Y});
        },
    .axis = [](void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {},
    .frame = nullptr,
    .axis_source = nullptr,
    .axis_stop = nullptr,
    .axis_discrete = nullptr,
    .axis_value120 = nullptr};
const wl_seat_listener Client::SeatListener = {
    [](void* data, wl_seat* seat, uint32_t caps) {
        auto* c = static_cast<Client*>(data);
        // The seat gains its pointer when the backend makes the virtual one.
        if ((caps & WL_SEAT_CAPABILITY_POINTER) && !c->Pointer_) {
            c->Pointer_.reset(wl_seat_get_pointer(seat));
            wl_pointer_add_listener(c->Pointer_.get(), &PointerListener, c);
        }
    },
    nullptr};

class WaylandInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HeadlessSway::Installed())
            GTEST_SKIP() << "sway is not installed";
        StartCompositor();
        AddSecondOutput();
    }
    void TearDown() override {
        In.reset();
        Sway.Stop();
    }

    void StartCompositor() {
        std::string why;
        ASSERT_TRUE(Sway.Start(&why)) << why;
        Socket = Sway.Socket();
    }
    void AddSecondOutput() {
        std::string why;
        ASSERT_TRUE(Sway.AddOutput("HEADLESS-2", SecondWidth, SecondHeight, 800, &why)) << why;
    }

    void MakeInput(std::string* placement = nullptr) {
        WaylandInputOptions o;
        o.Socket = Socket;
        o.Monitor = "HEADLESS-2";
        o.RetryInterval = 100ms;
        o.Log = [this](const std::string& line) {
            std::lock_guard g(LogLock);
            Log.push_back(line);
        };
        std::string error;
        In = CreateWaylandInput(Sway.Dir(), &error, o, placement);
        ASSERT_NE(In, nullptr) << error;
    }
    size_t LogLines(const std::string& part) {
        std::lock_guard g(LogLock);
        return std::count_if(Log.begin(), Log.end(),
                             [&](const auto& l) { return l.find(part) != std::string::npos; });
    }
    std::string AllLog() {
        std::lock_guard g(LogLock);
        std::string all;
        for (const auto& l : Log)
            all += l + "\n";
        return all;
    }

    // A window over the second output, then a touch on its pixel (x, y): the
    // pointer must arrive there, press and release included.
    void TouchLandsOnSecondOutput(int x, int y) {
        Client client;
        ASSERT_TRUE(client.Connect(Socket));
        wl_output* second = nullptr;
        ASSERT_TRUE(client.PumpUntil(
            [&] { return (second = client.OutputNamed("HEADLESS-2", SecondWidth, SecondHeight)); },
            60s));
        client.ShowFullscreenOn(second);
        ASSERT_TRUE(client.PumpUntil([&] { return client.Shown; }, 60s));
        const auto vx = static_cast<uint32_t>(std::lround(x * 65535.0 / SecondWidth));
        const auto vy = static_cast<uint32_t>(std::lround(y * 65535.0 / SecondHeight));
        auto near = [&] {
            return client.Inside && std::abs(client.X - x) <= 1 && std::abs(client.Y - y) <= 1;
        };
        // The window may be mapped after the first moves: move until the
        // pointer is seen over it.
        ASSERT_TRUE(client.PumpUntil(
            [&] {
                In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE, vx, vy, 0, 0);
                return near();
            },
            60s))
            << "pointer at " << client.X << "," << client.Y << " inside " << client.Inside << "\n"
            << AllLog();
        In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN, vx, vy, 0, 0);
        In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP, vx, vy, 0, 0);
        ASSERT_TRUE(client.PumpUntil([&] { return client.Buttons.size() >= 2; }, 60s));
        ASSERT_EQ(client.Buttons.size(), 2u);
        EXPECT_EQ(client.Buttons[0].Code, static_cast<uint32_t>(BTN_LEFT));
        EXPECT_EQ(client.Buttons[0].State, WL_POINTER_BUTTON_STATE_PRESSED);
        EXPECT_EQ(client.Buttons[1].Code, static_cast<uint32_t>(BTN_LEFT));
        EXPECT_EQ(client.Buttons[1].State, WL_POINTER_BUTTON_STATE_RELEASED);
        for (const auto& b : client.Buttons) {
            EXPECT_NEAR(b.X, x, 1.0);
            EXPECT_NEAR(b.Y, y, 1.0);
        }
    }

    test::HeadlessSway Sway;
    std::string Socket;
    std::unique_ptr<Input> In;
    std::mutex LogLock;
    std::vector<std::string> Log;
};

TEST_F(WaylandInputTest, TouchLandsOnTheNamedOutputsPixel) {
    std::string placement;
    MakeInput(&placement);
    EXPECT_EQ(placement, "output HEADLESS-2 640x480+800+0, " + Socket);
    TouchLandsOnSecondOutput(100, 200);
    // The far corner: the extent reaches the output's last pixel, not past it.
    TouchLandsOnSecondOutput(SecondWidth - 1, SecondHeight - 1);
}

TEST_F(WaylandInputTest, SurvivesTheCompositorAndFollowsTheOutputBack) {
    MakeInput();
    const std::string socket = Socket;
    ASSERT_TRUE(Sway.Stop());
    ASSERT_TRUE(test::WaitUntil([&] { return LogLines("went away") == 1; }, 60s)) << AllLog();
    // Meanwhile touches go nowhere, quietly.
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN, 100, 100, 0, 0);

    StartCompositor();
    ASSERT_EQ(Socket, socket) << "the compositor came back on another socket";
    // Back with one output only: the whole layout until the named one is made.
    ASSERT_TRUE(test::WaitUntil([&] { return LogLines("is back; the pointer covers") == 1; }, 60s))
        << AllLog();
    EXPECT_EQ(LogLines("(input monitor HEADLESS-2 absent)"), 1u) << AllLog();
    AddSecondOutput();
    ASSERT_TRUE(
        test::WaitUntil([&] { return LogLines("input monitor HEADLESS-2 is back") == 1; }, 60s))
        << AllLog();
    TouchLandsOnSecondOutput(320, 240);
    EXPECT_EQ(LogLines("went away"), 1u) << AllLog();
}

}  // namespace
}  // namespace orvex
