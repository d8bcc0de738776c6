// One hexadecimal digit, either case, as the text formats of the platform
// and its tools write them.
#pragma once

namespace orvex {

// The digit's value, or -1 for a character that is not a hex digit.
constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace orvex
