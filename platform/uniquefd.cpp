#include "platform/uniquefd.h"

#include <unistd.h>

namespace orvex {

void UniqueFd::Reset(int fd) {
    if (Fd_ >= 0)
        ::close(Fd_);  // nothing useful to do when close fails
    Fd_ = fd;
}

}  // namespace orvex
