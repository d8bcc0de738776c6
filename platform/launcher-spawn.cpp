// Program start with posix_spawn: the file is executed directly (never a
// command string for a shell), and a waiter thread reaps the child so no
// zombie is left behind.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/lasterror.h"
#include "platform/launcher.h"

extern char** environ;

namespace orvex {

namespace {

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string> SplitOnBlanks(const std::string& s) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i]))
            ++i;
        size_t start = i;
        while (i < s.size() && !IsBlank(s[i]))
            ++i;
        if (i > start)
            parts.emplace_back(s, start, i - start);
    }
    return parts;
}

class SpawnLauncher final : public Launcher {
  public:
    explicit SpawnLauncher(std::string root) : Root_(std::move(root)) {}

    bool ShellExecute(std::u16string_view file, std::u16string_view parameters,
                      int /*show*/) override {
        std::string path = ToUtf8(file);
        if (path.empty() || path.find('\0') != std::string::npos) {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
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

        std::vector<std::string> args;
        args.push_back(path);
        for (auto& a : SplitOnBlanks(ToUtf8(parameters)))
            args.push_back(std::move(a));
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        pid_t pid = 0;
        int rc = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
        if (rc != 0) {
            SetLastError(ErrorFromErrno(rc));
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
};

}  // namespace

std::unique_ptr<Launcher> CreateSpawnLauncher(std::string root) {
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return std::make_unique<SpawnLauncher>(std::move(root));
}

}  // namespace orvex
