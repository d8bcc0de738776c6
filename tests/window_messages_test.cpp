// Window messages to programs: the datagram a post sends, the box a program
// binds to receive it, and that a post never waits for anybody.
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/orvex.h"
#include "platform/access.h"
#include "platform/window-messages.h"
#include "support/temp_root.h"

namespace orvex {
namespace {

using Clock = std::chrono::steady_clock;

// A plain datagram socket bound at a path, to see the wire bytes themselves.
struct RawSocket {
    explicit RawSocket(const std::string& path) : Path(path) {
        Fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        Bound = ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawSocket() { ::close(Fd); }
    bool Send(const void* bytes, size_t n) const {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, Path.c_str(), sizeof a.sun_path - 1);
        int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool ok = ::sendto(s, bytes, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
                  static_cast<ssize_t>(n);
        ::close(s);
        return ok;
    }
    int Fd;
    bool Bound;
    std::string Path;
};

TEST(WindowMessages, SocketIsNamedByTheHandleInUpperCaseHex) {
    EXPECT_EQ(WindowSocketPath("/r", 0x1234), "/r/windows/00001234");
    EXPECT_EQ(WindowSocketPath("/r", 0xDEADBEEF), "/r/windows/DEADBEEF");
}

TEST(WindowMessages, DatagramIsSixteenLittleEndianBytes) {
    test::TempRoot root;
    std::filesystem::create_directories(WindowFolderPath(root.Path()));
    RawSocket sock(WindowSocketPath(root.Path(), 0x01020304));
    ASSERT_TRUE(sock.Bound);
    ASSERT_TRUE(PostWindowMessage(root.Path(), 0x01020304, 0x0111, 0x7FFF, 0xA0B0C0D0));
    std::array<uint8_t, 32> bytes{};
    ssize_t n = ::recv(sock.Fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    ASSERT_EQ(n, 16);
    const std::array<uint8_t, 16> want = {0x04, 0x03, 0x02, 0x01, 0x11, 0x01, 0x00, 0x00,
                                          0xFF, 0x7F, 0x00, 0x00, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_TRUE(std::equal(want.begin(), want.end(), bytes.begin()));
}

TEST(WindowMessages, BoxReceivesEachPostInOrder) {
    test::TempRoot root;
    auto box = WindowMessageBox::Bind(root.Path(), 0x00001234);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->Path(), root.Path() + "/windows/00001234");
    EXPECT_TRUE(PostWindowMessage(root.Path(), 0x1234, WM_COMMAND, RightClickDoneCommand, 0));
    EXPECT_TRUE(PostWindowMessage(root.Path(), 0x1234, WM_COMMAND, 1, 2));
    EXPECT_EQ(box->Receive(2000), (WindowMessage{0x1234, 0x0111, 0x7FFF, 0}));
    EXPECT_EQ(box->Receive(2000), (WindowMessage{0x1234, 0x0111, 1, 2}));
    EXPECT_EQ(box->Receive(0), std::nullopt);
}

TEST(WindowMessages, BoxDropsDatagramsOfTheWrongSize) {
    test::TempRoot root;
    auto box = WindowMessageBox::Bind(root.Path(), 7);
    ASSERT_NE(box, nullptr);
    RawSocket sender(box->Path());  // fails to bind (in use), but can send there
    const uint8_t shortOne[3] = {1, 2, 3};
    uint8_t longOne[17] = {};
    ASSERT_TRUE(sender.Send(shortOne, sizeof shortOne));
    ASSERT_TRUE(sender.Send(longOne, sizeof longOne));
    ASSERT_TRUE(PostWindowMessage(root.Path(), 7, 8, 9, 10));
    EXPECT_EQ(box->Receive(2000), (WindowMessage{7, 8, 9, 10}));
}

TEST(WindowMessages, ReceiveGivesUpAfterItsTimeOut) {
    test::TempRoot root;
    auto box = WindowMessageBox::Bind(root.Path(), 1);
    ASSERT_NE(box, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(box->Receive(50), std::nullopt);
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(45));
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(WindowMessages, PostToAHandleNobodyBoundFailsQuietly) {
    test::TempRoot root;
    // Neither the folder nor the socket exists.
    EXPECT_FALSE(PostWindowMessage(root.Path(), 0x99, WM_COMMAND, RightClickDoneCommand, 0));
    // The socket of a program that went away without unbinding.
    std::filesystem::create_directories(WindowFolderPath(root.Path()));
    { RawSocket gone(WindowSocketPath(root.Path(), 0x99)); }
    EXPECT_FALSE(PostWindowMessage(root.Path(), 0x99, WM_COMMAND, RightClickDoneCommand, 0));
}

// A full queue must cost the poster nothing: the reader thread that posts
// would otherwise stop the pointer until the program reads.
TEST(WindowMessages, PostNeverBlocksOnAFullQueue) {
    test::TempRoot root;
    auto box = WindowMessageBox::Bind(root.Path(), 5);
    ASSERT_NE(box, nullptr);
    int refused = 0;
    auto start = Clock::now();
    for (int i = 0; i < 5000; ++i) {
        if (!PostWindowMessage(root.Path(), 5, WM_COMMAND, static_cast<uint32_t>(i), 0))
            ++refused;
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_GT(refused, 0) << "the queue never filled; the test proves nothing";
    // What was queued is intact and in order.
    EXPECT_EQ(box->Receive(0), (WindowMessage{5, WM_COMMAND, 0, 0}));
    EXPECT_EQ(box->Receive(0), (WindowMessage{5, WM_COMMAND, 1, 0}));
}

// The folder is open to every program; a link planted there must not turn
// the host's post into a write to some other socket.
TEST(WindowMessages, PostDoesNotFollowLinksOrWriteToFiles) {
    test::TempRoot root;
    auto box = WindowMessageBox::Bind(root.Path(), 0xA);
    ASSERT_NE(box, nullptr);
    std::filesystem::create_symlink(box->Path(), WindowSocketPath(root.Path(), 0xB));
    EXPECT_FALSE(PostWindowMessage(root.Path(), 0xB, WM_COMMAND, RightClickDoneCommand, 0));
    EXPECT_EQ(box->Receive(0), std::nullopt);

    const std::string file = WindowSocketPath(root.Path(), 0xC);
    { std::ofstream(file) << "keep"; }
    EXPECT_FALSE(PostWindowMessage(root.Path(), 0xC, WM_COMMAND, RightClickDoneCommand, 0));
    std::ifstream in(file);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");
}

TEST(WindowMessageBox, CreatesASharedFolderAndRemovesItsSocket) {
    test::TempRoot root;
    std::string path;
    {
        auto box = WindowMessageBox::Bind(root.Path(), 0x10);
        ASSERT_NE(box, nullptr);
        path = box->Path();
        struct stat st {};
        ASSERT_EQ(::stat(WindowFolderPath(root.Path()).c_str(), &st), 0);
        // Root shares it with the platform's group when there is one; anybody
        // else keeps it to themselves outside a root shared with the group.
        const bool shared = ::geteuid() == 0 && ::getgrnam(PlatformGroup) != nullptr;
        EXPECT_EQ(st.st_mode & 07777, shared ? 03770u : 01700u);
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
    EXPECT_FALSE(PostWindowMessage(root.Path(), 0x10, 1, 2, 3));
}

TEST(WindowMessageBox, ReplacesAStaleSocketButNotALiveOne) {
    test::TempRoot root;
    std::filesystem::create_directories(WindowFolderPath(root.Path()));
    { RawSocket crashed(WindowSocketPath(root.Path(), 0x20)); }  // left behind
    auto box = WindowMessageBox::Bind(root.Path(), 0x20);
    ASSERT_NE(box, nullptr);

    std::string error;
    auto second = WindowMessageBox::Bind(root.Path(), 0x20, &error);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_NE(error.find("00000020"), std::string::npos) << error;
    // The first owner still has its socket.
    ASSERT_TRUE(PostWindowMessage(root.Path(), 0x20, 1, 2, 3));
    EXPECT_EQ(box->Receive(2000), (WindowMessage{0x20, 1, 2, 3}));
}

TEST(WindowMessageBox, RefusesAPathTooLongForASocket) {
    test::TempRoot root;
    std::string deep = root.Path() + "/" + std::string(120, 'd');
    std::filesystem::create_directories(deep);
    std::string error;
    EXPECT_EQ(WindowMessageBox::Bind(deep, 1, &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(PostWindowMessage(deep, 1, 2, 3, 4));
}

TEST(WindowMessages, ALinkSwappedInBetweenNeverRedirectsAPost) {
    test::TempRoot root;
    std::filesystem::create_directories(WindowFolderPath(root.Path()));
    // A socket the poster must never reach through the shared folder, and a
    // racer that swaps the handle's name between a real socket and a link
    // to it, as fast as it can.
    RawSocket target(root.Path() + "/private");
    RawSocket decoy(WindowFolderPath(root.Path()) + "/decoy");
    ASSERT_TRUE(target.Bound && decoy.Bound);
    const std::string name = WindowSocketPath(root.Path(), 0xB);
    const std::string link = WindowFolderPath(root.Path()) + "/link";
    std::filesystem::create_symlink(target.Path, link);
    std::atomic<bool> stop{false};
    std::thread racer([&] {
        while (!stop.load()) {
            ::rename(decoy.Path.c_str(), name.c_str());
            ::rename(name.c_str(), decoy.Path.c_str());
            ::rename(link.c_str(), name.c_str());
            ::rename(name.c_str(), link.c_str());
        }
    });
    int delivered = 0;
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end)
        delivered += PostWindowMessage(root.Path(), 0xB, WM_COMMAND, RightClickDoneCommand, 0);
    stop = true;
    racer.join();
    std::array<uint8_t, 32> buf{};
    int stolen = 0;
    while (::recv(target.Fd, buf.data(), buf.size(), MSG_DONTWAIT) > 0)
        ++stolen;
    EXPECT_EQ(stolen, 0) << "of " << delivered << " posts delivered";
    EXPECT_GT(delivered, 0) << "the real socket was reachable";
}

// The service's root may not override modes (CapabilityBoundingSet=
// CAP_SYS_RAWIO) and holds the group (Group=orvex): a member's window hears
// it through the group alone. Played by forked children: a member (uid
// 65534, in the group) and the host under the unit's capabilities.
TEST(WindowMessages, AMembersWindowHearsTheHostUnderTheServicesCapabilities) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: plays a member and the service's root";
    constexpr gid_t Group = 65531;  // the platform's group, for this test only
    constexpr uint32_t Window = 0x4D;
    test::TempRoot root;
    // The group may enter the root; windows/ as the host prepares it.
    ASSERT_EQ(::chown(root.Path().c_str(), 0, Group), 0);
    ASSERT_EQ(::chmod(root.Path().c_str(), 0750), 0);
    std::string why;
    ASSERT_TRUE(PrepareFolder(WindowFolderPath(root.Path()), WindowFolderMode,
                              FileSharing{true, true, Group}, &why))
        << why;

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t member = ::fork();
    if (member == 0) {
        const gid_t groups[] = {Group};
        if (::setgroups(1, groups) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(125);
        auto box = WindowMessageBox::Bind(root.Path(), Window);
        (void)!::write(ready[1], box ? "y" : "n", 1);
        if (!box)
            ::_exit(2);
        const auto got = box->Receive(10000);
        ::_exit(got == WindowMessage{Window, WM_COMMAND, RightClickDoneCommand, 0} ? 0 : 3);
    }
    char bound = 0;
    ASSERT_EQ(::read(ready[0], &bound, 1), 1);
    EXPECT_EQ(bound, 'y');

    const pid_t host = ::fork();
    if (host == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(Group, Group, Group) != 0)
            ::_exit(125);
        for (int cap = 0; cap <= CAP_LAST_CAP; ++cap)
            if (cap != CAP_SYS_RAWIO)
                (void)::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);  // unknown ones fail: fine
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        data[0].effective = data[0].permitted = 1u << CAP_SYS_RAWIO;
        if (::syscall(SYS_capset, &header, data) != 0)
            ::_exit(125);
        ::_exit(PostWindowMessage(root.Path(), Window, WM_COMMAND, RightClickDoneCommand, 0) ? 0
                                                                                             : 1);
    }
    int hostStatus = 0, memberStatus = 0;
    ASSERT_EQ(::waitpid(host, &hostStatus, 0), host);
    if (hostStatus != 0)
        ::kill(member, SIGKILL);
    ASSERT_EQ(::waitpid(member, &memberStatus, 0), member);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(hostStatus, 0) << "the post was refused";
    EXPECT_EQ(memberStatus, 0);
}

}  // namespace
}  // namespace orvex
