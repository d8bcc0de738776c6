// The log backend: shows what the driver asks of the window system, for a
// host without a pointer device and for watching the driver at work.
#include <cinttypes>
#include <cstdio>

#include "platform/fdline.h"
#include "platform/input.h"
#include "platform/window-messages.h"

namespace orvex {

namespace {

class LogInput final : public Input {
  public:
    LogInput(std::string root, int fd) : Root_(std::move(root)), Fd_(fd) {}

    void MouseEvent(uint32_t flags, uint32_t x, uint32_t y, uint32_t data,
                    uintptr_t extraInfo) override {
        char line[96];
        int n = std::snprintf(line, sizeof line,
                              "mouse_event(0x%04" PRIX32 ", %" PRIu32 ", %" PRIu32 ", %" PRIu32
                              ", %" PRIuPTR ")\n",
                              flags, x, y, data, extraInfo);
        // A closed output is no reason to stop the pointer.
        (void)WriteWholeLine(Fd_, FormattedText(line, sizeof line, n));
    }

    void PostMessage(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override {
        char line[96];
        int n = std::snprintf(line, sizeof line,
                              "PostMessageW(0x%08" PRIX32 ", 0x%04" PRIX32 ", 0x%04" PRIX32
                              ", %" PRIu32 ")\n",
                              window, message, wParam, lParam);
        (void)WriteWholeLine(Fd_, FormattedText(line, sizeof line, n));
        // The result is deliberately ignored: a post never reports whether
        // anybody was listening.
        (void)PostWindowMessage(Root_, window, message, wParam, lParam);
    }

  private:
    std::string Root_;
    int Fd_;
};

}  // namespace

std::unique_ptr<Input> CreateLogInput(const std::string& root, int fd) {
    return std::make_unique<LogInput>(root, fd);
}

}  // namespace orvex
