// orvex-devmgr: the device manager. Loads the drivers registered under
// HKEY_LOCAL_MACHINE\Drivers\BuiltIn, serves their devices on sockets under
// $ORVEX_ROOT/dev and runs in the foreground until SIGTERM or SIGINT.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/host.h"
#include "device/wire.h"
#include "platform/access.h"
#include "platform/error-help.h"
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

// Where a Dll given as a bare file name is looked for, and (as root) the
// folders a module may be loaded from: the usual folders, then the module
// folder of an installation, found from this program's own place
// (<prefix>/sbin/orvex-devmgr).
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

// Once a stop signal has come, the host ends within StopLimit whatever a
// driver is doing: past that, it leaves as if it had died. Its sockets are
// then stale, which the next host and every program already handle.
constexpr auto StopLimit = std::chrono::milliseconds(1800);

void StartWatchdog() {
    std::thread([] {
        std::this_thread::sleep_for(StopLimit);
        static constexpr char Text[] =
            "orvex-devmgr: the drivers did not stop in time; leaving without them\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, Text, sizeof Text - 1);
        ::_exit(1);
    }).detach();
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
    // The driver finds the platform (its registry, its files) through the
    // environment; --root must reach it too.
    ::setenv("ORVEX_ROOT", root.c_str(), 1);

    // The registry names the modules root will load: as root, nobody but
    // root and the group may be able to change it, or what lies above it.
    const orvex::FileSharing sharing = orvex::CurrentFileSharing(root);
    std::string why;
    if (!orvex::PreparePlatformRoot(root, sharing, &why)) {
        Say(why);
        return 1;
    }
    for (const char* name : orvex::RegistryFiles) {
        if (!orvex::OnlyTrustedWriters(root + "/" + name, sharing, &why)) {
            Say("refusing the registry: " + why);
            return 1;
        }
    }
    // Members may use the root's entries but never make them: one that is
    // not root's was planted (a socket that answers in the host's name, a
    // registry that is a link to some other file).
    if (!orvex::RootOwnsPlatformEntries(root, sharing, &why)) {
        Say("refusing the platform root: " + why);
        return 1;
    }
    uint32_t error = 0;
    auto registry = orvex::OpenSqliteRegistry(root, &error);
    if (!registry) {
        Say("cannot open the registry under " + root + " (" +
            orvex::ExplainError(error, orvex::ErrorTopic::Registry) + ")");
        return 1;
    }

    orvex::StderrDebugOutput log;
    orvex::DeviceHost host(log);
    // Starting runs each driver's Init, which may probe a serial port for
    // seconds; a stop signal must be heard meanwhile too.
    orvex::devwire::UniqueFd started(::eventfd(0, EFD_CLOEXEC));
    if (!started) {
        Say(std::string("cannot create an event descriptor: ") + std::strerror(errno));
        return 1;
    }
    orvex::DeviceHost::Options options;
    options.LibraryDirs = LibraryDirs();
    std::atomic<size_t> served{0};
    std::thread starter([&] {
        served = host.Start(root, *registry, options);
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(started.Get(), &one, sizeof one);
    });

    bool stopSignal = false;
    bool startDone = false;
    while (!stopSignal) {
        pollfd fds[2] = {{signals.Get(), POLLIN, 0}, {started.Get(), POLLIN, 0}};
        if (::poll(fds, startDone ? 1 : 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Say(std::string("cannot wait for signals: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            if (::read(signals.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                stopSignal = true;
        }
        if (!startDone && fds[1].revents != 0) {
            startDone = true;
            starter.join();
            if (served == 0 && !stopSignal) {
                Say("no driver loaded");
                return 1;
            }
        }
    }
    if (stopSignal)
        StartWatchdog();
    host.CancelStart();
    if (!startDone)
        starter.join();
    host.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return Run(argc, argv);
}
