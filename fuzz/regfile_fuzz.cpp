// Feeds arbitrary text to the registry file reader, and what it accepts to a
// real registry store, checking that
//   - a refused file yields no changes and a "line N: " message;
//   - every value the reader produces is written back by FormatRegValue as a
//     line that reads back to the same name, type and bytes;
//   - importing a file and exporting the result gives text that, imported
//     into an empty registry and exported again, comes back identical.
//
// The store is the SQLite one on a private root (in /dev/shm when there is
// one, so commits cost no disk), opened once and emptied before each input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/registry-file.h"
#include "platform/registry.h"

namespace {

using orvex::RegFileOp;
using orvex::Registry;

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Inputs above this size are only parsed: a big file adds nothing to the
// round trip but slows every execution down.
constexpr size_t MaxImportSize = 8 * 1024;

class Store {
  public:
    Store() {
        std::error_code ec;
        std::string dir = std::filesystem::is_directory("/dev/shm", ec)
                              ? std::string("/dev/shm")
                              : std::filesystem::temp_directory_path(ec).string();
        dir += "/regfile-fuzz-XXXXXX";
        if (::mkdtemp(dir.data()) == nullptr)
            return;
        Root_ = dir;
        uint32_t error = 0;
        Reg_ = orvex::OpenSqliteRegistry(Root_, &error);
    }
    ~Store() {
        Reg_.reset();
        if (!Root_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(Root_, ec);
        }
    }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    Registry* Get() { return Reg_.get(); }

    // Back to an empty HKEY_LOCAL_MACHINE.
    void Clear() {
        orvex::RegistryWriteGroup group(*Reg_);
        std::vector<std::u16string> keys;
        Check(Reg_->EnumSubKeys(orvex::HKEY_LOCAL_MACHINE, &keys) == 0);
        for (const auto& k : keys)
            Check(Reg_->DeleteKey(orvex::HKEY_LOCAL_MACHINE, k) == 0);
        std::vector<Registry::Value> values;
        Check(Reg_->EnumValues(orvex::HKEY_LOCAL_MACHINE, &values) == 0);
        for (const auto& v : values)
            Check(Reg_->DeleteValue(orvex::HKEY_LOCAL_MACHINE, v.Name) == 0);
        Check(group.Commit() == 0);
    }

  private:
    std::string Root_;
    std::unique_ptr<Registry> Reg_;
};

Store& TheStore() {
    static Store store;
    return store;
}

// One value line on its own, read back through a minimal file.
void CheckValueLine(const RegFileOp& op) {
    Registry::Value v{op.Name, op.Type, op.Data};
    std::string line;
    if (!orvex::FormatRegValue(v, &line)) {
        // Only a name no single line can hold is refused.
        Check(op.Name.find(u'\r') != std::u16string::npos ||
              op.Name.find(u'\n') != std::u16string::npos);
        return;
    }
    std::vector<RegFileOp> back;
    std::string error;
    Check(orvex::ParseRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n" + line + "\n", &back, &error));
    Check(back.size() == 2 && back[1].What == RegFileOp::SetValue);
    Check(back[1].Key == u"K" && back[1].Name == op.Name);
    Check(back[1].Type == op.Type && back[1].Data == op.Data);
}

void CheckRoundTrip(std::string_view text) {
    Store& store = TheStore();
    Registry* reg = store.Get();
    if (reg == nullptr)
        return;  // no writable temporary directory: parse-only
    store.Clear();
    std::string error;
    if (!orvex::ImportRegText(*reg, text, &error))
        return;
    std::string first;
    // Whatever imports must export: the reader refuses names that could not
    // be written back on a line.
    Check(orvex::ExportRegText(*reg, u"", &first, &error));

    // Importing an export over the same contents changes nothing.
    Check(orvex::ImportRegText(*reg, first, &error));
    std::string same;
    Check(orvex::ExportRegText(*reg, u"", &same, &error));
    Check(same == first);

    // Nor does carrying it to an empty registry.
    store.Clear();
    Check(orvex::ImportRegText(*reg, first, &error));
    std::string second;
    Check(orvex::ExportRegText(*reg, u"", &second, &error));
    Check(second == first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<RegFileOp> ops{RegFileOp{}};  // must be emptied on failure
    std::string error;
    if (!orvex::ParseRegText(text, &ops, &error)) {
        Check(ops.empty());
        Check(error.rfind("line ", 0) == 0);
        return 0;
    }
    for (const RegFileOp& op : ops) {
        Check(op.Line >= 1);
        if (op.What == RegFileOp::SetValue)
            CheckValueLine(op);
        if (op.What == RegFileOp::DeleteKey)
            Check(!op.Key.empty());
    }
    if (size <= MaxImportSize)
        CheckRoundTrip(text);
    return 0;
}
