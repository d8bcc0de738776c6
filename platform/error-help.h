// What an error number means to a person and what usually mends it, in one
// place for every tool and program. The number itself is always shown too:
// it is what a log or a support request quotes.
#pragma once

#include <cstdint>
#include <string>

namespace orvex {

// Where the error came from: the same number means different things when
// opening a device and when using the registry.
enum class ErrorTopic { Device, Registry };

// "error 5: ... ; ..." without surrounding punctuation. Numbers without a
// known meaning give just "error N".
std::string ExplainError(uint32_t error, ErrorTopic topic);

// Only the "meaning; what mends it" part, empty for a number without a known
// meaning: for a message whose own text already shows the number.
std::string ErrorAdvice(uint32_t error, ErrorTopic topic);

// For the programs' "cannot open the device" boxes, whose text is fixed: a
// paragraph that names the group when the user is not let in, else nothing.
// A kiosk user started the program from a menu and sees no terminal.
std::u16string AccessAdvice(uint32_t error);

}  // namespace orvex
