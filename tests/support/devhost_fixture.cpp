#include "devhost_fixture.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/orvex.h"
#include "process.h"
#include "regdata.h"

namespace orvex::test {

HostRoot::HostRoot() {
    uint32_t error = 0;
    Reg_ = OpenSqliteRegistry(Root_, &error);
    if (!Reg_)
        throw std::runtime_error("registry: " + std::to_string(error));
}

HostRoot::~HostRoot() {
    Reg_.reset();
}

void HostRoot::SetString(const std::u16string& key, std::u16string_view name,
                         const std::string& value) {
    RegKey k = 0;
    if (Reg_->CreateKey(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\" + key, &k) != 0) {
        throw std::runtime_error("CreateKey");
    }
    std::u16string wide = Utf8ToUtf16(value);
    wide.push_back(u'\0');
    Reg_->SetValue(k, name, REG_SZ, reinterpret_cast<const uint8_t*>(wide.data()),
                   static_cast<uint32_t>(wide.size() * 2));
    Reg_->CloseKey(k);
}

void HostRoot::SetDword(const std::u16string& key, std::u16string_view name, uint32_t value) {
    if (orvex::test::SetDword(*Reg_, u"Drivers\\BuiltIn\\" + key, name, value) != 0)
        throw std::runtime_error("SetDword");
}

void HostRoot::RegisterDriver(const std::u16string& key, const std::string& dll,
                              const std::string& prefix, uint32_t index,
                              std::optional<uint32_t> ioctl) {
    SetString(key, u"Dll", dll);
    SetString(key, u"Prefix", prefix);
    SetDword(key, u"Index", index);
    if (ioctl)
        SetDword(key, u"Ioctl", *ioctl);
}

std::string FakeDriverPath() {
    return ModulePath("fakedriver.so");
}

FakeModule::FakeModule() {
    Handle_ = ::dlopen(FakeDriverPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (Handle_ == nullptr)
        throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
    auto reset = reinterpret_cast<void (*)()>(::dlsym(Handle_, "FakeDriverReset"));
    Counters_ = reinterpret_cast<void (*)(uint32_t*)>(::dlsym(Handle_, "FakeDriverCounters"));
    if (reset == nullptr || Counters_ == nullptr)
        throw std::runtime_error("fake symbols");
    reset();
}

FakeModule::~FakeModule() {
    ::dlclose(Handle_);
}

uint32_t FakeModule::Counter(fake::Counter which) const {
    uint32_t all[fake::CounterCount];
    Counters_(all);
    return all[which];
}

RawConnection ConnectRaw(const std::string& socketPath) {
    RawConnection c;
    c.Fd.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::connect(c.Fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return c;
    std::array<uint8_t, 64> buf{};
    pollfd p{c.Fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1)
        return c;
    const ptrdiff_t n = devwire::ReceivePacket(c.Fd.Get(), buf);
    if (n > 0)
        c.Hello = devwire::ParseHello(std::span(buf).first(static_cast<size_t>(n)));
    return c;
}

bool ClosedByHost(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1)
        return false;
    std::array<uint8_t, 64> buf{};
    return devwire::ReceivePacket(fd, buf) == 0;
}

bool TransformWorks(DeviceHandle& h, uint8_t seed) {
    uint8_t in[16], out[20];
    for (uint8_t i = 0; i < sizeof in; ++i)
        in[i] = static_cast<uint8_t>(seed + i);
    std::memset(out, 0xEE, sizeof out);
    uint32_t returned = 0;
    if (h.IoControl(fake::CodeTransform, in, sizeof in, out, sizeof out, &returned) != 1) {
        return false;
    }
    for (size_t i = 0; i < sizeof in; ++i) {
        if (out[i] != (in[i] ^ 0x5A))
            return false;
    }
    for (size_t i = sizeof in; i < sizeof out; ++i) {
        if (out[i] != 0xEE)
            return false;
    }
    return returned == sizeof in;
}

}  // namespace orvex::test
