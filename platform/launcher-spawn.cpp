// Program start with posix_spawn: the file is executed directly (never a
// command string for a shell), and a waiter thread reaps the child so no
// zombie is left behind.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/access.h"
#include "platform/debug.h"
#include "platform/lasterror.h"
#include "platform/launcher.h"
#include "platform/registry.h"  // Utf16ToUtf8

extern char** environ;

namespace orvex {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Blanks (spaces, tabs) separate arguments; a double quote starts or ends a
// stretch in which blanks belong to the argument. The quotes themselves are
// dropped, so "" is an empty argument; an unclosed quote runs to the end.
std::vector<std::string> SplitArguments(const std::string& s) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i]))
            ++i;
        if (i == s.size())
            break;
        std::string arg;
        bool quoted = false;
        for (; i < s.size() && (quoted || !IsBlank(s[i])); ++i) {
            if (s[i] == '"')
                quoted = !quoted;
            else
                arg.push_back(s[i]);
        }
        parts.push_back(std::move(arg));
    }
    return parts;
}

// The PATH of env (the process's own when there is none), or the system's
// default search path when it holds none, as execvp takes it.
std::string SearchPathOf(const std::optional<std::vector<std::string>>& env) {
    if (env) {
        for (const std::string& e : *env)
            if (e.starts_with("PATH="))
                return e.substr(5);
    } else if (const char* path = std::getenv("PATH")) {
        return path;
    }
    std::string fallback(::confstr(_CS_PATH, nullptr, 0), '\0');
    if (!fallback.empty())
        fallback.resize(::confstr(_CS_PATH, fallback.data(), fallback.size()) - 1);
    return fallback;
}

// The first executable regular file of that name in the folders of path;
// an empty folder is the working folder, as for a shell. Empty when none.
std::string FindInSearchPath(const std::string& name, const std::string& path) {
    for (size_t start = 0;;) {
        const size_t colon = path.find(':', start);
        const std::string folder = path.substr(start, colon - start);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            return {};
        start = colon + 1;
    }
}

class SpawnLauncher final : public Launcher {
  public:
    SpawnLauncher(std::string root, DebugOutput* log,
                  std::optional<std::vector<std::string>> environment, bool searchPath)
        : Root_(std::move(root)),
          Log_(log),
          Environment_(std::move(environment)),
          SearchPath_(searchPath) {}

    bool ShellExecute(std::u16string_view file, std::u16string_view parameters,
                      int /*show*/) override {
        std::string path = Utf16ToUtf8(file);
        if (path.empty() || path.find('\0') != std::string::npos) {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        const bool bare = path.find_first_of("\\/") == std::string::npos;
        if (path[0] == '\\') {
            for (char& c : path)
                if (c == '\\')
                    c = '/';
            // A device path names a file under the root and nowhere else.
            if (path == "/.." || path.find("/../") != std::string::npos || path.ends_with("/..")) {
                SetLastError(ERROR_INVALID_NAME);
                return false;
            }
            path = Root_ + path;
        }
        // A bare name is shown to the program as it was given.
        std::string argv0 = path;
        if (SearchPath_ && bare) {
            path = FindInSearchPath(path, SearchPathOf(Environment_));
            if (path.empty()) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                if (Log_ != nullptr)
                    Log_->Print(std::string(program_invocation_short_name) + ": cannot start " +
                                argv0 + ": not found in PATH\n");
                return false;
            }
        }
        // Root starts only a program that root alone could have put there,
        // the rule driver modules pass: a member of the group who may write
        // below the platform root must not get a file of theirs run as root.
        std::string program = path;
        if (::geteuid() == 0) {
            std::string why;
            std::error_code ec;
            const auto folder = std::filesystem::absolute(path, ec).parent_path();
            program = TrustedModulePath(path, {folder.string()}, &why);
            if (program.empty()) {
                // A program that is not there is told as any failed start.
                struct stat st {};
                const bool missing = ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
                SetLastError(missing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
                if (Log_ != nullptr)
                    Log_->Print(std::string(program_invocation_short_name) +
                                (missing ? ": cannot start " + path + ": " + why
                                         : ": not starting " + path + " as root: " + why) +
                                "\n");
                return false;
            }
        }

        std::vector<std::string> args;
        args.push_back(std::move(argv0));
        for (auto& a : SplitArguments(Utf16ToUtf8(parameters)))
            args.push_back(std::move(a));
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        char** envp = environ;
        std::vector<char*> given;
        if (Environment_) {
            for (std::string& e : *Environment_)
                given.push_back(e.data());
            given.push_back(nullptr);
            envp = given.data();
        }

        pid_t pid = 0;
        // The very file that was checked, wherever links on the way led.
        int rc = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp);
        if (rc != 0) {
            SetLastError(ErrorFromErrno(rc));
            if (Log_ != nullptr)
                Log_->Print(std::string(program_invocation_short_name) + ": cannot start " + path +
                            ": " + std::strerror(rc) + "\n");
            return false;
        }
        // The caller asks for no process handle, so nobody else will ever
        // wait for this child.
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
        return true;
    }

  private:
    std::string Root_;
    DebugOutput* Log_;
    std::optional<std::vector<std::string>> Environment_;
    const bool SearchPath_;
};

}  // namespace

std::unique_ptr<Launcher> CreateSpawnLauncher(std::string root, DebugOutput* log,
                                              std::optional<std::vector<std::string>> environment,
                                              bool searchPath) {
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return std::make_unique<SpawnLauncher>(std::move(root), log, std::move(environment),
                                           searchPath);
}

std::vector<std::string> CurrentEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        env.emplace_back(*e);
    return env;
}

}  // namespace orvex
