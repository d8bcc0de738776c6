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

}  // namespace orvex
