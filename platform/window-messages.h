// Window messages to programs outside the window system: how a posted
// WM_COMMAND reaches a program that owns a "window handle" but has no window
// the host could address. docs/window-messages.md describes the protocol.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace orvex {

// One posted message as it travels: four little-endian u32 in this order.
struct WindowMessage {
    static constexpr size_t Size = 16;
    uint32_t Window = 0;
    uint32_t Message = 0;
    uint32_t WParam = 0;
    uint32_t LParam = 0;
    bool operator==(const WindowMessage&) const = default;
};

// <root>/windows, and the socket of one handle in it (8 upper-case hex digits).
std::string WindowFolderPath(const std::string& root);
std::string WindowSocketPath(const std::string& root, uint32_t window);

// Sends one datagram to the handle's socket without ever blocking. Returns true
// when the datagram was queued; a handle nobody bound, a full queue or a path
// that is not a socket are not errors for the poster, only a false return.
bool PostWindowMessage(const std::string& root, uint32_t window, uint32_t message, uint32_t wParam,
                       uint32_t lParam);

// The receiving end a program binds for a handle it owns. Unbinds (and removes
// the socket file) when destroyed.
class WindowMessageBox {
  public:
    // Creates <root>/windows if needed and binds the handle's socket. A stale
    // socket left by a program that died is replaced; one that a live program
    // still holds is not (fails with EADDRINUSE). Returns null on failure with
    // errno set and *error (if given) describing it.
    static std::unique_ptr<WindowMessageBox> Bind(const std::string& root, uint32_t window,
                                                  std::string* error = nullptr);
    ~WindowMessageBox();

  private:
    struct Token {
        explicit Token() = default;
    };

  public:
    WindowMessageBox(Token, int fd, uint32_t window, std::string path)
        : Fd_(fd), Window_(window), Path_(std::move(path)) {}
    WindowMessageBox(const WindowMessageBox&) = delete;
    WindowMessageBox& operator=(const WindowMessageBox&) = delete;

    // Waits up to timeoutMs (0 = only look, negative = forever) for the next
    // well-formed message. Datagrams of the wrong size are dropped.
    std::optional<WindowMessage> Receive(int timeoutMs);

    uint32_t Window() const { return Window_; }
    const std::string& Path() const { return Path_; }
    int Fd() const { return Fd_; }  // for programs that poll it with other descriptors

  private:
    int Fd_;
    uint32_t Window_;
    std::string Path_;
};

}  // namespace orvex
