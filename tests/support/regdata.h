// Registry value data as the system writes it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

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

}  // namespace orvex::test
