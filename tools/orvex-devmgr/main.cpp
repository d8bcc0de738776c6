// orvex-devmgr: the device manager. Loads the drivers registered under
// HKEY_LOCAL_MACHINE\Drivers\BuiltIn, serves their devices on sockets under
// $ORVEX_ROOT/dev and runs in the foreground until SIGTERM or SIGINT.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/devhost.h"
#include "platform/devwire.h"
#include "platform/platform.h"

namespace {

constexpr char Usage[] =
    "usage: orvex-devmgr [--root DIR]\n"
    "\n"
    "Loads the drivers registered under HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn and serves\n"
    "each device <Prefix><Index>: on the socket DIR/dev/<Prefix><Index> until SIGTERM or\n"
    "SIGINT.\n"
    "\n"
    "  --root DIR   the platform root (default: $ORVEX_ROOT, else /var/lib/orvex)\n"
    "  --help       show this text\n";

void Say(const std::string& text) {
    std::fprintf(stderr, "orvex-devmgr: %s\n", text.c_str());
}

// Where a Dll given as a bare file name is looked for: the usual folders,
// then the module folder of an installation, found from this program's own
// place (<prefix>/sbin/orvex-devmgr), so that a registry made from the
// source tree's orvex.reg also works on an installed machine.
std::vector<std::string> LibraryDirs() {
    auto dirs = orvex::DeviceHost::DefaultLibraryDirs();
#ifdef ORVEX_INSTALL_MODULE_DIR
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        dirs.push_back((exe.parent_path().parent_path() / ORVEX_INSTALL_MODULE_DIR).string());
#endif
    return dirs;
}

int Run(int argc, char** argv) {
    std::string root = orvex::PlatformRoot();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (arg == "--root" && i + 1 < argc && argv[i + 1][0] != '\0') {
            root = argv[++i];
        } else if (arg.starts_with("--root=") && arg.size() > 7) {
            root = std::string(arg.substr(7));
        } else {
            Say("unknown or incomplete option: " + std::string(arg));
            std::fputs(Usage, stderr);
            return 2;
        }
    }

    // The drivers, and the programs they start, find the platform through
    // ORVEX_ROOT: it must name the root this host serves, or a driver would
    // read another registry than the one that loaded it. Set before any
    // thread exists.
    if (::setenv("ORVEX_ROOT", root.c_str(), 1) != 0) {
        Say(std::string("cannot set ORVEX_ROOT: ") + std::strerror(errno));
        return 1;
    }

    // The stop signals are taken through a descriptor, so the handler-free
    // main thread does the stopping. Blocked before any thread starts, so
    // every thread inherits the mask and none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        Say("cannot block the stop signals");
        return 1;
    }
    orvex::devwire::UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!signals) {
        Say(std::string("cannot create a signal descriptor: ") + std::strerror(errno));
        return 1;
    }
    // A program that disconnects mid-reply must not kill the host.
    ::signal(SIGPIPE, SIG_IGN);

    uint32_t error = 0;
    auto registry = orvex::OpenSqliteRegistry(root, &error);
    if (!registry) {
        Say("cannot open the registry under " + root + " (error " + std::to_string(error) + ")");
        return 1;
    }

    orvex::StderrDebugOutput log;
    orvex::DeviceHost host(log);
    orvex::DeviceHost::Options options;
    options.LibraryDirs = LibraryDirs();
    if (host.Start(root, *registry, options) == 0) {
        Say("no driver loaded");
        return 1;
    }

    for (;;) {
        signalfd_siginfo info{};
        const ssize_t n = ::read(signals.Get(), &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info))
            break;
        if (n < 0 && errno != EINTR) {
            Say(std::string("cannot wait for signals: ") + std::strerror(errno));
            break;
        }
    }
    host.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return Run(argc, argv);
}
