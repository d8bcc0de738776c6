// Program start: ShellExecuteEx as the driver uses it (no verb, no handle
// asked for). Never through a shell.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

class Launcher {
  public:
    virtual ~Launcher() = default;
    // file: a path; one that begins with '\' names a file under the
    // platform root. parameters: a command-line tail, may be empty; it is
    // split into arguments at blanks (spaces and tabs), and double quotes
    // group blanks into one argument ("a b" is the one argument a b; the
    // quotes are dropped).
    // Returns true when the program was started.
    virtual bool ShellExecute(std::u16string_view file, std::u16string_view parameters,
                              int show) = 0;
};

class DebugOutput;

// posix_spawn under the platform root ($ORVEX_ROOT). As root it starts only
// a regular file of root's that only root can write, in folders only root
// can change (TrustedModulePath with the program's own folder), and refuses
// anything else with ERROR_ACCESS_DENIED. A program that cannot be started
// or is refused is told on log (when given) in one line: the driver does
// not report it, and nobody would learn why the helper never came up.
//
// environment: the "NAME=value" entries every program started gets; without
// it, the launcher's own process environment as it stands at the start.
// searchPath: a file with no '\' and no '/' is looked up in the PATH of
// that environment, as a shell user expects; without it such a name is a
// path from the working folder.
std::unique_ptr<Launcher> CreateSpawnLauncher(
    std::string root, DebugOutput* log = nullptr,
    std::optional<std::vector<std::string>> environment = std::nullopt, bool searchPath = false);

// The process's environment now, as "NAME=value" entries: taken before a
// program changes its own, it is what the programs it starts should get.
std::vector<std::string> CurrentEnvironment();

}  // namespace orvex
