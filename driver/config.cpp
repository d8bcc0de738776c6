// Registry configuration: the driver's settings as values under its key.
// Every operation opens the key itself, does its work and closes it again; no
// key handle outlives the operation. A failed registry access never stops the
// driver: it is reported on the debug output and the setting keeps its value
// or takes its named fallback.
#include <array>
#include <string>

#include "common/calibration.h"
#include "common/orvex.h"
#include "driver/driver.h"

namespace orvex {

namespace {

// The key of one operation, closed whatever path the operation leaves by;
// a key that cannot be opened says so.
class DriverKey {
  public:
    DriverKey(Driver& d, std::u16string_view path) : Reg_(d.Sys.Reg), Key_(d.Sys.Reg, path) {
        if (!Key_)
            DebugPrint(d, "ORVEXSER: Failed to open HKEY_LOCAL_MACHINE\\%s\r\n",
                       Utf16ToUtf8(path).c_str());
    }

    bool IsOpen() const { return static_cast<bool>(Key_); }
    Registry& Reg() const { return *Reg_; }
    RegKey Handle() const { return Key_.Get(); }

    // Any data that fits 4 bytes is accepted, whatever its type.
    bool ReadU32(std::u16string_view name, uint32_t* value) const {
        return Key_.ReadU32(name, value);
    }

    bool WriteU32(std::u16string_view name, uint32_t value) const {
        std::array<uint8_t, 4> data{};
        PutU32(data, 0, value);
        return Reg_->SetValue(Key_.Get(), name, REG_DWORD, data.data(),
                              static_cast<uint32_t>(data.size())) == 0;
    }

  private:
    Registry* Reg_;
    OpenedRegKey Key_;
};

struct CalibrationValue {
    const char* Label;  // the name as the debug lines spell it
    Shared<uint16_t> DriverState::*Field;
};

// In the order of CalibrationValueNames.
constexpr CalibrationValue CalibrationValues[6] = {
    {"CalibrationX1", &DriverState::CalibrationX1}, {"CalibrationX2", &DriverState::CalibrationX2},
    {"CalibrationX3", &DriverState::CalibrationX3}, {"CalibrationY1", &DriverState::CalibrationY1},
    {"CalibrationY2", &DriverState::CalibrationY2}, {"CalibrationY3", &DriverState::CalibrationY3},
};

}  // namespace

void LoadPortSettings(Driver& d, std::u16string_view keyPath) {
    DriverState& s = d.State;
    // The path's first character must be readable; an empty path has none.
    if (keyPath.empty()) {
        DebugPrint(d, "ORVEXSER: Doesn't have registry, using default COM1\r\n");
        return;
    }
    DriverKey key(d, keyPath);
    if (!key.IsOpen())
        return;
    const std::string path = Utf16ToUtf8(keyPath);

    uint32_t port = 0;
    if (key.ReadU32(u"Port", &port))
        s.Port = port;
    else
        DebugPrint(d, "ORVEXSER: Failed to read PORT from HKEY_LOCAL_MACHINE\\%s\r\n",
                   path.c_str());

    std::array<uint8_t, 255> model{};
    uint32_t size = static_cast<uint32_t>(model.size());
    uint32_t type = 0;
    if (key.Reg().QueryValue(key.Handle(), u"Model", &type, model.data(), &size) == 0) {
        // Signature letters come from the low bytes of the first two
        // characters. A string too short to have a character leaves that
        // letter as it was rather than putting a zero byte into the
        // signature that detection compares against.
        auto hasChar = [&](uint32_t index) {
            for (uint32_t i = 0; i <= index; ++i)
                if (2 * i + 1 >= size || (model[2 * i] == 0 && model[2 * i + 1] == 0))
                    return false;
            return true;
        };
        if (hasChar(0))
            s.Model[1].store(model[0], std::memory_order_relaxed);
        if (hasChar(1))
            s.Model[2].store(model[2], std::memory_order_relaxed);
    } else {
        DebugPrint(d, "ORVEXSER: Failed to read MODEL from HKEY_LOCAL_MACHINE\\%s\r\n",
                   path.c_str());
    }

    // The version as the 16 bytes of its UTF-16 string with the terminating
    // zero, built byte by byte so the stored form is little-endian anywhere.
    std::array<uint8_t, 16> version{};
    static_assert(sizeof DriverVersion * 2 == version.size());
    for (size_t i = 0; i < sizeof DriverVersion; ++i)
        version[2 * i] = static_cast<uint8_t>(DriverVersion[i]);
    if (key.Reg().SetValue(key.Handle(), u"Version", REG_SZ, version.data(),
                           static_cast<uint32_t>(version.size())) != 0)
        DebugPrint(d, "ORVEXSER: Failed to save VERSION to HKEY_LOCAL_MACHINE\\%s\r\n",
                   path.c_str());

    uint32_t runRightButton = 0;
    if (key.ReadU32(u"RunRightButton", &runRightButton))
        s.RunRightButton = runRightButton;
    // A missing RunRightButton is the normal case: no message, no change.
}

void LoadCalibration(Driver& d, std::u16string_view keyPath) {
    DriverState& s = d.State;
    {
        DriverKey key(d, keyPath);
        if (!key.IsOpen())
            return;
        // All or nothing: a partial calibration is worse than none.
        const CalibrationPoints points = ReadCalibrationPoints([&](size_t i, uint32_t* value) {
            if (key.ReadU32(CalibrationValueNames[i], value))
                return true;
            DebugPrint(d, "ORVEXSER: Failed to RegGet%s\r\n", CalibrationValues[i].Label);
            return false;
        });
        for (size_t i = 0; i < points.size(); ++i)
            s.*CalibrationValues[i].Field = points[i];
    }  // the key is closed before the spans are worked out
    RecomputeSpans(s);
    DebugPrint(d, "ORVEXSER: Calibration(X,Y)=(%d,%d)/(%d,%d)/(%d,%d)\r\n",
               static_cast<int>(s.CalibrationX1.Load()), static_cast<int>(s.CalibrationY1.Load()),
               static_cast<int>(s.CalibrationX2.Load()), static_cast<int>(s.CalibrationY2.Load()),
               static_cast<int>(s.CalibrationX3.Load()), static_cast<int>(s.CalibrationY3.Load()));
}

void LoadPanelDirection(Driver& d, std::u16string_view keyPath) {
    DriverKey key(d, keyPath);
    if (!key.IsOpen())
        return;
    uint32_t value = 0;
    if (key.ReadU32(u"PanelDirection", &value)) {
        d.State.PanelDirection = value & 0xFFFFu;
    } else {
        DebugPrint(d, "ORVEXSER: Failed to RegGetPanelDirection\r\n");
        d.State.PanelDirection = 0;
    }
}

void LoadFeedback(Driver& d, std::u16string_view keyPath) {
    DriverKey key(d, keyPath);
    if (!key.IsOpen())
        return;
    uint32_t sound = 0, tone = 0, duration = 0;
    if (!key.ReadU32(u"FeedbackSound", &sound)) {
        DebugPrint(d, "ORVEXSER: Failed to RegGetFeedbackSound\r\n");
        sound = 1;
    }
    if (!key.ReadU32(u"FeedbackTone", &tone)) {
        DebugPrint(d, "ORVEXSER: Failed to RegGetFeedbackTone\r\n");
        tone = 2000;
    }
    if (!key.ReadU32(u"FeedbackDuration", &duration)) {
        DebugPrint(d, "ORVEXSER: Failed to RegGetFeedbackDuration\r\n");
        duration = 1;
    }
    d.State.FeedbackSound = sound;
    d.State.FeedbackTone = tone;
    d.State.FeedbackDuration = CapFeedbackDuration(duration);
}

namespace {

// What one save wrote: a value counts as stored only once its write succeeded
// and the write group around it has been committed.
struct SaveResult {
    bool PointsKeyOpen = false;
    bool Written[6] = {};
    bool DirectionKeyOpen = false;
    bool DirectionWritten = false;
};

// Each part opens the key itself, so a key that cannot be opened says so once
// for the points and once for the orientation.
void WriteValues(Driver& d, std::u16string_view keyPath, bool direction, SaveResult* r) {
    {
        DriverKey key(d, keyPath);
        r->PointsKeyOpen = key.IsOpen();
        for (size_t i = 0; r->PointsKeyOpen && i < 6; ++i)
            r->Written[i] =
                key.WriteU32(CalibrationValueNames[i], d.State.*CalibrationValues[i].Field);
    }
    if (!direction)
        return;
    DriverKey key(d, keyPath);
    r->DirectionKeyOpen = key.IsOpen();
    r->DirectionWritten =
        r->DirectionKeyOpen && key.WriteU32(u"PanelDirection", d.State.PanelDirection);
}

// The values saved together belong together: a process killed part way
// through must leave them either wholly old or wholly new. One write group
// keeps them together without merging their results: each value still
// succeeds or fails on its own, and the next is written all the same. The
// messages wait until the group has ended so that none is printed while the
// registry is held; a group that could not be committed took every value of
// it along, so each one prints its own failure, as a failed write does.
void SaveInOneGroup(Driver& d, std::u16string_view keyPath, bool direction) {
    SaveResult r;
    uint32_t commit = 0;
    if (d.Sys.Reg) {
        HeldDebugLines held(d);  // a key that cannot be opened says so afterwards
        {
            RegistryWriteGroup group(*d.Sys.Reg);
            WriteValues(d, keyPath, direction, &r);
            commit = group.Commit();
        }
        held.Release();
    } else {
        WriteValues(d, keyPath, direction, &r);  // reports that the key cannot be opened
    }
    const bool lost = commit != 0;
    for (size_t i = 0; r.PointsKeyOpen && i < 6; ++i) {
        if (!r.Written[i] || lost)
            DebugPrint(d, "ORVEXSER: Failed to RegSet%s\r\n", CalibrationValues[i].Label);
    }
    if (r.DirectionKeyOpen && (!r.DirectionWritten || lost))
        DebugPrint(d, "ORVEXSER: Failed to PanelDirection\r\n");
}

}  // namespace

void SaveCalibration(Driver& d, std::u16string_view keyPath) {
    SaveInOneGroup(d, keyPath, false);
}

void SavePanelDirection(Driver& d, std::u16string_view keyPath) {
    DriverKey key(d, keyPath);
    if (!key.IsOpen())
        return;
    if (!key.WriteU32(u"PanelDirection", d.State.PanelDirection))
        DebugPrint(d, "ORVEXSER: Failed to PanelDirection\r\n");
}

void SaveCalibrationAndDirection(Driver& d, std::u16string_view keyPath) {
    SaveInOneGroup(d, keyPath, true);
}

namespace {

constexpr uint64_t FlushSpacingMicroseconds = 1000000;

void FlushNow(Driver& d) {
    // As on the device, a failed flush is not reported: the values are
    // committed and are synced with the next one.
    (void)d.Sys.Reg->FlushKey(HKEY_LOCAL_MACHINE);
}

void FlushTimerProc(Driver& d) {
    {
        std::lock_guard g(d.FlushLock);
        d.LastFlushMicroseconds = d.Sys.Timers->NowMicroseconds();
    }
    FlushNow(d);
}

}  // namespace

void FlushRegistrySoon(Driver& d) {
    if (d.Sys.Reg == nullptr)
        return;
    if (d.Sys.Timers != nullptr) {
        const uint64_t now = d.Sys.Timers->NowMicroseconds();
        std::lock_guard g(d.FlushLock);
        const uint64_t since = now - d.LastFlushMicroseconds;
        if (d.Flushed && since < FlushSpacingMicroseconds) {
            if (!d.FlushTimer)
                d.FlushTimer = d.Sys.Timers->CreateTimer([&d] { FlushTimerProc(d); });
            if (d.FlushTimer) {
                // A pending sync covers this save as well.
                if (!d.FlushTimer->Pending())
                    d.FlushTimer->Set(
                        static_cast<uint32_t>((FlushSpacingMicroseconds - since + 999) / 1000));
                return;
            }
        }
        d.Flushed = true;
        d.LastFlushMicroseconds = now;
    }
    FlushNow(d);
}

void FinishRegistryFlushes(Driver& d) {
    std::unique_ptr<OneShotTimer> timer;
    {
        std::lock_guard g(d.FlushLock);
        timer = std::move(d.FlushTimer);
    }
    // Cancel waits for a callback under way, which takes the lock.
    if (timer && timer->Cancel())
        FlushNow(d);
}

}  // namespace orvex
