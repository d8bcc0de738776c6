#include "system.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "common/orvex.h"
#include "tests/support/regdata.h"

namespace orvex::test {

SystemUnderTest::SystemUnderTest() {
    std::filesystem::create_directories(Root_ + "/dev");
    uint32_t error = 0;
    Reg_ = OpenSqliteRegistry(Root_, &error);
    if (!Reg_)
        throw std::runtime_error("registry: " + std::to_string(error));
}

SystemUnderTest::~SystemUnderTest() {
    Host.Signal(SIGTERM);
    Host.Wait(std::chrono::seconds(10));
    Simulator.Signal(SIGTERM);
    Simulator.Wait(std::chrono::seconds(5));
    Reg_.reset();
}

void SystemUnderTest::SetString(std::u16string_view key, std::u16string_view name,
                                const std::string& value) {
    RegKey k;
    Reg_->CreateKey(HKEY_LOCAL_MACHINE, key, &k);
    std::u16string wide = Utf8ToUtf16(value);
    wide.push_back(u'\0');
    Reg_->SetValue(k, name, REG_SZ, reinterpret_cast<const uint8_t*>(wide.data()),
                   static_cast<uint32_t>(wide.size() * 2));
    Reg_->CloseKey(k);
}

void SystemUnderTest::SetDword(std::u16string_view key, std::u16string_view name, uint32_t value) {
    orvex::test::SetDword(*Reg_, key, name, value);
}

std::optional<uint32_t> SystemUnderTest::GetDword(std::u16string_view key,
                                                  std::u16string_view name) {
    return orvex::test::GetDword(*Reg_, key, name);
}

void SystemUnderTest::Configure() {
    SetString(DriverKeyPath, u"Dll", ModulePath("orvexser.so"));
    SetString(DriverKeyPath, u"Prefix", "ORX");
    SetDword(DriverKeyPath, u"Index", 1);
    SetDword(DriverKeyPath, u"Ioctl", 0);
    SetDword(DriverKeyPath, u"Port", 1);
    SetString(u"Platform\\Serial", u"COM1", Link());
    SetString(u"Platform\\Input", u"Backend", "log");
    SetString(u"Platform\\PortIo", u"Backend", "log");
}

bool SystemUnderTest::StartSimulator(const std::vector<std::string>& options) {
    std::vector<std::string> argv{BinaryPath("orvexsim"), "--link", Link()};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!Simulator.Start(argv, Root_ + "/sim.out", Root_ + "/sim.err"))
        return false;
    struct stat st;
    return WaitUntil([&] { return ::stat(Link().c_str(), &st) == 0; }, std::chrono::seconds(10));
}

bool SystemUnderTest::StartDeviceManager() {
    return Host.Start({BinaryPath("orvex-devmgr"), "--root", Root_}, Root_ + "/devmgr.out",
                      Root_ + "/devmgr.err", {"ORVEX_ROOT=" + Root_});
}

bool SystemUnderTest::StartScriptedPanel(const std::string& script) {
    return StartSimulator(
               {"--protocol", "ts", "--rate", "9600", "--wait-signal", "--script", script}) &&
           StartDeviceManager() && WaitForDevice(std::chrono::seconds(20));
}

bool SystemUnderTest::WaitForDevice(std::chrono::milliseconds timeout) {
    struct stat st;
    std::string socket = Root_ + "/dev/ORX1";
    return WaitUntil([&] { return ::stat(socket.c_str(), &st) == 0; }, timeout);
}

std::unique_ptr<DeviceHandle> SystemUnderTest::Open() {
    return OpenDevice(u"ORX1:", Root_);
}

}  // namespace orvex::test
