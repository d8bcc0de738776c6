// The small descriptor and text helpers the platform's log backends and tools
// share: whole-line writes, snprintf results, owned descriptors, hex digits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "platform/fdline.h"
#include "platform/hexdigit.h"
#include "platform/uniquefd.h"

namespace orvex {
namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            Read.Reset(fds[0]);
            Write.Reset(fds[1]);
        }
    }
    UniqueFd Read, Write;
};

std::string ReadAll(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// More than a pipe holds at once: the writer has to go on after the reader
// made room, and every byte must arrive once and in order.
TEST(WriteWholeLine, DeliversTextLargerThanThePipeInOrder) {
    Pipe p;
    ASSERT_TRUE(p.Read && p.Write);
    std::string text;
    for (int i = 0; text.size() < 300 * 1024; ++i)
        text += "line " + std::to_string(i) + "\n";

    std::string got;
    std::thread reader([&] { got = ReadAll(p.Read.Get()); });
    const bool ok = WriteWholeLine(p.Write.Get(), text);
    p.Write.Reset();  // end of file for the reader
    reader.join();

    EXPECT_TRUE(ok);
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text);
}

TEST(WriteWholeLine, ReportsAnOutputThatTakesNothing) {
    EXPECT_TRUE(WriteWholeLine(-1, ""));  // nothing to write, nothing to fail
    EXPECT_FALSE(WriteWholeLine(-1, "lost\n"));

    // A full non-blocking pipe: the write cannot complete and must say so
    // instead of spinning.
    Pipe p;
    ASSERT_TRUE(p.Read && p.Write);
    ASSERT_EQ(::fcntl(p.Write.Get(), F_SETFL, O_NONBLOCK), 0);
    const std::string big(1 << 20, 'x');
    EXPECT_FALSE(WriteWholeLine(p.Write.Get(), big));
}

TEST(FormattedText, KeepsToWhatSnprintfReallyWrote) {
    char buf[8];
    int n = std::snprintf(buf, sizeof buf, "%s", "abc");
    EXPECT_EQ(FormattedText(buf, sizeof buf, n), "abc");

    // Cut short: snprintf reports the full length of "0123456789" but keeps
    // only what fits before its terminating NUL.
    char cut[8] = "0123456";
    EXPECT_EQ(FormattedText(cut, sizeof cut, 10), "0123456");

    EXPECT_TRUE(FormattedText(buf, sizeof buf, -1).empty());  // encoding error
    EXPECT_TRUE(FormattedText(buf, sizeof buf, 0).empty());
    EXPECT_TRUE(FormattedText(buf, 0, 5).empty());
}

TEST(UniqueFd, ClosesWhatItOwnsAndNothingElse) {
    int a = -1, b = -1;
    {
        Pipe p;
        a = p.Read.Get();
        b = p.Write.Get();
        ASSERT_TRUE(IsOpen(a) && IsOpen(b));

        // Moving hands ownership over; the moved-from owner closes nothing.
        UniqueFd moved(std::move(p.Read));
        EXPECT_FALSE(p.Read.Valid());
        EXPECT_EQ(moved.Get(), a);

        // Assigning over an owner closes what it held before.
        moved = std::move(p.Write);
        EXPECT_FALSE(IsOpen(a));
        EXPECT_EQ(moved.Get(), b);

        // Release gives the descriptor up without closing it.
        const int released = moved.Release();
        EXPECT_EQ(released, b);
        EXPECT_FALSE(moved);
    }
    EXPECT_TRUE(IsOpen(b));  // released, so the owner's end left it alone

    UniqueFd again(b);
    again.Reset();
    EXPECT_FALSE(IsOpen(b));
    EXPECT_EQ(again.Get(), -1);
}

TEST(HexDigit, AcceptsEitherCaseAndNothingElse) {
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const int d = HexDigit(ch);
        if (!std::isxdigit(c)) {
            EXPECT_EQ(d, -1) << "character " << c;
            continue;
        }
        const int expected = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        EXPECT_EQ(d, expected) << "character " << c;
    }
}

}  // namespace
}  // namespace orvex
