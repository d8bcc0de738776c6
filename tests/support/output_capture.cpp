#include "output_capture.h"

#include <fcntl.h>
#include <unistd.h>

namespace orvex::test {

namespace {
std::string ReadToEnd(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}
}  // namespace

PipeCapture::PipeCapture() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        Read_ = fds[0];
        Write_ = fds[1];
    }
}

PipeCapture::~PipeCapture() {
    if (Write_ >= 0)
        ::close(Write_);
    if (Read_ >= 0)
        ::close(Read_);
}

std::string PipeCapture::Text() {
    if (Write_ >= 0)
        ::close(Write_);
    Write_ = -1;
    return Read_ >= 0 ? ReadToEnd(Read_) : std::string();
}

StdRedirect::StdRedirect(int target) : Target_(target) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    Read_ = fds[0];
    Saved_ = ::dup(target);
    ::dup2(fds[1], target);
    ::close(fds[1]);
}

StdRedirect::~StdRedirect() {
    Restore();
    if (Read_ >= 0)
        ::close(Read_);
}

void StdRedirect::Restore() {
    if (Saved_ < 0)
        return;
    ::dup2(Saved_, Target_);
    ::close(Saved_);
    Saved_ = -1;
}

std::string StdRedirect::Text() {
    Restore();
    return Read_ >= 0 ? ReadToEnd(Read_) : std::string();
}

}  // namespace orvex::test
