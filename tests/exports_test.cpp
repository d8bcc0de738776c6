// The driver module exports exactly the ten stream entry points, and the
// device manager can find each of them by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "support/process.h"

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
    std::set<std::string> names;
    std::string command = "nm -D --defined-only '" + path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return names;
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        char address[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3)
            names.insert(name);
    }
    pclose(pipe);
    return names;
}

TEST(DriverModule, ExportsExactlyTheTenEntryPoints) {
    const std::string path = orvex::test::ModulePath("orvexser.so");
    const std::set<std::string> expected = {
        "ORX_Close",     "ORX_Deinit",  "ORX_IOControl", "ORX_Init", "ORX_Open",
        "ORX_PowerDown", "ORX_PowerUp", "ORX_Read",      "ORX_Seek", "ORX_Write",
    };
    auto names = DefinedDynamicSymbols(path);
    // The version script also defines a version node, which is not a symbol
    // a caller can use; everything else must be one of the ten.
    std::set<std::string> functions;
    for (const auto& n : names)
        if (n.rfind("ORX_", 0) == 0 || n.find('@') == std::string::npos)
            functions.insert(n);
    EXPECT_EQ(functions, expected) << "nm -D of " << path;

    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    for (const auto& name : expected)
        EXPECT_NE(dlsym(module, name.c_str()), nullptr) << name;
    EXPECT_EQ(dlsym(module, "_ZN5orvex12ProcessPointERNS_6DriverEtth"), nullptr);
    dlclose(module);
}

}  // namespace
