#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace orvex::test {

ChildProcess::~ChildProcess() {
    if (Pid_ > 0 && !Status_) {
        ::kill(Pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& stdoutPath,
                         const std::string& stderrPath, const std::vector<std::string>& extraEnv) {
    // A second start (a restarted host) replaces the first process: forget
    // its exit, or the new one would count as ended and outlive the test.
    if (Pid_ > 0 && !Status_) {
        ::kill(Pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
    Status_.reset();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                     stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                     stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        envStore.emplace_back(*e);
    for (const auto& e : extraEnv)
        envStore.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStore)
        env.push_back(e.data());
    env.push_back(nullptr);
    int rc = posix_spawn(&Pid_, argv[0].c_str(), &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        Pid_ = -1;
    return rc == 0;
}

bool ChildProcess::Running() {
    if (Pid_ <= 0 || Status_)
        return false;
    int status = 0;
    if (::waitpid(Pid_, &status, WNOHANG) == Pid_) {
        Status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void ChildProcess::Signal(int sig) {
    if (Pid_ > 0 && !Status_)
        ::kill(Pid_, sig);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    WaitUntil([this] { return !Running(); }, timeout);
    return Status_;
}

std::chrono::microseconds ChildProcess::CpuTime() const {
    std::ifstream in("/proc/" + std::to_string(Pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    auto close = stat.rfind(')');
    if (close == std::string::npos)
        return {};
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    long ticks = ::sysconf(_SC_CLK_TCK);
    return std::chrono::microseconds((utime + stime) * 1000000ULL /
                                     static_cast<unsigned long long>(ticks));
}

namespace {
std::string FromEnv(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}
}  // namespace

// The build tree: from CTest's environment, else the folder above the
// running program (build/tests/x or build/bin/x).
std::string BuildDir() {
    if (const char* v = std::getenv("ORVEX_BINARY_DIR"))
        return v;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().parent_path().string();
}

std::string BinaryPath(const std::string& name) {
    return BuildDir() + "/bin/" + name;
}
std::string ModulePath(const std::string& name) {
    return BuildDir() + "/lib/" + name;
}
std::string SourcePath(const std::string& relative) {
    return FromEnv("ORVEX_SOURCE_DIR", ".") + "/" + relative;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace orvex::test
