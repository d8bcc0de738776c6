// The uinput backend, read back from its event node. Needs /dev/uinput and a
// devtmpfs that shows the new node; skipped where the machine has neither.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/input.h"
#include "tests/support/temp_root.h"

namespace orvex {
namespace {

struct Event {
    unsigned Type, Code;
    int Value;
    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Event& e) {
    return o << "{" << e.Type << "," << e.Code << "," << e.Value << "}";
}

class UinputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int probe = ::open("/dev/uinput", O_WRONLY | O_CLOEXEC);
        if (probe < 0)
            GTEST_SKIP() << "/dev/uinput cannot be opened here";
        ::close(probe);
        Root = Tmp.Path();
        std::string error, node;
        In = CreateUinputInput(Root, &error, &node, Phys);
        ASSERT_NE(In, nullptr) << error;
        if (node.empty())
            GTEST_SKIP() << "the kernel named no event node";
        // udev may take a moment to make the node and set its rights.
        for (int i = 0; i < 200 && Fd < 0; ++i) {
            Fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (Fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (Fd < 0)
            GTEST_SKIP() << "cannot open " << node;
    }
    void TearDown() override {
        if (Fd >= 0)
            ::close(Fd);
        In.reset();
    }

    // Everything up to and including the count-th SYN_REPORT.
    std::vector<Event> Read(int reports) {
        std::vector<Event> got;
        while (reports > 0) {
            pollfd p{Fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                break;
            input_event ev;
            while (::read(Fd, &ev, sizeof ev) == sizeof ev) {
                got.push_back({ev.type, ev.code, ev.value});
                if (ev.type == EV_SYN && ev.code == SYN_REPORT && --reports == 0)
                    break;
            }
        }
        return got;
    }

    const std::string Phys = "/dev/serial/by-id/usb-panel-if00-port0";
    test::TempRoot Tmp;
    std::string Root;
    std::unique_ptr<Input> In;
    int Fd = -1;
};

TEST_F(UinputTest, PositionThenButtonsThenOneReport) {
    // Window systems find the device by this name to map it onto a monitor.
    char name[64] = {};
    ASSERT_GE(::ioctl(Fd, EVIOCGNAME(sizeof name - 1), name), 0);
    EXPECT_STREQ(name, UinputDeviceName);
    // Two panels' devices differ by their serial port.
    char phys[256] = {};
    ASSERT_GE(::ioctl(Fd, EVIOCGPHYS(sizeof phys - 1), phys), 0);
    EXPECT_EQ(phys, Phys);
    In->MouseEvent(0x8003, 1000, 2000, 0, 0);
    EXPECT_EQ(Read(1), (std::vector<Event>{{EV_ABS, ABS_X, 1000},
                                           {EV_ABS, ABS_Y, 2000},
                                           {EV_KEY, BTN_LEFT, 1},
                                           {EV_SYN, SYN_REPORT, 0}}));
    // Left up and right down together; the kernel drops the unchanged axes.
    In->MouseEvent(0x800C, 1000, 2000, 0, 0);
    EXPECT_EQ(Read(1),
              (std::vector<Event>{
                  {EV_KEY, BTN_LEFT, 0}, {EV_KEY, BTN_RIGHT, 1}, {EV_SYN, SYN_REPORT, 0}}));
}

TEST_F(UinputTest, ADownAndUpOfOneButtonAreTwoReports) {
    In->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP, 5, 6, 0, 0);
    EXPECT_EQ(Read(2), (std::vector<Event>{{EV_ABS, ABS_X, 5},
                                           {EV_ABS, ABS_Y, 6},
                                           {EV_KEY, BTN_LEFT, 1},
                                           {EV_SYN, SYN_REPORT, 0},
                                           {EV_KEY, BTN_LEFT, 0},
                                           {EV_SYN, SYN_REPORT, 0}}));
}

// What reaches the kernel of a port path: whole when plain and short, its end
// when long, nothing when it could not be shown as it is.
TEST(UinputPhys, KeepsTheEndOfALongPathAndLeavesOutAnOddOne) {
    EXPECT_EQ(UinputPhys("/dev/ttyUSB0"), "/dev/ttyUSB0");
    const std::string tail = "-port0";
    const std::string longPath = "/dev/serial/by-id/" + std::string(200, 'x') + tail;
    const std::string cut = UinputPhys(longPath);
    EXPECT_EQ(cut.size(), MaxUinputPhysLength);
    EXPECT_EQ(cut.rfind("...x", 0), 0u);
    EXPECT_EQ(cut.substr(cut.size() - tail.size()), tail);
    for (const std::string odd : {"/dev/tty S0", "/dev/ttyS0\n", "/dev/\"x", "/dev/t\xC3\xBCy"})
        EXPECT_EQ(UinputPhys(odd), "") << odd;
}

}  // namespace
}  // namespace orvex
