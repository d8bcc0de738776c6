// What a running host's platform is doing, written for `orvexctl doctor`:
// which pointer backend it chose and why, what it reaches and covers, the
// driver's last word on its controller, and the last thing a backend said.
// A kiosk installer reads it beside the journal, without root's logs.
//
//     HostStatus status(root);          // the host: one per platform
//     status.SetInput({"x11", "auto: uinput: ...", ":0", "monitor HDMI-1 ..."});
//     status.NoteBackendLine("display :0 is back; ...");
//
//     std::string why;                  // orvexctl: a bounded, careful read
//     auto record = ReadHostStatus(root, &why);
//
// The record is <root>/dev/host-status, "key=value" lines, replaced whole on
// every change (written beside it and renamed), so a reader never sees half
// of one. Only root writes in dev/; the file is readable by the platform's
// group, as the device sockets are usable by it.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/access.h"

namespace orvex {

inline constexpr char HostStatusFile[] = "host-status";
inline constexpr uint32_t HostStatusMode = 0640;
// Bounds of the record: a reader refuses a larger file, a writer cuts each
// value to fit.
inline constexpr size_t MaxHostStatusBytes = 8 * 1024;
inline constexpr size_t MaxHostStatusValue = 1000;

struct HostStatusRecord {
    int64_t Pid = 0;
    int64_t Started = 0;  // seconds since the epoch
    // The pointer backend: its name, why it was chosen (with the reasons the
    // ones before it were passed over), what it talks to (display, socket,
    // device node) and what the pointer covers.
    std::string Backend, Why, Connected, Covers;
    // The driver's last line about its controller and when it came; state is
    // "found", "detecting", "not-found", "lost" or "cannot-open".
    std::string Serial, SerialState;
    int64_t SerialTime = 0;
    // The backend's last line after the start, and when it came.
    std::string Last;
    int64_t LastTime = 0;
};

struct HostInputChoice {
    std::string Backend, Why, Connected, Covers;
};

class HostStatus {
  public:
    explicit HostStatus(std::string root);
    HostStatus(const HostStatus&) = delete;
    HostStatus& operator=(const HostStatus&) = delete;

    void SetInput(const HostInputChoice& choice);
    // A line a pointer backend logged (without "orvex: " or a line end).
    void NoteBackendLine(std::string_view line);
    // A debug line of the driver: those about the controller are kept.
    void NoteDriverLine(std::string_view text);

  private:
    void WriteLocked();

    const std::string Root_;
    const FileSharing Sharing_;
    std::mutex Lock_;  // backend threads and the driver's reader log at once
    HostStatusRecord Record_;
};

// The record as the host last wrote it; nullopt, with *why, when there is
// none or it is not a plain file of bounded size (a link, a folder, too
// large). Unknown keys are skipped; a value with a control character is left
// empty.
std::optional<HostStatusRecord> ReadHostStatus(const std::string& root, std::string* why);

}  // namespace orvex
