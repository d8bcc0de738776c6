#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace orvex {

std::string PlatformRoot() {
    // An empty setting is treated as unset: an empty root would silently put
    // the platform's files into whatever the current directory happens to be.
    const char* root = std::getenv("ORVEX_ROOT");
    if (root && *root)
        return root;
    return "/var/lib/orvex";
}

}  // namespace orvex
