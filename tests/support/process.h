// Child programs for end-to-end tests: started with posix_spawn, output to
// files, stopped and reaped by the destructor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvex::test {

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // argv[0] is the program's path. Standard output and error go to the
    // files given (empty: /dev/null). extraEnv entries are "NAME=value".
    bool Start(const std::vector<std::string>& argv, const std::string& stdoutPath,
               const std::string& stderrPath, const std::vector<std::string>& extraEnv = {});
    pid_t Pid() const { return Pid_; }
    bool Running();
    void Signal(int sig);
    // Exit status (or 128 + signal) once the child has ended, or nothing after
    // the time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // CPU time (user + system) the child has used so far, from /proc.
    std::chrono::microseconds CpuTime() const;

  private:
    pid_t Pid_ = -1;
    std::optional<int> Status_;
};

// The program build/bin/<name> of this build tree.
std::string BinaryPath(const std::string& name);
std::string ModulePath(const std::string& name);
std::string SourcePath(const std::string& relative);

std::string ReadWholeFile(const std::string& path);
// Polls every 5 ms until the condition holds or the time-out passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace orvex::test
