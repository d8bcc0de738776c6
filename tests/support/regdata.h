// Registry value data as the system writes it, and the DWORD values the
// tests set and read back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/orvex.h"
#include "platform/registry.h"

namespace orvex::test {

// A REG_SZ value: the UTF-16 bytes of the text with its terminating zero.
inline std::vector<uint8_t> SzBytes(std::u16string_view text) {
    std::vector<uint8_t> b;
    for (char16_t c : text) {
        b.push_back(static_cast<uint8_t>(c & 0xFF));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

// Writes a REG_DWORD under HKEY_LOCAL_MACHINE\key, creating the key when it
// is missing. The registry's result: 0 when the value was written.
inline uint32_t SetDword(Registry& reg, std::u16string_view key, std::u16string_view name,
                         uint32_t value) {
    RegKey k = 0;
    if (const uint32_t rc = reg.CreateKey(HKEY_LOCAL_MACHINE, key, &k); rc != 0)
        return rc;
    uint8_t data[4];
    PutU32(data, 0, value);
    const uint32_t rc = reg.SetValue(k, name, REG_DWORD, data, 4);
    reg.CloseKey(k);
    return rc;
}

// A REG_DWORD under HKEY_LOCAL_MACHINE\key; nothing when the key or the value
// is missing, or the value is of another type or size.
inline std::optional<uint32_t> GetDword(Registry& reg, std::u16string_view key,
                                        std::u16string_view name) {
    RegKey k = 0;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, key, KEY_ALL_ACCESS, &k) != 0)
        return std::nullopt;
    std::array<uint8_t, 4> data{};
    uint32_t type = 0, size = 4;
    const uint32_t rc = reg.QueryValue(k, name, &type, data.data(), &size);
    reg.CloseKey(k);
    if (rc != 0 || type != REG_DWORD || size != 4)
        return std::nullopt;
    return GetU32(data, 0);
}

}  // namespace orvex::test
