// The uinput backend: one virtual absolute pointer, the way a host without a
// window-system connection (kiosk, Wayland compositor, console) gets touches.
//
// The device has ABS_X/ABS_Y 0..65535 and the left and right buttons, nothing
// else: input stacks classify that as an absolute pointer (like a virtual
// machine's tablet) and scale it to the screen themselves. It deliberately
// carries no BTN_TOUCH and no INPUT_PROP_DIRECT, which would make them treat
// it as a touch screen with gestures of their own.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/input.h"
#include "platform/window-messages.h"

namespace orvex {

namespace {

constexpr int AxisMax = 0xFFFF;

struct EvdevFree {
    void operator()(libevdev* d) const { libevdev_free(d); }
};
struct UinputDestroy {
    void operator()(libevdev_uinput* u) const { libevdev_uinput_destroy(u); }
};

class UinputInput final : public Input {
  public:
    UinputInput(std::string root, std::unique_ptr<libevdev_uinput, UinputDestroy> device)
        : Root_(std::move(root)), Device_(std::move(device)) {}

    void MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t /*data*/,
                    uintptr_t /*extraInfo*/) override {
        constexpr uint32_t ButtonFlags =
            MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_RIGHTUP;
        std::lock_guard g(Lock_);
        bool any = false;
        // The device has no relative axes: a relative move has nowhere to go,
        // but its buttons still count. The position travels with a button
        // event too, so a press lands where the finger is.
        if ((flags & MOUSEEVENTF_ABSOLUTE) && (flags & (MOUSEEVENTF_MOVE | ButtonFlags))) {
            Emit(EV_ABS, ABS_X, static_cast<int>(x > AxisMax ? AxisMax : x));
            Emit(EV_ABS, ABS_Y, static_cast<int>(y > AxisMax ? AxisMax : y));
            any = true;
        }
        // Button transitions in flag order. A down and an up of the same
        // button in one call need a report between them, or the reader sees
        // the two collapse into nothing.
        bool leftSent = false, rightSent = false;
        auto button = [&](uint32_t flag, int code, int value, bool* sent) {
            if (!(flags & flag))
                return;
            if (*sent)
                Emit(EV_SYN, SYN_REPORT, 0);
            Emit(EV_KEY, code, value);
            *sent = true;
            any = true;
        };
        button(MOUSEEVENTF_LEFTDOWN, BTN_LEFT, 1, &leftSent);
        button(MOUSEEVENTF_LEFTUP, BTN_LEFT, 0, &leftSent);
        button(MOUSEEVENTF_RIGHTDOWN, BTN_RIGHT, 1, &rightSent);
        button(MOUSEEVENTF_RIGHTUP, BTN_RIGHT, 0, &rightSent);
        if (any)
            Emit(EV_SYN, SYN_REPORT, 0);
    }

    void PostMessage(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override {
        // Deliberately unchecked: a post never reports whether anybody listened.
        (void)PostWindowMessage(Root_, window, message, wParam, lParam);
    }

  private:
    void Emit(unsigned type, unsigned code, int value) {
        // A failed write loses one event; the next report carries the full
        // position again, and there is nobody on the reader thread to tell.
        (void)libevdev_uinput_write_event(Device_.get(), type, code, value);
    }

    std::string Root_;
    std::mutex Lock_;
    std::unique_ptr<libevdev_uinput, UinputDestroy> Device_;
};

}  // namespace

std::string UinputPhys(const std::string& phys) {
    for (char c : phys) {
        // The kernel quotes the path in the device's uevent, and udev and
        // libinput show it as it is: a character that would need escaping
        // there makes the whole path useless as a name.
        if (c <= ' ' || c > '~' || c == '"' || c == '\\')
            return {};
    }
    // The uevent that announces the device has a small fixed buffer shared by
    // all its variables, and a variable that does not fit fails the device
    // itself. The end of a long path (a by-id name's serial number and port)
    // is what tells two panels apart.
    if (phys.size() > MaxUinputPhysLength)
        return "..." + phys.substr(phys.size() - (MaxUinputPhysLength - 3));
    return phys;
}

std::unique_ptr<Input> CreateUinputInput(const std::string& root, std::string* error,
                                         std::string* deviceNode, const std::string& phys) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<Input> {
        if (error)
            *error = why;
        return nullptr;
    };
    std::unique_ptr<libevdev, EvdevFree> dev(libevdev_new());
    if (!dev)
        return fail("out of memory");
    // Window systems pick the device out by this name (xinput map-to-output,
    // a compositor's per-device settings): it never changes.
    libevdev_set_name(dev.get(), UinputDeviceName);
    libevdev_set_id_bustype(dev.get(), BUS_VIRTUAL);
    libevdev_set_id_vendor(dev.get(), 0x4F52);   // "OR"
    libevdev_set_id_product(dev.get(), 0x5631);  // "V1"
    libevdev_set_id_version(dev.get(), 0x0601);
    if (const std::string shown = UinputPhys(phys); !shown.empty())
        libevdev_set_phys(dev.get(), shown.c_str());
    input_absinfo axis{};
    axis.minimum = 0;
    axis.maximum = AxisMax;
    if (libevdev_enable_event_type(dev.get(), EV_ABS) != 0 ||
        libevdev_enable_event_code(dev.get(), EV_ABS, ABS_X, &axis) != 0 ||
        libevdev_enable_event_code(dev.get(), EV_ABS, ABS_Y, &axis) != 0 ||
        libevdev_enable_event_type(dev.get(), EV_KEY) != 0 ||
        libevdev_enable_event_code(dev.get(), EV_KEY, BTN_LEFT, nullptr) != 0 ||
        libevdev_enable_event_code(dev.get(), EV_KEY, BTN_RIGHT, nullptr) != 0 ||
        libevdev_enable_event_type(dev.get(), EV_SYN) != 0) {
        return fail("cannot describe the pointer device");
    }
    libevdev_uinput* raw = nullptr;
    int rc = libevdev_uinput_create_from_device(dev.get(), LIBEVDEV_UINPUT_OPEN_MANAGED, &raw);
    if (rc < 0)
        return fail(std::string("cannot create a uinput device: ") + std::strerror(-rc));
    std::unique_ptr<libevdev_uinput, UinputDestroy> device(raw);
    if (deviceNode) {
        const char* node = libevdev_uinput_get_devnode(device.get());
        *deviceNode = node ? node : "";
    }
    return std::make_unique<UinputInput>(root, std::move(device));
}

}  // namespace orvex
