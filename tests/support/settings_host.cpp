#include "settings_host.h"

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "process.h"
#include "regdata.h"

namespace orvex::test {

SettingsHost::SettingsHost() {
    Registry& reg = Root.Reg();
    // The driver module takes its platform from the root it starts under:
    // log backends, and a COM1 that does not exist.
    ::setenv("ORVEX_ROOT", Root.Root().c_str(), 1);
    const struct {
        const char16_t* Key;
        const char16_t* Name;
        std::string Value;
    } platform[] = {{u"Platform\\Serial", u"COM1", Root.Root() + "/no-such-tty"},
                    {u"Platform\\Input", u"Backend", "log"},
                    {u"Platform\\PortIo", u"Backend", "log"}};
    for (const auto& [key, name, value] : platform) {
        RegKey k = 0;
        reg.CreateKey(HKEY_LOCAL_MACHINE, key, &k);
        std::u16string text = Utf8ToUtf16(value) + u'\0';
        reg.SetValue(k, name, REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                     text.size() * 2);
        reg.CloseKey(k);
    }
    Root.RegisterDriver(u"ORVEXSER", ModulePath("orvexser.so"), "ORX", 1, std::nullopt);
    Root.SetDword(u"ORVEXSER", u"Port", 1);
    Root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 1, std::nullopt);
    size_t served = 0;
    OffMainThread([&] { served = Host.Start(Root.Root(), reg); });
    if (served != 2) {
        std::string lines;
        for (const auto& l : Log.Lines())
            lines += l;
        throw std::runtime_error("device host did not serve both devices:\n" + lines);
    }
}

SettingsHost::~SettingsHost() {
    OffMainThread([this] { Host.Stop(); });
}

// The driver starts and stops on a thread of its own, so the module's
// thread-local data never lands on the main thread: the leak check at exit
// cannot walk the main thread's dynamic thread-local blocks with this C
// library.
void SettingsHost::OffMainThread(const std::function<void()>& work) {
    std::thread(work).join();
}

SettingsHost& SettingsHost::Get() {
    static SettingsHost host;
    return host;
}

void SettingsHost::Reset(uint32_t runRightButton, uint32_t sound, uint32_t tone,
                         uint32_t duration) {
    Root.SetDword(u"ORVEXSER", u"RunRightButton", runRightButton);
    Root.SetDword(u"ORVEXSER", u"FeedbackSound", sound);
    Root.SetDword(u"ORVEXSER", u"FeedbackTone", tone);
    Root.SetDword(u"ORVEXSER", u"FeedbackDuration", duration);
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings{}.EncodeFeedback(buf);
    auto h = OpenDriver();
    if (!h || h->IoControl(IOCTL_ORX_SET_FEEDBACK, buf.data(), buf.size(), buf.data(), buf.size(),
                           nullptr) != 1)
        throw std::runtime_error("driver reset");
}

std::optional<uint32_t> SettingsHost::Dword(std::u16string_view name) {
    return GetDword(Root.Reg(), DriverKeyPath, name);
}

TouchSettings SettingsHost::DriverSettings() {
    std::array<uint8_t, TouchSettings::Size> buf{};
    auto h = OpenDriver();
    if (!h || h->IoControl(IOCTL_ORX_GET_SETTINGS, buf.data(), buf.size(), buf.data(), buf.size(),
                           nullptr) != 1)
        throw std::runtime_error("driver settings");
    return TouchSettings::Decode(buf);
}

}  // namespace orvex::test
