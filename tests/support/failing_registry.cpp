#include "failing_registry.h"

namespace orvex::test {

bool FailingRegistry::Contains(const std::set<std::u16string>& names, std::u16string_view name) {
    return names.count(std::u16string(name)) > 0;
}

uint32_t FailingRegistry::OpenKey(RegKey root, std::u16string_view subKey, uint32_t access,
                                  RegKey* result) {
    uint32_t r = Real_.OpenKey(root, subKey, access, result);
    if (r == ERROR_SUCCESS)
        ++Opened_;
    return r;
}

uint32_t FailingRegistry::CreateKey(RegKey root, std::u16string_view subKey, RegKey* result) {
    uint32_t r = Real_.CreateKey(root, subKey, result);
    if (r == ERROR_SUCCESS)
        ++Opened_;
    return r;
}

uint32_t FailingRegistry::CloseKey(RegKey key) {
    uint32_t r = Real_.CloseKey(key);
    if (r == ERROR_SUCCESS)
        ++Closed_;
    return r;
}

uint32_t FailingRegistry::QueryValue(RegKey key, std::u16string_view name, uint32_t* type,
                                     uint8_t* data, uint32_t* size) {
    if (Contains(FailQuery, name))
        return Error;
    return Real_.QueryValue(key, name, type, data, size);
}

uint32_t FailingRegistry::SetValue(RegKey key, std::u16string_view name, uint32_t type,
                                   const uint8_t* data, uint32_t size) {
    if (Contains(FailSet, name))
        return Error;
    return Real_.SetValue(key, name, type, data, size);
}

uint32_t FailingRegistry::BeginWriteGroup() {
    uint32_t r = Real_.BeginWriteGroup();
    if (r == ERROR_SUCCESS)
        ++Depth_;
    return r;
}

uint32_t FailingRegistry::EndWriteGroup(bool commit) {
    bool outermost = Depth_ == 1;
    if (Depth_ > 0)
        --Depth_;
    // A failing commit discards the group in the real store too, as a real
    // commit failure would.
    bool failCommit = commit && outermost && FailCommit != 0;
    uint32_t r = Real_.EndWriteGroup(commit && !failCommit);
    if (failCommit)
        return FailCommit;
    if (r == ERROR_SUCCESS && commit && outermost)
        ++Committed_;
    return r;
}

}  // namespace orvex::test
