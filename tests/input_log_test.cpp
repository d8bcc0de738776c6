// The log input backend: its exact lines, and that a post still reaches the
// program that owns the window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/orvex.h"
#include "platform/input.h"
#include "platform/window-messages.h"
#include "support/output_capture.h"
#include "support/temp_root.h"

namespace orvex {
namespace {

TEST(LogInput, WritesTheCallsInTheirExactForm) {
    test::TempRoot root;
    test::PipeCapture out;
    {
        auto in = CreateLogInput(root.Path(), out.Fd());
        in->MouseEvent(0x8003, 32768, 32768, 0, 0);
        in->MouseEvent(MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_RIGHTUP, 0, 65535, 0, 0);
        in->MouseEvent(0x800C, 7, 65472, 0, 0);
        in->PostMessage(0x1234, WM_COMMAND, RightClickDoneCommand, 0);
        in->PostMessage(0xDEADBEEF, 0x0111, 0xABCD, 4294967295u);
    }
    EXPECT_EQ(out.Text(),
              "mouse_event(0x8003, 32768, 32768, 0, 0)\n"
              "mouse_event(0x8010, 0, 65535, 0, 0)\n"
              "mouse_event(0x800C, 7, 65472, 0, 0)\n"
              "PostMessageW(0x00001234, 0x0111, 0x7FFF, 0)\n"
              "PostMessageW(0xDEADBEEF, 0x0111, 0xABCD, 4294967295)\n");
}

TEST(LogInput, SmallFlagsAndWindowsArePaddedToTheirWidth) {
    test::TempRoot root;
    test::PipeCapture out;
    {
        auto in = CreateLogInput(root.Path(), out.Fd());
        in->MouseEvent(0x0001, 1, 2, 3, 4);
        in->PostMessage(0x1, 0x2, 0x3, 5);
    }
    EXPECT_EQ(out.Text(),
              "mouse_event(0x0001, 1, 2, 3, 4)\n"
              "PostMessageW(0x00000001, 0x0002, 0x0003, 5)\n");
}

TEST(LogInput, PostIsLoggedAndDeliveredToTheWindowsOwner) {
    test::TempRoot root;
    auto box = WindowMessageBox::Bind(root.Path(), 0x00ABCDEF);
    ASSERT_NE(box, nullptr);
    test::PipeCapture out;
    auto in = CreateLogInput(root.Path(), out.Fd());
    in->PostMessage(0x00ABCDEF, WM_COMMAND, RightClickDoneCommand, 0);
    auto m = box->Receive(2000);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, (WindowMessage{0x00ABCDEF, 0x0111, 0x7FFF, 0}));
    in.reset();
    EXPECT_EQ(out.Text(), "PostMessageW(0x00ABCDEF, 0x0111, 0x7FFF, 0)\n");
}

TEST(LogInput, PostToAWindowNobodyOwnsIsOnlyLogged) {
    test::TempRoot root;
    test::PipeCapture out;
    {
        auto in = CreateLogInput(root.Path(), out.Fd());
        in->PostMessage(0x42, WM_COMMAND, RightClickDoneCommand, 0);
        in->MouseEvent(0x8001, 1, 1, 0, 0);  // still working after the lost post
    }
    EXPECT_EQ(out.Text(),
              "PostMessageW(0x00000042, 0x0111, 0x7FFF, 0)\n"
              "mouse_event(0x8001, 1, 1, 0, 0)\n");
}

// One write per line: lines from several threads may come in any order, but
// never cut into each other.
TEST(LogInput, LinesFromSeveralThreadsStayWhole) {
    test::TempRoot root;
    test::PipeCapture out;
    constexpr int Threads = 4, PerThread = 150;
    {
        auto in = CreateLogInput(root.Path(), out.Fd());
        std::vector<std::thread> workers;
        for (int t = 0; t < Threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < PerThread; ++i) {
                    in->MouseEvent(0x8001, static_cast<uint32_t>(t), static_cast<uint32_t>(i), 0,
                                   0);
                }
            });
        }
        for (auto& w : workers)
            w.join();
    }
    std::istringstream lines(out.Text());
    std::set<std::string> seen;
    std::string line;
    while (std::getline(lines, line))
        seen.insert(line);
    ASSERT_EQ(seen.size(), static_cast<size_t>(Threads * PerThread));
    for (int t = 0; t < Threads; ++t) {
        for (int i = 0; i < PerThread; ++i) {
            std::string want =
                "mouse_event(0x8001, " + std::to_string(t) + ", " + std::to_string(i) + ", 0, 0)";
            EXPECT_TRUE(seen.count(want)) << want;
        }
    }
}

}  // namespace
}  // namespace orvex
