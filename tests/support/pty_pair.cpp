#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/lasterror.h"

namespace orvex::test {

PtyPair::PtyPair() {
    Master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Master_ < 0)
        throw std::runtime_error("posix_openpt failed");
    char name[128];
    if (::grantpt(Master_) != 0 || ::unlockpt(Master_) != 0 ||
        ::ptsname_r(Master_, name, sizeof name) != 0) {
        ::close(Master_);
        throw std::runtime_error("cannot set up the pty slave");
    }
    SlavePath_ = name;
}

PtyPair::~PtyPair() {
    CloseMaster();
}

void PtyPair::CloseMaster() {
    if (Master_ >= 0)
        ::close(Master_);
    Master_ = -1;
}

void PtyPair::Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(Master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{Master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error("write to pty master failed");
        }
    }
}

std::vector<uint8_t> PtyPair::Read(size_t count, std::chrono::milliseconds limit) {
    std::vector<uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{Master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buf[256];
        const ssize_t n = ::read(Master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
    }
    return out;
}

termios PtyPair::MasterTermios() const {
    termios t{};
    if (::tcgetattr(Master_, &t) != 0)
        throw std::runtime_error("tcgetattr on master failed");
    return t;
}

PtySerialSetup::PtySerialSetup() {
    uint32_t error = 0;
    Reg_ = OpenSqliteRegistry(Root_.Path(), &error);
    if (!Reg_)
        throw std::runtime_error("cannot open the test registry");
    Ports_ = CreateTermiosSerialPorts(*Reg_);
    Map(1, Pty_.SlavePath());
}

void PtySerialSetup::Map(int port, const std::string& path) {
    RegKey key = 0;
    if (Reg_->CreateKey(HKEY_LOCAL_MACHINE, u"Platform\\Serial", &key) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create Platform\\Serial");
    std::u16string text = Utf8ToUtf16(path);
    text.push_back(u'\0');
    const std::u16string name = u"COM" + Utf8ToUtf16(std::to_string(port));
    const uint32_t r =
        Reg_->SetValue(key, name, REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                       static_cast<uint32_t>(text.size() * sizeof(char16_t)));
    Reg_->CloseKey(key);
    if (r != ERROR_SUCCESS)
        throw std::runtime_error("cannot write the port mapping");
}

std::unique_ptr<SerialPort> PtySerialSetup::OpenPort() {
    return Ports_->Open(u"COM1:");
}

}  // namespace orvex::test
