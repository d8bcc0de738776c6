// The registry: keys and values under HKEY_LOCAL_MACHINE, as the system calls
// them (RegOpenKeyExW, RegQueryValueExW, RegSetValueExW, RegCloseKey,
// RegFlushKey). Results are last-error numbers: 0 is success.
//
// Key paths are backslash-separated and, like value names, compare without
// regard to case. String data is stored as the UTF-16 bytes written.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/lasterror.h"

namespace orvex {

using RegKey = uintptr_t;
inline constexpr RegKey HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;

// A key handle whose key another caller (or process) has deleted.
inline constexpr uint32_t ERROR_KEY_DELETED = 1018;

class Registry {
  public:
    virtual ~Registry() = default;

    // Fails with ERROR_FILE_NOT_FOUND when the key does not exist. The access
    // mask is accepted and not enforced.
    virtual uint32_t OpenKey(RegKey root, std::u16string_view subKey, uint32_t access,
                             RegKey* result) = 0;
    // type and size may be null. *size is the buffer size in, the data size
    // out. A buffer too small fails with ERROR_MORE_DATA and writes nothing
    // into data (the size out is the size needed). data may be null to ask for
    // the size only.
    virtual uint32_t QueryValue(RegKey key, std::u16string_view name, uint32_t* type, uint8_t* data,
                                uint32_t* size) = 0;
    virtual uint32_t SetValue(RegKey key, std::u16string_view name, uint32_t type,
                              const uint8_t* data, uint32_t size) = 0;
    virtual uint32_t CloseKey(RegKey key) = 0;
    // Returns once everything written before is on durable storage.
    virtual uint32_t FlushKey(RegKey key) = 0;

    // Platform-side operations (the registry tool, the device manager).
    virtual uint32_t CreateKey(RegKey root, std::u16string_view subKey, RegKey* result) = 0;
    virtual uint32_t DeleteKey(RegKey root, std::u16string_view subKey) = 0;  // with subkeys
    virtual uint32_t DeleteValue(RegKey key, std::u16string_view name) = 0;
    virtual uint32_t EnumSubKeys(RegKey key, std::vector<std::u16string>* names) = 0;
    struct Value {
        std::u16string Name;
        uint32_t Type;
        std::vector<uint8_t> Data;
    };
    virtual uint32_t EnumValues(RegKey key, std::vector<Value>* values) = 0;

    // Write groups: the writes this thread makes between BeginWriteGroup and
    // the matching EndWriteGroup reach storage whole or not at all, so a
    // process killed in between leaves every value of the group as it was.
    // Groups nest; only the outermost end commits or discards. While a group
    // is open, other threads' calls on this registry wait for it. A failed
    // write inside a group fails on its own and the group's other writes still
    // commit, unless the store itself had to abandon the group, in which case
    // every later write of it fails and EndWriteGroup reports the failure.
    // EndWriteGroup(false) discards the group's writes.
    //
    // The defaults suit a store without grouping: writes apply at once and
    // cannot be discarded.
    virtual uint32_t BeginWriteGroup() { return ERROR_SUCCESS; }
    virtual uint32_t EndWriteGroup(bool commit) {
        return commit ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
    }
};

// Keeps a write group open for its lifetime; one that is not committed is
// discarded. If the group could not be opened, writes go ahead one by one and
// Commit reports success (nothing was held back).
class RegistryWriteGroup {
  public:
    explicit RegistryWriteGroup(Registry& reg)
        : Reg_(reg), BeginError_(reg.BeginWriteGroup()), Open_(BeginError_ == ERROR_SUCCESS) {}
    ~RegistryWriteGroup() {
        if (Open_)
            (void)Reg_.EndWriteGroup(false);  // abandoned: discard
    }
    RegistryWriteGroup(const RegistryWriteGroup&) = delete;
    RegistryWriteGroup& operator=(const RegistryWriteGroup&) = delete;
    bool IsOpen() const { return Open_; }
    uint32_t BeginError() const { return BeginError_; }
    uint32_t Commit() {
        if (!Open_)
            return ERROR_SUCCESS;
        Open_ = false;
        return Reg_.EndWriteGroup(true);
    }

  private:
    Registry& Reg_;
    uint32_t BeginError_;
    bool Open_;
};

// A key below HKEY_LOCAL_MACHINE, closed on every way out. False when it
// could not be opened (or reg is null). A failed close is not examined: the
// caller could do nothing about it.
class OpenedRegKey {
  public:
    OpenedRegKey(Registry* reg, std::u16string_view path) {
        if (reg && reg->OpenKey(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &Key_) == ERROR_SUCCESS)
            Reg_ = reg;
    }
    ~OpenedRegKey() { Close(); }
    OpenedRegKey(const OpenedRegKey&) = delete;
    OpenedRegKey& operator=(const OpenedRegKey&) = delete;
    explicit operator bool() const { return Reg_ != nullptr; }
    RegKey Get() const { return Key_; }
    // Before the end of the scope, where a later step wants the key closed.
    void Close() {
        if (Reg_)
            (void)Reg_->CloseKey(Key_);
        Reg_ = nullptr;
    }
    // A 32-bit number read into a 4-byte buffer, whatever the value's type:
    // shorter data is zero-extended, longer data fails by its size.
    bool ReadU32(std::u16string_view name, uint32_t* value) const {
        uint8_t data[4] = {};
        uint32_t size = sizeof data;
        if (!Reg_ || Reg_->QueryValue(Key_, name, nullptr, data, &size) != ERROR_SUCCESS)
            return false;
        *value = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                 (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
        return true;
    }

  private:
    Registry* Reg_ = nullptr;
    RegKey Key_ = 0;
};

// The SQLite store at <root>/registry.db, created on first use.
std::unique_ptr<Registry> OpenSqliteRegistry(const std::string& root, uint32_t* error);
// The same store for a quick look by a program that must create and change
// nothing (udev's helper): no folder, file or table is made, writes fail, a
// busy database is waited for at most busyTimeout, and a value (or name)
// longer than MaxReadOnlyValueBytes fails to read. ERROR_FILE_NOT_FOUND when
// the root holds no prepared registry.
inline constexpr int MaxReadOnlyValueBytes = 64 * 1024;
std::unique_ptr<Registry> OpenSqliteRegistryReadOnly(const std::string& root,
                                                     std::chrono::milliseconds busyTimeout,
                                                     uint32_t* error);

// Small conveniences for platform code (not used by the driver's own logic).
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
// Reads a REG_SZ value as text (without the terminating zero); empty optional
// semantics: returns false when absent.
bool ReadStringValue(Registry& reg, std::u16string_view keyPath, std::u16string_view name,
                     std::u16string* out);

}  // namespace orvex
