// A registry double that forwards to a real registry but fails the value
// names it is told to fail, and counts key handles so tests can see that
// every opened key was closed again.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "platform/registry.h"

namespace orvex::test {

class FailingRegistry final : public Registry {
  public:
    explicit FailingRegistry(Registry& real) : Real_(real) {}

    std::set<std::u16string> FailSet;    // SetValue of these names fails
    std::set<std::u16string> FailQuery;  // QueryValue of these names fails
    uint32_t FailCommit = 0;             // returned by the outermost EndWriteGroup(true)
    uint32_t Error = ERROR_ACCESS_DENIED;

    int OpenKeys() const { return Opened_ - Closed_; }
    int Opened() const { return Opened_; }
    int GroupsCommitted() const { return Committed_; }
    int Flushes() const { return Flushes_; }

    uint32_t OpenKey(RegKey root, std::u16string_view subKey, uint32_t access,
                     RegKey* result) override;
    uint32_t QueryValue(RegKey key, std::u16string_view name, uint32_t* type, uint8_t* data,
                        uint32_t* size) override;
    uint32_t SetValue(RegKey key, std::u16string_view name, uint32_t type, const uint8_t* data,
                      uint32_t size) override;
    uint32_t CloseKey(RegKey key) override;
    uint32_t FlushKey(RegKey key) override {
        ++Flushes_;
        return Real_.FlushKey(key);
    }
    uint32_t CreateKey(RegKey root, std::u16string_view subKey, RegKey* result) override;
    uint32_t DeleteKey(RegKey root, std::u16string_view subKey) override {
        return Real_.DeleteKey(root, subKey);
    }
    uint32_t DeleteValue(RegKey key, std::u16string_view name) override {
        return Real_.DeleteValue(key, name);
    }
    uint32_t EnumSubKeys(RegKey key, std::vector<std::u16string>* names) override {
        return Real_.EnumSubKeys(key, names);
    }
    uint32_t EnumValues(RegKey key, std::vector<Value>* values) override {
        return Real_.EnumValues(key, values);
    }
    uint32_t BeginWriteGroup() override;
    uint32_t EndWriteGroup(bool commit) override;

  private:
    static bool Contains(const std::set<std::u16string>& names, std::u16string_view name);

    Registry& Real_;
    int Opened_ = 0, Closed_ = 0, Depth_ = 0, Committed_ = 0;
    std::atomic<int> Flushes_{0};  // also counted on a timer thread
};

}  // namespace orvex::test
