#include "panel_host.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/debug.h"
#include "platform/devhost.h"
#include "process.h"
#include "regdata.h"

namespace orvex::test {

struct PanelHost::Impl {
    std::string Root;
    std::unique_ptr<Registry> Reg;
    CaptureDebugOutput Log;
    DeviceHost Host{Log};

    ~Impl() {
        Host.Stop();
        Reg.reset();
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
    }

    void SetString(std::u16string_view key, std::u16string_view name, const std::string& value) {
        RegKey k = 0;
        if (Reg->CreateKey(HKEY_LOCAL_MACHINE, key, &k) != 0)
            throw std::runtime_error("CreateKey");
        const std::vector<uint8_t> data = SzBytes(Utf8ToUtf16(value));
        Reg->SetValue(k, name, REG_SZ, data.data(), static_cast<uint32_t>(data.size()));
        Reg->CloseKey(k);
    }
    void SetDword(std::u16string_view key, std::u16string_view name, uint32_t value) {
        RegKey k = 0;
        if (Reg->CreateKey(HKEY_LOCAL_MACHINE, key, &k) != 0)
            throw std::runtime_error("CreateKey");
        std::array<uint8_t, 4> data{};
        PutU32(data, 0, value);
        Reg->SetValue(k, name, REG_DWORD, data.data(), 4);
        Reg->CloseKey(k);
    }
};

PanelHost::PanelHost() : I_(std::make_unique<Impl>()) {
    char tmpl[] = "/tmp/orvex-panel-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp");
    I_->Root = tmpl;
    std::filesystem::create_directories(I_->Root + "/dev");
    uint32_t error = 0;
    I_->Reg = OpenSqliteRegistry(I_->Root, &error);
    if (!I_->Reg)
        throw std::runtime_error("registry: " + std::to_string(error));
    // The driver module takes its platform from the root it is started under.
    ::setenv("ORVEX_ROOT", I_->Root.c_str(), 1);
    I_->SetString(DriverKeyPath, u"Dll", ModulePath("orvexser.so"));
    I_->SetString(DriverKeyPath, u"Prefix", "ORX");
    I_->SetDword(DriverKeyPath, u"Index", 1);
    I_->SetDword(DriverKeyPath, u"Port", 1);
    I_->SetString(u"Platform\\Serial", u"COM1", I_->Root + "/no-such-tty");
    I_->SetString(u"Platform\\Input", u"Backend", "log");
    I_->SetString(u"Platform\\PortIo", u"Backend", "log");
    const std::u16string fake = u"Drivers\\BuiltIn\\Fake";
    I_->SetString(fake, u"Dll", ModulePath("fakedriver.so"));
    I_->SetString(fake, u"Prefix", "FAK");
    I_->SetDword(fake, u"Index", 1);
    if (I_->Host.Start(I_->Root, *I_->Reg) != 2) {
        std::string log;
        for (const std::string& line : I_->Log.Lines())
            log += line;
        throw std::runtime_error("device host: " + log);
    }
}

PanelHost& PanelHost::Get() {
    static PanelHost host;
    return host;
}

const std::string& PanelHost::Root() const {
    return I_->Root;
}
Registry& PanelHost::Reg() {
    return *I_->Reg;
}
std::unique_ptr<DeviceHandle> PanelHost::OpenDriver() {
    return OpenDevice(u"ORX1:", I_->Root);
}
std::unique_ptr<DeviceHandle> PanelHost::OpenRefusing() {
    return OpenDevice(u"FAK1:", I_->Root);
}

TouchSettings PanelHost::DriverSettings() {
    std::array<uint8_t, TouchSettings::Size> buf{};
    auto h = OpenDriver();
    if (!h || h->IoControl(IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(), buf.size(),
                           nullptr) != 1)
        throw std::runtime_error("driver settings");
    return TouchSettings::Decode(buf);
}

namespace {
std::optional<std::pair<uint32_t, uint32_t>> Query(Registry& reg, std::u16string_view name) {
    RegKey k = 0;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, KEY_ALL_ACCESS, &k) != 0)
        return std::nullopt;
    std::array<uint8_t, 4> data{};
    uint32_t type = 0, size = 4;
    const uint32_t rc = reg.QueryValue(k, name, &type, data.data(), &size);
    reg.CloseKey(k);
    if (rc != 0 || size != 4)
        return std::nullopt;
    return std::make_pair(type, GetU32(data, 0));
}
}  // namespace

std::optional<uint32_t> PanelHost::Dword(std::u16string_view name) {
    auto v = Query(*I_->Reg, name);
    return v ? std::optional(v->second) : std::nullopt;
}

std::optional<uint32_t> PanelHost::Type(std::u16string_view name) {
    auto v = Query(*I_->Reg, name);
    return v ? std::optional(v->first) : std::nullopt;
}

void PanelHost::SetDword(std::u16string_view name, uint32_t value) {
    I_->SetDword(DriverKeyPath, name, value);
}

void PanelHost::Remove(std::u16string_view name) {
    RegKey k = 0;
    if (I_->Reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, KEY_ALL_ACCESS, &k) != 0)
        return;
    I_->Reg->DeleteValue(k, name);
    I_->Reg->CloseKey(k);
}

void PanelHost::Reset(uint32_t runRightButton, uint32_t sound, uint32_t tone, uint32_t duration) {
    I_->SetString(DriverKeyPath, u"Version", DriverVersion);
    SetDword(u"RunRightButton", runRightButton);
    SetDword(u"FeedbackSound", sound);
    SetDword(u"FeedbackTone", tone);
    SetDword(u"FeedbackDuration", duration);
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings{}.EncodeFeedback(buf);
    auto h = OpenDriver();
    if (!h || h->IoControl(IOCTL_ORX_SET_FEEDBACK, buf.data(), buf.size(), buf.data(), buf.size(),
                           nullptr) != 1)
        throw std::runtime_error("driver reset");
}

}  // namespace orvex::test
