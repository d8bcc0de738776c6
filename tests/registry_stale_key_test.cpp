// Handles whose key went away under them, and keys found again by name: every
// way into the registry through a handle must notice a deleted key the same
// way, and creating a path must reuse what is already there.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/temp_root.h"

namespace orvex {
namespace {

class StaleKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uint32_t error = 99;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        ASSERT_NE(Reg, nullptr) << "error " << error;
    }

    RegKey Create(RegKey root, std::u16string_view path) {
        RegKey k = 0;
        EXPECT_EQ(Reg->CreateKey(root, path, &k), ERROR_SUCCESS);
        return k;
    }

    test::TempRoot Root;
    std::unique_ptr<Registry> Reg;
};

TEST_F(StaleKeyTest, EveryCallThroughADeletedKeysHandleSaysSo) {
    RegKey stale = Create(HKEY_LOCAL_MACHINE, u"Gone\\Soon");
    const uint8_t one[4] = {1, 0, 0, 0};
    ASSERT_EQ(Reg->SetValue(stale, u"v", REG_DWORD, one, 4), ERROR_SUCCESS);
    (void)Create(stale, u"Child");
    ASSERT_EQ(Reg->DeleteKey(HKEY_LOCAL_MACHINE, u"gone"), ERROR_SUCCESS);

    // Listings fail and leave the caller's vectors as they were.
    std::vector<std::u16string> names{u"kept"};
    EXPECT_EQ(Reg->EnumSubKeys(stale, &names), ERROR_KEY_DELETED);
    EXPECT_EQ(names, std::vector<std::u16string>{u"kept"});
    std::vector<Registry::Value> values(1);
    values[0].Name = u"kept";
    EXPECT_EQ(Reg->EnumValues(stale, &values), ERROR_KEY_DELETED);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Name, u"kept");

    // The key itself is gone, and nothing below it can be reached or made.
    RegKey k = 0;
    EXPECT_EQ(Reg->OpenKey(stale, u"", 0, &k), ERROR_KEY_DELETED);
    EXPECT_EQ(Reg->OpenKey(stale, u"Child", 0, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reg->CreateKey(stale, u"Child", &k), ERROR_KEY_DELETED);
    EXPECT_EQ(Reg->CreateKey(stale, u"", &k), ERROR_KEY_DELETED);
    EXPECT_EQ(Reg->SetValue(stale, u"late", REG_DWORD, one, 4), ERROR_KEY_DELETED);
    EXPECT_EQ(Reg->DeleteKey(stale, u""), ERROR_KEY_DELETED);
    uint32_t size = 4;
    uint8_t data[4] = {};
    EXPECT_EQ(Reg->QueryValue(stale, u"v", nullptr, data, &size), ERROR_FILE_NOT_FOUND);

    // A failed create wrote nothing: the deleted branch stays deleted.
    EXPECT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"Gone", 0, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reg->CloseKey(stale), ERROR_SUCCESS);
}

TEST_F(StaleKeyTest, CreatingAPathReusesTheKeysAlreadyOnIt) {
    RegKey first = Create(HKEY_LOCAL_MACHINE, u"Top\\Mid");
    const uint8_t two[4] = {2, 0, 0, 0};
    ASSERT_EQ(Reg->SetValue(first, u"v", REG_DWORD, two, 4), ERROR_SUCCESS);

    // Same path in another case, and one level deeper: the existing keys are
    // found, not doubled, and their first spelling stays.
    RegKey again = Create(HKEY_LOCAL_MACHINE, u"TOP\\mid");
    RegKey deeper = Create(HKEY_LOCAL_MACHINE, u"top\\MID\\Leaf");
    uint32_t size = 4;
    uint8_t data[4] = {};
    ASSERT_EQ(Reg->QueryValue(again, u"v", nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 2);

    std::vector<std::u16string> names;
    ASSERT_EQ(Reg->EnumSubKeys(HKEY_LOCAL_MACHINE, &names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::u16string>{u"Top"});
    ASSERT_EQ(Reg->EnumSubKeys(again, &names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::u16string>{u"Leaf"});

    // Deleting through one handle shows through the others at once.
    ASSERT_EQ(Reg->DeleteKey(first, u"leaf"), ERROR_SUCCESS);
    ASSERT_EQ(Reg->EnumSubKeys(again, &names), ERROR_SUCCESS);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(Reg->EnumValues(deeper, nullptr), ERROR_INVALID_PARAMETER);
    std::vector<Registry::Value> values;
    EXPECT_EQ(Reg->EnumValues(deeper, &values), ERROR_KEY_DELETED);
}

}  // namespace
}  // namespace orvex
