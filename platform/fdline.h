// Text lines written straight to a file descriptor, for the log backends
// that show what the driver does.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvex {

// Writes all of text to fd, going on after EINTR and short writes. A line
// goes out in one write where the fd takes it whole, so lines from several
// threads do not interleave; nothing waits in a buffer for a host that gets
// killed. False when the fd stops taking bytes (closed, full, gone).
bool WriteWholeLine(int fd, std::string_view text);

// The text snprintf left in buffer (capacity bytes) given its result: nothing
// after an encoding error, and never more than the buffer holds when the
// text was cut short.
std::string_view FormattedText(const char* buffer, size_t capacity, int result);

}  // namespace orvex
