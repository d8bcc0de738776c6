#include "headless_sway.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace orvex::test {

using namespace std::chrono_literals;

namespace {

std::vector<std::string> AsUser(int uid) {
    return {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
            "--clear-groups"};
}

}  // namespace

bool HeadlessSway::Installed() {
    return ::access("/usr/bin/sway", X_OK) == 0 && ::access("/usr/bin/swaymsg", X_OK) == 0;
}

HeadlessSway::HeadlessSway() = default;

HeadlessSway::~HeadlessSway() {
    Stop();
}

bool HeadlessSway::Start(std::string* why) {
    if (::chown(Dir().c_str(), Uid, Uid) != 0 || ::chmod(Dir().c_str(), 0700) != 0) {
        *why = "cannot give " + Dir() + " to uid " + std::to_string(Uid);
        return false;
    }
    std::ofstream(File("sway.conf"))
        << "xwayland disable\noutput HEADLESS-1 resolution 800x600 position 0 0\n";
    // A control socket left by a compositor that did not end cleanly would
    // be taken for the new one's.
    for (const auto& e : std::filesystem::directory_iterator(Dir())) {
        if (e.path().filename().string().rfind("sway-ipc.", 0) == 0)
            std::filesystem::remove(e.path());
    }
    std::vector<std::string> argv = {"/usr/bin/env",
                                     "-i",
                                     "XDG_RUNTIME_DIR=" + Dir(),
                                     "HOME=" + Dir(),
                                     "PATH=/usr/bin:/bin",
                                     "WLR_BACKENDS=headless",
                                     "WLR_LIBINPUT_NO_DEVICES=1",
                                     "WLR_RENDERER=pixman"};
    for (auto& a : AsUser(Uid))
        argv.push_back(std::move(a));
    argv.insert(argv.end(), {"/usr/bin/sway", "-c", File("sway.conf")});
    if (!Process_.Start(argv, File("sway.out"), File("sway.err"))) {
        *why = "cannot start sway";
        return false;
    }
    // The socket's name is the compositor's choice; the control socket
    // comes last, when it is ready for commands.
    const bool ready = WaitUntil(
        [&] {
            Socket_.clear();
            Control_.clear();
            for (const auto& e : std::filesystem::directory_iterator(Dir())) {
                const std::string name = e.path().filename();
                if (!e.is_socket())
                    continue;
                if (name.rfind("wayland-", 0) == 0)
                    Socket_ = e.path();
                else if (name.rfind("sway-ipc.", 0) == 0)
                    Control_ = e.path();
            }
            return !Socket_.empty() && !Control_.empty();
        },
        60s);
    if (!ready)
        *why = "sway did not come up: " + ReadWholeFile(File("sway.err"));
    return ready;
}

bool HeadlessSway::Stop() {
    Process_.Signal(SIGTERM);
    return Process_.Wait(60s).has_value();
}

bool HeadlessSway::Command(const std::vector<std::string>& args, std::string* out,
                           std::string* why) {
    std::vector<std::string> argv = {"/usr/bin/swaymsg", "-s", Control_};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess msg;
    const bool ok = msg.Start(argv, File("swaymsg.out"), File("swaymsg.err")) && msg.Wait(60s) == 0;
    if (out)
        *out = ReadWholeFile(File("swaymsg.out"));
    if (!ok && why)
        *why = "swaymsg failed: " + ReadWholeFile(File("swaymsg.err"));
    return ok;
}

bool HeadlessSway::AddOutput(const std::string& name, int width, int height, int x,
                             std::string* why) {
    return Command({"create_output"}, nullptr, why) &&
           Command(
               {"output", name, "resolution", std::to_string(width) + "x" + std::to_string(height),
                "position", std::to_string(x), "0"},
               nullptr, why);
}

}  // namespace orvex::test
