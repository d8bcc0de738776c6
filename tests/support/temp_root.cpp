#include "temp_root.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace orvex::test {

TempRoot::TempRoot() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvex-root-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed for " + tmpl);
    Path_ = tmpl;
}

TempRoot::~TempRoot() {
    std::error_code ec;  // a leftover temporary directory is not worth a crash
    std::filesystem::remove_all(Path_, ec);
}

}  // namespace orvex::test
