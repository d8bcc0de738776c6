// orvexreg: the platform registry from the command line.
//
//   orvexreg import FILE                    (FILE "-" is standard input)
//   orvexreg init FILE                      (when there is no registry yet, or
//                                            one that registers no driver)
//   orvexreg export [KEY]
//   orvexreg query KEY [VALUE]
//   orvexreg set KEY VALUE (dword|sz) DATA
//   orvexreg delete KEY [VALUE]
//   orvexreg udev-output [--root DIR]       (for the udev rule; see UdevOutput)
//
// The registry is $ORVEX_ROOT/registry.db. KEY may start with
// HKEY_LOCAL_MACHINE\ or not. An empty VALUE ("") names a key's default value.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/access.h"
#include "platform/error-help.h"
#include "platform/platform.h"
#include "platform/registry-file.h"

namespace orvex {
namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

void Usage() {
    std::cerr << "usage: orvexreg import FILE\n"
                 "       orvexreg init FILE\n"
                 "       orvexreg export [KEY]\n"
                 "       orvexreg query KEY [VALUE]\n"
                 "       orvexreg set KEY VALUE (dword|sz) DATA\n"
                 "       orvexreg delete KEY [VALUE]\n"
                 "       orvexreg udev-output [--root DIR]\n"
                 "The registry is $ORVEX_ROOT/registry.db (default /var/lib/orvex).\n"
                 "KEY may be given with or without the HKEY_LOCAL_MACHINE\\ prefix.\n";
}

int Fail(const std::string& message) {
    std::cerr << "orvexreg: " << message << "\n";
    return ExitFailure;
}

std::string Describe(uint32_t error) {
    if (error == ERROR_FILE_NOT_FOUND)
        return "not found";
    return ExplainError(error, ErrorTopic::Registry);
}

std::string ShowKey(const std::u16string& below) {
    return below.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + Utf16ToUtf8(below);
}

// Closes a key handle when it goes out of scope.
class OpenedKey {
  public:
    OpenedKey(Registry& reg, RegKey key) : Reg_(reg), Key_(key) {}
    ~OpenedKey() { (void)Reg_.CloseKey(Key_); }  // nothing useful to do if it fails
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    RegKey Get() const { return Key_; }

  private:
    Registry& Reg_;
    RegKey Key_;
};

// "123", "0x7d0": the whole of a 32-bit number, nothing after it.
bool ParseDword(const std::string& text, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    // Hex only with 0x: a leading zero must not quietly mean octal.
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '-' || *digits == '+' || *digits == ' ')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

int Import(Registry& reg, const std::string& file,
           ImportExisting existing = ImportExisting::Replace) {
    std::ifstream opened;
    if (file != "-") {
        opened.open(file, std::ios::binary);
        if (!opened)
            return Fail(file + ": cannot open");
    }
    std::string text, error;
    if (!ReadRegText(file == "-" ? std::cin : opened, &text, &error) ||
        !ImportRegText(reg, text, &error, existing))
        return Fail(file + ": " + error);
    if (uint32_t e = reg.FlushKey(HKEY_LOCAL_MACHINE))
        return Fail("imported, but could not flush to storage: " + Describe(e));
    return 0;
}

// A registry that exists but registers no driver was made by a tool before
// the first start (a port set while building a kiosk image): it gets what it
// lacks of FILE, and keeps every value it holds.
int CompleteDriverless(const std::string& root, const std::string& file) {
    const std::string target = root + "/registry.db";
    uint32_t error = 0;
    auto reg = OpenSqliteRegistry(root, &error);
    if (!reg)
        return Fail("cannot open the registry under " + root + ": " + Describe(error));
    if (OpenedRegKey(reg.get(), u"Drivers\\BuiltIn")) {
        std::cout << "orvexreg: " << target << " exists; left as it is\n";
        return 0;
    }
    if (int rc = Import(*reg, file, ImportExisting::Keep))
        return rc;
    std::cout << "orvexreg: " << target << " registered no driver; added what it lacked from "
              << file << "\n";
    return 0;
}

// The registry of a new machine: FILE is imported into a registry built in a
// folder of its own, which is moved into place only once it is complete. A
// start that fails half way leaves no partial registry behind, and a
// registry that exists, even one made meanwhile by someone else, is kept.
int Init(const std::string& root, const std::string& file) {
    const std::string target = root + "/registry.db";
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0)
        return CompleteDriverless(root, file);
    std::string why;
    const FileSharing sharing = CurrentFileSharing(root);
    if (!PrepareFolder(root, RootFolderMode, sharing, &why))
        return Fail(why);
    // Not mkdtemp: its folder is 0700, and inside a set-group-id root that
    // needs a change of mode the service may not make (RestrictSUIDSGID).
    // Only root can create folders in a shared root, so the name need not
    // be secret, only new.
    std::string staging;
    for (unsigned n = 0;; ++n) {
        staging = root + "/.init-" + std::to_string(::getpid()) + "-" + std::to_string(n);
        if (::mkdir(staging.c_str(), EffectiveMode(RootFolderMode, sharing) & 01777) == 0)
            break;
        if (errno != EEXIST || n == 100)
            return Fail("cannot create a folder in " + root + ": " + std::strerror(errno));
    }
    struct RemoveStaging {
        std::string Path;
        ~RemoveStaging() {
            std::error_code ignored;  // a leftover folder harms nobody
            std::filesystem::remove_all(Path, ignored);
        }
    } cleanup{staging};

    {
        uint32_t error = 0;
        auto reg = OpenSqliteRegistry(staging, &error);
        if (!reg)
            return Fail("cannot create a registry under " + staging + ": " + Describe(error));
        if (int rc = Import(*reg, file))
            return rc;
    }  // the last connection closes: its write-ahead log is folded into the file
    const std::string built = staging + "/registry.db";
    if (::stat((built + "-wal").c_str(), &st) == 0 && st.st_size > 0)
        return Fail("the new registry was not completed");
    // Its mode was set when it was created (root and the group, or its
    // owner alone), and a link keeps it.
    // link, unlike rename, never replaces what is there.
    if (::link(built.c_str(), target.c_str()) != 0) {
        if (errno == EEXIST)
            return CompleteDriverless(root, file);
        return Fail("cannot create " + target + ": " + std::strerror(errno));
    }
    // The log and shared memory beside it, which members cannot make.
    if (!PreparePlatformRoot(root, sharing, &why))
        return Fail(why);
    std::cout << "orvexreg: new registry " << target << " from " << file << "\n";
    return 0;
}

int Export(Registry& reg, const std::u16string& key) {
    std::string text, error;
    if (!ExportRegText(reg, key, &text, &error))
        return Fail(error);
    std::cout << text;
    std::cout.flush();
    if (!std::cout)
        return Fail("cannot write to standard output");
    return 0;
}

int Query(Registry& reg, const std::u16string& keyPath, const std::string* valueName) {
    RegKey raw = 0;
    if (uint32_t e = reg.OpenKey(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &raw))
        return Fail(ShowKey(keyPath) + ": " + Describe(e));
    OpenedKey key(reg, raw);
    std::vector<Registry::Value> values;
    if (valueName) {
        Registry::Value v{Utf8ToUtf16(*valueName), REG_NONE, {}};
        uint32_t size = 0;
        uint32_t e = reg.QueryValue(key.Get(), v.Name, &v.Type, nullptr, &size);
        for (int attempt = 0; e == ERROR_SUCCESS && attempt < 4; ++attempt) {
            v.Data.resize(size);
            e = reg.QueryValue(key.Get(), v.Name, &v.Type, v.Data.data(), &size);
            if (e != ERROR_MORE_DATA)
                break;  // grown meanwhile: ask again
        }
        if (e)
            return Fail(ShowKey(keyPath) + ": value \"" + *valueName + "\": " + Describe(e));
        v.Data.resize(size);
        values.push_back(std::move(v));
    } else if (uint32_t e = reg.EnumValues(key.Get(), &values)) {
        return Fail(ShowKey(keyPath) + ": " + Describe(e));
    }
    for (const auto& v : values) {
        std::string line;
        if (!FormatRegValue(v, &line))
            return Fail("a value name cannot be shown");
        std::cout << line << "\n";
    }
    if (!valueName) {
        std::vector<std::u16string> subKeys;
        if (uint32_t e = reg.EnumSubKeys(key.Get(), &subKeys))
            return Fail(ShowKey(keyPath) + ": " + Describe(e));
        std::u16string prefix = keyPath.empty() ? u"" : keyPath + u"\\";
        for (const auto& name : subKeys)
            std::cout << "[" << ShowKey(prefix + name) << "]\n";
    }
    std::cout.flush();
    return std::cout ? 0 : Fail("cannot write to standard output");
}

int Set(Registry& reg, const std::u16string& keyPath, const std::string& valueName,
        const std::string& type, const std::string& data) {
    std::vector<uint8_t> bytes;
    uint32_t regType = 0;
    if (type == "dword") {
        uint32_t n = 0;
        if (!ParseDword(data, &n))
            return Fail("not a 32-bit number: " + data);
        regType = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(n >> (8 * i)));
    } else if (type == "sz") {
        if (!IsValidUtf8(data))
            return Fail("the data is not valid UTF-8");
        regType = REG_SZ;
        std::u16string text = Utf8ToUtf16(data);
        text.push_back(u'\0');
        for (char16_t c : text) {
            bytes.push_back(static_cast<uint8_t>(c & 0xFF));
            bytes.push_back(static_cast<uint8_t>(c >> 8));
        }
    } else {
        Usage();
        return ExitUsage;
    }
    RegKey raw = 0;
    if (uint32_t e = reg.CreateKey(HKEY_LOCAL_MACHINE, keyPath, &raw))
        return Fail(ShowKey(keyPath) + ": " + Describe(e));
    OpenedKey key(reg, raw);
    if (uint32_t e = reg.SetValue(key.Get(), Utf8ToUtf16(valueName), regType, bytes.data(),
                                  static_cast<uint32_t>(bytes.size())))
        return Fail(ShowKey(keyPath) + ": value \"" + valueName + "\": " + Describe(e));
    if (uint32_t e = reg.FlushKey(HKEY_LOCAL_MACHINE))
        return Fail("set, but could not flush to storage: " + Describe(e));
    return 0;
}

int Delete(Registry& reg, const std::u16string& keyPath, const std::string* valueName) {
    if (!valueName) {
        if (keyPath.find_first_not_of(u'\\') == std::u16string::npos)
            return Fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
        if (uint32_t e = reg.DeleteKey(HKEY_LOCAL_MACHINE, keyPath))
            return Fail(ShowKey(keyPath) + ": " + Describe(e));
    } else {
        RegKey raw = 0;
        if (uint32_t e = reg.OpenKey(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &raw))
            return Fail(ShowKey(keyPath) + ": " + Describe(e));
        OpenedKey key(reg, raw);
        if (uint32_t e = reg.DeleteValue(key.Get(), Utf8ToUtf16(*valueName)))
            return Fail(ShowKey(keyPath) + ": value \"" + *valueName + "\": " + Describe(e));
    }
    if (uint32_t e = reg.FlushKey(HKEY_LOCAL_MACHINE))
        return Fail("deleted, but could not flush to storage: " + Describe(e));
    return 0;
}

// What a name may be made of to reach udev: IMPORT{program} reads KEY=value
// lines and unquotes values, so a line break, quote or other control in a
// registry value would set properties of its author's choosing (marking the
// device a keyboard, say). Output names are short words of these characters.
constexpr size_t MaxUdevOutputLength = 63;
bool IsSafeOutputName(std::u16string_view name) {
    if (name.empty() || name.size() > MaxUdevOutputLength)
        return false;
    for (char16_t c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.' ||
                        c == u':';
        if (!ok)
            return false;
    }
    return true;
}

// udev's IMPORT{program} for the panel's pointer device: WL_OUTPUT=NAME for
// Platform\Input "Monitor", nothing when no monitor is named. udev runs it
// as root at every add of the device and waits for it, so it opens the
// registry read-only (a missing root or registry stays missing), waits
// briefly for a busy one, and prints only a name it can vouch for. A value
// it refuses, or a registry it cannot read, leaves the property unset: the
// pointer then covers every output, as it would without the rule.
int UdevOutput(const std::string& root) {
    constexpr std::chrono::milliseconds BusyWait{250};
    uint32_t error = 0;
    auto reg = OpenSqliteRegistryReadOnly(root, BusyWait, &error);
    if (!reg && error == ERROR_FILE_NOT_FOUND) {
        std::cerr << "orvexreg: no registry under " << root << "; no output named\n";
        return 0;
    }
    if (!reg)
        return Fail("cannot read the registry under " + root + ": " + Describe(error));
    constexpr char16_t Key[] = u"Platform\\Input";
    RegKey raw = 0;
    error = reg->OpenKey(HKEY_LOCAL_MACHINE, Key, KEY_ALL_ACCESS, &raw);
    if (error == ERROR_FILE_NOT_FOUND)
        return 0;
    if (error)
        return Fail(ShowKey(Key) + ": " + Describe(error));
    OpenedKey key(*reg, raw);
    uint32_t type = REG_NONE, size = 0;
    error = reg->QueryValue(key.Get(), u"Monitor", &type, nullptr, &size);
    std::vector<uint8_t> data(size);
    if (!error)
        error = reg->QueryValue(key.Get(), u"Monitor", &type, data.data(), &size);
    if (error == ERROR_FILE_NOT_FOUND)
        return 0;
    if (error)
        return Fail(ShowKey(Key) + ": value \"Monitor\": " + Describe(error));
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        std::cerr << "orvexreg: \"Monitor\" is not a string; no output named\n";
        return 0;
    }
    // As the pointer backends read it: up to the first NUL.
    std::u16string name;
    for (size_t i = 0; i + 1 < std::min<size_t>(size, data.size()); i += 2) {
        const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == u'\0')
            break;
        name.push_back(c);
    }
    if (name.empty())
        return 0;
    if (!IsSafeOutputName(name)) {
        std::cerr << "orvexreg: \"Monitor\" is not an output name udev may be given (up to "
                  << MaxUdevOutputLength << " letters, digits and -_.: only); no output named\n";
        return 0;
    }
    std::cout << "WL_OUTPUT=" << Utf16ToUtf8(name) << "\n";
    std::cout.flush();
    return std::cout ? 0 : Fail("cannot write to standard output");
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
        Usage();
        return ExitUsage;
    }
    const std::string& command = args[0];
    size_t n = args.size() - 1;
    if (command == "udev-output") {
        if (n == 0)
            return UdevOutput(PlatformRoot());
        if (n == 2 && args[1] == "--root" && !args[2].empty())
            return UdevOutput(args[2]);
        Usage();
        return ExitUsage;
    }
    bool known = (command == "import" && n == 1) || (command == "init" && n == 1) ||
                 (command == "export" && n <= 1) || (command == "query" && (n == 1 || n == 2)) ||
                 (command == "set" && n == 4) || (command == "delete" && (n == 1 || n == 2));
    if (!known) {
        Usage();
        return ExitUsage;
    }
    std::u16string keyPath;
    if (command != "import" && command != "init" && n >= 1 && !KeyBelowRoot(args[1], &keyPath))
        return Fail("only keys under HKEY_LOCAL_MACHINE exist: " + args[1]);
    if (command == "set") {
        // What set writes, export must be able to write back, as for import.
        std::string why;
        if (!IsValidUtf8(args[1]))
            return Fail("the key path is not valid UTF-8");
        if (!CheckRegKeyPath(Utf16ToUtf8(keyPath), &why) ||
            !CheckRegName(args[2], "value name", &why))
            return Fail(why);
    }

    std::string root = PlatformRoot();
    if (command == "init")
        return Init(root, args[1]);
    uint32_t error = 0;
    auto reg = OpenSqliteRegistry(root, &error);
    if (!reg)
        return Fail("cannot open the registry under " + root + ": " + Describe(error));

    const std::string* value = n == 2 ? &args[2] : nullptr;
    if (command == "import")
        return Import(*reg, args[1]);
    if (command == "export")
        return Export(*reg, keyPath);
    if (command == "query")
        return Query(*reg, keyPath, value);
    if (command == "set")
        return Set(*reg, keyPath, args[2], args[3], args[4]);
    return Delete(*reg, keyPath, value);
}

}  // namespace
}  // namespace orvex

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return orvex::Run(args);
}
