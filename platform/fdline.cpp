#include "platform/fdline.h"

#include <unistd.h>

#include <cerrno>

namespace orvex {

bool WriteWholeLine(int fd, std::string_view text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

std::string_view FormattedText(const char* buffer, size_t capacity, int result) {
    if (result <= 0 || capacity == 0)
        return {};
    // snprintf keeps the last byte for its terminating NUL.
    const size_t length = static_cast<size_t>(result);
    return {buffer, length < capacity ? length : capacity - 1};
}

}  // namespace orvex
