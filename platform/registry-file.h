// Registry text files in the REGEDIT4 format: the way the platform's default
// configuration is shipped, edited by hand and copied between machines.
//
//   REGEDIT4
//   ; comment
//   [HKEY_LOCAL_MACHINE\Drivers\BuiltIn\ORVEXSER]
//   "Model"="TS"                  string (\\ and \" escaped), stored as UTF-16
//   "Port"=dword:00000001         32-bit number
//   "Blob"=hex:01,02,\            binary; a trailing backslash continues
//     03                          the list on the next line
//   "List"=hex(7):41,00,00,00     any other type, by its number in hex
//   @="default"                   the key's unnamed value
//   "Gone"=-                      deletes a value
//   [-HKEY_LOCAL_MACHINE\Old]     deletes a key with its subkeys
//
// Files are UTF-8. Only keys under HKEY_LOCAL_MACHINE exist on this platform.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace orvex {

// Bounds on what a file (or a command line) may ask for: a key path of more
// names than this would cost every later walk of the registry dearly, a
// longer line or file is not a registry file anybody wrote.
inline constexpr size_t MaxKeyDepth = 512;
inline constexpr size_t MaxRegLineBytes = 1024 * 1024;
inline constexpr size_t MaxRegFileBytes = 64 * 1024 * 1024;

// The rule for every key and value name, in files and on command lines:
// valid UTF-8 without line breaks or NUL, so that export can always write it
// back. False with *why saying what is wrong.
// what names the kind of name in the message ("value name").
bool CheckRegName(std::string_view name, std::string_view what, std::string* why);
// A key path below the root (names separated by backslashes): each name
// obeys the rule and there are at most MaxKeyDepth of them.
bool CheckRegKeyPath(std::string_view path, std::string* why);
bool IsValidUtf8(std::string_view text);

// Reads a file for import, refusing as soon as it can what is no registry
// file: the header must come first (after a byte-order mark and blank
// lines), and lines and the whole are bounded. *error is "line N: ..." or
// says why.
bool ReadRegText(std::istream& in, std::string* text, std::string* error);

// One change a file asks for, in file order.
struct RegFileOp {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind What = CreateKey;
    std::u16string Key;  // below HKEY_LOCAL_MACHINE; empty is the root itself
    std::u16string Name;
    uint32_t Type = REG_NONE;
    std::vector<uint8_t> Data;
    size_t Line = 0;  // where the file asked for it
};

// Reads a whole file. On malformed input returns false with a message that
// begins "line N: " in *error and leaves *ops empty.
bool ParseRegText(std::string_view text, std::vector<RegFileOp>* ops, std::string* error);

// What an import does with a value the registry already holds.
enum class ImportExisting {
    Replace,  // the file's value wins, and the file's deletions are made
    Keep,     // only what is missing is added; nothing is changed or deleted
};

// Parses the whole text first, then applies it in one write group: either
// every change is made or none is.
bool ImportRegText(Registry& reg, std::string_view text, std::string* error,
                   ImportExisting existing = ImportExisting::Replace);

// Writes keyPath (empty: the whole registry) with all its subkeys, as text
// that ImportRegText reads back into the same keys and values.
bool ExportRegText(Registry& reg, std::u16string_view keyPath, std::string* out,
                   std::string* error);

// One value as its line of a file, without the line end ("Port"=dword:00000001).
// Fails only for a name that no file line can carry.
bool FormatRegValue(const Registry::Value& value, std::string* line);

// Accepts a key path with or without the leading "HKEY_LOCAL_MACHINE\" (any
// case) and returns the part below the root. False for another root.
bool KeyBelowRoot(std::string_view path, std::u16string* below);

}  // namespace orvex
