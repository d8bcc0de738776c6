#include "platform/error-help.h"

#include <cctype>

#include "platform/lasterror.h"
#include "platform/registry.h"

namespace orvex {

namespace {

struct Help {
    const char* Meaning;
    const char* Fix;
};

Help DeviceHelp(uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return {"no device manager serves this device",
                    "start orvex-devmgr, and check that it and this program use the same "
                    "platform root (--root or ORVEX_ROOT)"};
        case ERROR_ACCESS_DENIED:
            return {"only root and members of the group orvex may use the device",
                    "add the user to the group (usermod -aG orvex USER) and log in again"};
        case ERROR_TOO_MANY_OPEN_FILES:
            return {"this user already holds as many open handles on the device as allowed",
                    "close the programs of this user that keep the device open"};
        case ERROR_DEVICE_NOT_CONNECTED:
            return {"the device manager closed the connection, or answered out of turn",
                    "read orvex-devmgr's messages (its standard error, or the system "
                    "journal) and restart it if it hangs"};
        case ERROR_TIMEOUT:
            return {"the device manager did not answer within 2 seconds",
                    "see whether orvex-devmgr is stopped or hangs (its messages are on its "
                    "standard error, or in the system journal) and restart it"};
        case ERROR_INVALID_NAME:
            return {"not a device name", "give a name such as ORX1:"};
        default:
            return {nullptr, nullptr};
    }
}

Help RegistryHelp(uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return {"no such key or value", "check the name with orvexreg query"};
        case ERROR_ACCESS_DENIED:
            return {"this user may not open or change the registry",
                    "run as root or as a member of the group orvex"};
        case ERROR_GEN_FAILURE:
            return {"the registry database is damaged or is not a registry",
                    "stop orvex-devmgr, move registry.db (with registry.db-wal and -shm) "
                    "aside and import the configuration again (orvexreg import)"};
        case ERROR_SHARING_VIOLATION:
            return {"the registry is busy: another program held it for more than 10 s",
                    "try again; if it stays busy, look for a stuck orvexreg or program"};
        case ERROR_NOT_ENOUGH_MEMORY:
            return {"out of memory", "close other programs and try again"};
        case ERROR_KEY_DELETED:
            return {"the key was deleted meanwhile", "try again"};
        default:
            return {nullptr, nullptr};
    }
}

}  // namespace

std::string ErrorAdvice(uint32_t error, ErrorTopic topic) {
    const Help h = topic == ErrorTopic::Device ? DeviceHelp(error) : RegistryHelp(error);
    return h.Meaning != nullptr ? std::string(h.Meaning) + "; " + h.Fix : std::string();
}

std::u16string AccessAdvice(uint32_t error) {
    if (error != ERROR_ACCESS_DENIED)
        return {};
    std::u16string advice = Utf8ToUtf16(ErrorAdvice(error, ErrorTopic::Device)) + u".";
    advice[0] = static_cast<char16_t>(std::toupper(advice[0]));  // a sentence of its own
    return u"\n\n" + advice;
}

std::string ExplainError(uint32_t error, ErrorTopic topic) {
    const std::string advice = ErrorAdvice(error, topic);
    return "error " + std::to_string(error) + (advice.empty() ? "" : ": " + advice);
}

}  // namespace orvex
