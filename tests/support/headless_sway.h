// A headless Wayland compositor for end-to-end tests: sway on wlroots'
// headless backend with one output, HEADLESS-1 800x600 at 0,0, more made on
// request. It refuses to run as root, so it runs as an unprivileged user in a
// folder of that user's that the test (root) reaches as well.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "temp_root.h"

namespace orvex::test {

class HeadlessSway {
  public:
    static constexpr int Uid = 65534;

    static bool Installed();

    HeadlessSway();
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway&) = delete;
    HeadlessSway& operator=(const HeadlessSway&) = delete;

    // Starts the compositor (again, after Stop) and waits until it takes
    // commands; false, with *why, when it does not.
    bool Start(std::string* why);
    // Ends it; true once it has ended.
    bool Stop();
    // swaymsg with these arguments; its standard output in *out.
    bool Command(const std::vector<std::string>& args, std::string* out = nullptr,
                 std::string* why = nullptr);
    // A new headless output of this size, placed at (x, 0).
    bool AddOutput(const std::string& name, int width, int height, int x, std::string* why);

    // The folder holding the sockets: the clients' XDG_RUNTIME_DIR.
    const std::string& Dir() const { return Dir_.Path(); }
    std::string File(const std::string& name) const { return Dir_.File(name); }
    const std::string& Socket() const { return Socket_; }

  private:
    TempRoot Dir_;
    ChildProcess Process_;
    std::string Socket_, Control_;
};

}  // namespace orvex::test
