// ORVEXSER, the touch driver: its one state record and the operations of
// each concern. The exported ORX_ entry points (entry.cpp) serve one
// process-wide Driver; everything below takes the Driver explicitly so that
// tests can run a driver of their own on test doubles.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/orvex.h"
#include "platform/platform.h"

namespace orvex {

// A field shared between the reader thread and control-code callers: one
// aligned load or store each, relaxed order, as the design has it.
template <class T>
class Shared {
  public:
    constexpr Shared(T v = T{}) noexcept : V_(v) {}
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    operator T() const noexcept { return V_.load(std::memory_order_relaxed); }
    Shared& operator=(T v) noexcept {
        V_.store(v, std::memory_order_relaxed);
        return *this;
    }
    T Load() const noexcept { return V_.load(std::memory_order_relaxed); }

  private:
    std::atomic<T> V_;
    static_assert(std::atomic<T>::is_always_lock_free);
};

// An auto-reset event (StopEvent).
class Event {
  public:
    void Set();
    // Returns true when the event was signalled within the time-out.
    bool Wait(uint32_t milliseconds);

  private:
    std::mutex Lock_;
    std::condition_variable Cv_;
    bool Signalled_ = false;
};

// A pause that doubles each time it is taken, up to the longest, until reset.
class DoublingPause {
  public:
    constexpr DoublingPause(uint32_t firstMs, uint32_t longestMs)
        : FirstMs_(firstMs), LongestMs_(longestMs), NextMs_(firstMs) {}
    void Reset() { NextMs_ = FirstMs_; }
    uint32_t Take() {
        const uint32_t ms = NextMs_;
        NextMs_ = std::min(NextMs_ * 2, LongestMs_);
        return ms;
    }

  private:
    uint32_t FirstMs_, LongestMs_, NextMs_;
};

struct SpeakerPortEntry {
    uint64_t PhysicalAddress;
    uint32_t Size;
    uint32_t AddressSpace;
};

struct DriverState {
    // Connection settings.
    Shared<uint32_t> Port{1};
    std::atomic<uint8_t> Model[4] = {'[', 'T', 'S', ']'};
    Shared<uint32_t> RunRightButton{0};

    // Feedback settings.
    Shared<uint32_t> FeedbackSound{SoundNever};
    Shared<uint32_t> FeedbackTone{2000};
    Shared<uint32_t> FeedbackDuration{1};

    // Calibration, raw units, and the derived spans (never 0).
    Shared<uint16_t> CalibrationX1{0}, CalibrationX2{511}, CalibrationX3{1023};
    Shared<uint16_t> CalibrationY1{0}, CalibrationY2{511}, CalibrationY3{1023};
    Shared<uint16_t> SpanX1{512}, SpanX2{512};
    Shared<uint16_t> SpanY1{512}, SpanY2{512};
    Shared<uint32_t> PanelDirection{0};

    // Point processing (written on the reader thread only).
    Shared<uint16_t> LastRawX{0xFFFF}, LastRawY{0xFFFF};
    Shared<uint8_t> LastTouch{0};
    Shared<uint16_t> SampleCount{0};
    Shared<uint16_t> LastX{0xFFFF}, LastY{0xFFFF};
    Shared<uint8_t> ButtonState{0};
    Shared<uint32_t> ClickMode{ClickWhileTouched};

    // One-touch right click.
    Shared<uint32_t> RightClickWindow{0};
    Shared<uint32_t> RightClickArmed{0};
    Shared<uint16_t> RightClickPending{0};

    // Serial port and reader thread.
    Shared<ReportProtocol> Protocol{ReportProtocol::TS};
    Shared<uint32_t> StopRequested{0};

    // Speaker ports: fixed entries and their mapped addresses (0 = unmapped).
    static constexpr SpeakerPortEntry SpeakerPorts[3] = {
        {0x61, 1, 1},
        {0x42, 1, 1},
        {0x43, 1, 1},
    };
    Shared<uint32_t> SpeakerControlPort{0};
    Shared<uint32_t> TimerChannel2Port{0};
    Shared<uint32_t> TimerControlPort{0};
};

// The driver: its state plus the platform it runs on and the resources of
// the lifecycle (port, reader thread, stop event, launcher timer).
struct Driver {
    explicit Driver(Platform& platform) : Sys(platform) {}
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    DriverState State;
    Platform& Sys;

    // PortHandle: owned here; the reader thread uses it only while it runs,
    // and the lifecycle closes it only after the thread can no longer reach it.
    std::unique_ptr<SerialPort> PortHandle;
    // Guards replacing PortHandle (recovery on the reader thread) against
    // the lifecycle waking or closing it. The reader's own waits and reads
    // do not take it.
    std::mutex PortLock;
    std::thread ReaderThread;
    std::unique_ptr<Event> StopEvent;
    // Set by the lifecycle when it stops the driver, to cut short a reader
    // thread that is backing off after a port failure.
    Event ReaderWake;
    std::unique_ptr<uint32_t> Context;  // g_hORVEXSER's 4-byte block

    // Serialises beeps so two never interleave their port accesses.
    std::mutex BeepLock;
    // RightButtonTimer, created by the first arming; cancelled when the
    // driver goes away.
    std::mutex LauncherLock;
    std::unique_ptr<OneShotTimer> RightButtonTimer;

    // The coalesced sync of saved settings to storage (FlushRegistrySoon).
    std::mutex FlushLock;
    bool Flushed = false;  // LastFlush holds the time of one
    uint64_t LastFlushMicroseconds = 0;
    // Declared last: destroyed first, waiting for its callback, while
    // everything that callback uses is still there.
    std::unique_ptr<OneShotTimer> FlushTimer;
};

// Debug output: formats like printf and hands one line to the platform.
void DebugPrint(Driver& d, const char* format, ...) __attribute__((format(printf, 2, 3)));

// While one lives, the lines this thread prints for its driver are held
// back; Release prints them in order, and destruction without it drops them.
// Other threads' lines go out as usual. Holds nest on a thread, last made
// first undone.
class HeldDebugLines {
  public:
    explicit HeldDebugLines(Driver& d);
    ~HeldDebugLines();
    HeldDebugLines(const HeldDebugLines&) = delete;
    HeldDebugLines& operator=(const HeldDebugLines&) = delete;
    void Release();

    bool Holds(const Driver& d) const { return &D_ == &d; }
    void Keep(std::string_view line);

  private:
    Driver& D_;
    HeldDebugLines* Outer_;
    std::vector<std::string> Lines_;
};

// ---- state and spans
// Derives the four spans from the calibration points; points that would give
// a zero span are replaced by the default calibration, so no span is ever 0.
void RecomputeSpans(DriverState& s);

// ---- point processing
// One decoded report: beep, buttons, direction, calibration, pointer event and
// the right-click notification. Always returns 1.
uint32_t ProcessPoint(Driver& d, uint16_t rawX, uint16_t rawY, uint8_t touch);

// ---- speaker
// A touch beep lasts at most this many 10 ms units: no touch is processed
// while it sounds, so a larger setting counts as this one wherever it is
// stored or reported.
inline constexpr uint32_t MaxFeedbackDuration = 50;
inline uint32_t CapFeedbackDuration(uint32_t units) {
    return units < MaxFeedbackDuration ? units : MaxFeedbackDuration;
}
// The port number to hand the port bus for a physical port, or 0 when it
// cannot be translated or mapped.
uint32_t MapIoPort(Driver& d, uint64_t physical, uint32_t addressSpace, uint32_t size);
// Maps the three speaker ports into State; an unmapped one stays 0.
void MapSpeakerPorts(Driver& d);
// Sounds the speaker at the 8254 divisor for the time given (none when it is
// not positive); silent when a speaker port is unmapped.
void SpeakerBeep(Driver& d, uint32_t divisor, int32_t milliseconds);
// The beep of a touch: FeedbackTone for the capped FeedbackDuration.
void TouchBeep(Driver& d);
// The fixed beep that IOCTL_ORX_STARTUP sounds.
void SelfTestBeep(Driver& d);

// ---- right-button launcher
inline constexpr char16_t RightButtonHelperPath[] = u"\\Windows\\orvexrbt.exe";
// Starts the wait for the services the right-button helper needs, unless
// one is already pending.
void ArmRightButtonLauncher(Driver& d);
// One pass of that wait: starts the helper once all three services are
// ready, else sets the timer again.
void RightButtonTimerProc(Driver& d);
// Starts a program through the platform's launcher; false when it could not
// be started or there is no launcher.
bool LaunchProgram(Driver& d, uint32_t owner, std::u16string_view file,
                   std::u16string_view parameters);
// Cancels a pending launcher timer and waits for a running one.
void StopRightButtonLauncher(Driver& d);

// ---- registry configuration
// Each Load reads its values under keyPath into State and prints a line for
// each value it could not read, keeping the value it had; each Save writes
// State's values and prints a line for each that did not reach storage.
void LoadPortSettings(Driver& d, std::u16string_view keyPath);
void LoadCalibration(Driver& d, std::u16string_view keyPath);
void LoadPanelDirection(Driver& d, std::u16string_view keyPath);
void LoadFeedback(Driver& d, std::u16string_view keyPath);
void SaveCalibration(Driver& d, std::u16string_view keyPath);
void SavePanelDirection(Driver& d, std::u16string_view keyPath);
// Both saves in one write group, for IOCTL_ORX_SET_CALIBRATION: every value
// that does not reach storage, whether its write or the group's commit
// failed, prints its failure line.
void SaveCalibrationAndDirection(Driver& d, std::u16string_view keyPath);
// A save is committed when it returns: every process sees it, and a crash of
// the host keeps it. The sync that also keeps it through a power cut costs a
// flash write and an I/O stall, so a flood of saves gets at most one a second:
// at once when none was made in the last second, else when that second ends.
void FlushRegistrySoon(Driver& d);
// At stop: the sync a save still waits for, made now.
void FinishRegistryFlushes(Driver& d);

// ---- report protocols (protocol-ts.cpp, protocol-el.cpp)
// How many bytes the reader asks for at a time: one report's worth.
inline constexpr uint32_t ReportSizeTS = 5;
inline constexpr uint32_t PacketSizeEL = 10;

struct Report {
    uint16_t X, Y;
    uint8_t Touch;
};
// The EL checksum: 0xAA plus the bytes before the checksum byte (nine, or ten
// for a reply that begins with 0x16), or plus all there are when fewer.
uint8_t PacketChecksum(std::span<const uint8_t> packet);
// Raw X, Y and touch of one framed TS report (ProcessPoint limits X and Y).
Report DecodeReportTS(std::span<const uint8_t, 5> report);
// Raw X, Y and touch of one framed EL packet, Y turned to run as TS's does.
Report DecodePacketEL(std::span<const uint8_t, 10> packet);

// Byte-at-a-time framers; state lives in the object.
class FramerTS {
  public:
    // Returns a report when b completes one.
    std::optional<Report> Push(uint8_t b);
    // Forgets a report under way (the port was replaced).
    void Reset() { Position_ = 0; }
    uint8_t Position() const { return Position_; }

  private:
    uint8_t Buffer_[5] = {};
    uint8_t Position_ = 0;
};

class FramerEL {
  public:
    enum class Result { None, Report, ChecksumError };
    Result Push(uint8_t b, Report* out);
    void Reset() { Position_ = 0; }
    uint8_t Position() const { return Position_; }

  private:
    uint8_t Buffer_[10] = {};
    uint8_t Position_ = 0;
};

// The reader thread for each protocol: runs until the driver stops, bringing
// a lost port back on its own; sets StopEvent on its way out and returns 1.
uint32_t ReadThread_TS(Driver& d);
uint32_t ReadThread_EL(Driver& d);

// Called by a reader thread whose port has gone away (the device was
// unplugged): waits, using no CPU, until the port can be opened again and the
// controller is found on it, then returns true with PortHandle and Protocol
// set afresh. Returns false as soon as the driver is being stopped.
bool RecoverPort(Driver& d);

// ---- detection
// How long detection's reads wait at a rate (see detect.cpp).
struct LineTiming {
    uint32_t FirstByteMs;  // after a command, or after RTS (no command)
    uint32_t ReplyMs;      // after an EL command
    uint32_t SilenceMs;
};
LineTiming TimingAt(uint32_t rate);
// Makes the next reads return as soon as a byte is there, or after ms
// without one; base holds the write time-outs to keep.
void ReadsWaitAtMost(SerialPort& io, const CommTimeouts& base, uint32_t ms);

// Reads after the rise of RTS until the model signature is complete (Found),
// the line falls silent (Silent) or a read fails (ReadFailed, last error
// set). received and match carry over from one call to the next, as the
// design carries them from one rate to the next.
enum class SignatureResult { Found, Silent, ReadFailed };
SignatureResult WaitForSignatureTS(SerialPort& io, const CommTimeouts& base,
                                   const LineTiming& timing, const uint8_t (&model)[4],
                                   uint8_t& received, unsigned& match);
// Opens the configured port and tries each rate for either protocol. Nonzero
// once the controller is found and its port is ready for reading (PortHandle
// and Protocol set); 0 when it is not found or the port fails.
uint32_t DetectController(Driver& d);
// Works on PortHandle at rate; base holds the write time-outs to keep.
uint32_t ProbeEL(Driver& d, const CommTimeouts& base, uint32_t rate);
// Writes one EL command packet (lead byte, params, checksum); 1 when all ten
// bytes were written.
uint32_t SendPacketEL(Driver& d, const uint8_t (&params)[8]);
struct ReplyEL {
    bool Found;
    uint32_t Offset, Length;
};
// The first well-formed packet from offset on whose second byte is wanted.
ReplyEL FindReplyEL(std::span<const uint8_t> bytes, uint8_t wanted, uint32_t offset);
// Sets the found port's read time-outs and event mask for the reader; 1 on
// success, 0 after printing what failed.
uint32_t ConfigureReading(Driver& d);

// ---- lifecycle (the exported entry points forward here)
// ORX_Init: detects the controller, loads the settings and starts the reader.
// The device context (never 0), also when no controller was found; 0 when
// the start itself failed.
uint32_t DriverInit(Driver& d);
// Replaces PortHandle under PortLock and closes the old port, if any.
void SetPortHandle(Driver& d, std::unique_ptr<SerialPort> port);
inline void ClosePort(Driver& d) {
    SetPortHandle(d, nullptr);
}
// "COM<n>:" for the configured Port, or nothing when the name does not fit
// the six wide characters the design gives it.
std::optional<std::u16string> PortName(const DriverState& s);
// ORX_Deinit: stops the reader and the launcher and closes the port; always 1.
uint32_t DriverDeinit(Driver& d);

// ---- control codes
// Buffers are checked: a missing buffer or one shorter than its record fails
// with ERROR_INVALID_PARAMETER and touches nothing.
uint32_t DriverIoControl(Driver& d, uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                         uint32_t outSize, uint32_t* returned);

}  // namespace orvex
