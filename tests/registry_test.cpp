// The SQLite registry: value and key semantics, write groups, persistence and
// two processes writing to one database.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/regdata.h"
#include "tests/support/temp_root.h"

using namespace orvex;
using orvex::test::TempRoot;

namespace {

std::vector<uint8_t> Sz(std::u16string_view s) {
    return orvex::test::SzBytes(s);
}

std::vector<uint8_t> Dword(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { Reopen(); }

    void Reopen() {
        Reg.reset();
        uint32_t error = 99;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        ASSERT_NE(Reg, nullptr) << "error " << error;
        ASSERT_EQ(error, ERROR_SUCCESS);
    }

    RegKey Create(std::u16string_view path) {
        RegKey k = 0;
        EXPECT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, path, &k), ERROR_SUCCESS);
        return k;
    }

    void Set(RegKey k, std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data) {
        ASSERT_EQ(Reg->SetValue(k, name, type, data.data(), static_cast<uint32_t>(data.size())),
                  ERROR_SUCCESS);
    }

    // The stored bytes, or the error.
    uint32_t Get(RegKey k, std::u16string_view name, std::vector<uint8_t>* data,
                 uint32_t* type = nullptr) {
        uint32_t size = 0;
        uint32_t r = Reg->QueryValue(k, name, type, nullptr, &size);
        if (r)
            return r;
        data->assign(size, 0);
        r = Reg->QueryValue(k, name, type, data->data(), &size);
        data->resize(size);
        return r;
    }

    TempRoot Root;
    std::unique_ptr<Registry> Reg;
};

TEST_F(RegistryTest, TooSmallBufferFailsWithMoreDataAndWritesNothing) {
    RegKey k = Create(u"Drivers\\Test");
    Set(k, u"Model", REG_SZ, Sz(u"ABCDEF"));  // 14 bytes

    std::array<uint8_t, 13> buf;
    buf.fill(0xAA);
    uint32_t size = static_cast<uint32_t>(buf.size());
    uint32_t type = 0;
    EXPECT_EQ(Reg->QueryValue(k, u"Model", &type, buf.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);  // the size needed
    EXPECT_EQ(type, REG_SZ);
    for (uint8_t b : buf)
        EXPECT_EQ(b, 0xAA);

    // A size query with no buffer, then an exact fit.
    size = 0;
    EXPECT_EQ(Reg->QueryValue(k, u"Model", nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    std::array<uint8_t, 14> exact{};
    size = 14;
    ASSERT_EQ(Reg->QueryValue(k, u"Model", nullptr, exact.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(exact.begin(), exact.end()), Sz(u"ABCDEF"));

    // A larger buffer: the size out is the data's size, the rest untouched.
    std::array<uint8_t, 20> big;
    big.fill(0x55);
    size = 20;
    ASSERT_EQ(Reg->QueryValue(k, u"Model", nullptr, big.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(big[14], 0x55);

    // A buffer without a size is refused rather than trusted.
    EXPECT_EQ(Reg->QueryValue(k, u"Model", nullptr, big.data(), nullptr), ERROR_INVALID_PARAMETER);
    Reg->CloseKey(k);
}

TEST_F(RegistryTest, MissingKeysValuesAndHandles) {
    RegKey k = 0;
    EXPECT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"Drivers\\Nothing", KEY_ALL_ACCESS, &k),
              ERROR_FILE_NOT_FOUND);
    RegKey d = Create(u"Drivers");
    std::vector<uint8_t> data;
    EXPECT_EQ(Get(d, u"Absent", &data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reg->DeleteValue(d, u"Absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reg->DeleteKey(HKEY_LOCAL_MACHINE, u"Drivers\\Nothing"), ERROR_FILE_NOT_FOUND);

    // A closed handle is no longer valid; a handle never seen neither.
    ASSERT_EQ(Reg->CloseKey(d), ERROR_SUCCESS);
    EXPECT_EQ(Reg->CloseKey(d), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Get(d, u"Absent", &data), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Reg->SetValue(12345, u"X", REG_DWORD, Dword(1).data(), 4), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirSpelling) {
    RegKey k = Create(u"Drivers\\BuiltIn\\ORVEXSER");
    Set(k, u"FeedbackTone", REG_DWORD, Dword(2000));
    Set(k, u"FEEDBACKTONE", REG_DWORD, Dword(1500));  // the same value

    RegKey other = 0;
    ASSERT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"drivers\\BUILTIN\\OrvexSer", 0, &other),
              ERROR_SUCCESS);
    std::vector<uint8_t> data;
    ASSERT_EQ(Get(other, u"feedbacktone", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Dword(1500));

    std::vector<Registry::Value> values;
    ASSERT_EQ(Reg->EnumValues(k, &values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Name, u"FeedbackTone");  // first spelling kept

    RegKey again = Create(u"DRIVERS\\builtin");  // opens, does not duplicate
    std::vector<std::u16string> subKeys;
    ASSERT_EQ(Reg->EnumSubKeys(again, &subKeys), ERROR_SUCCESS);
    EXPECT_EQ(subKeys, std::vector<std::u16string>{u"ORVEXSER"});
    for (RegKey h : {k, other, again})
        EXPECT_EQ(Reg->CloseKey(h), ERROR_SUCCESS);
}

TEST_F(RegistryTest, TypesAndBytesAreStoredAsGiven) {
    RegKey k = Create(u"Types");
    const std::vector<uint8_t> binary = {0, 1, 0, 0xFF, 0};
    std::vector<uint8_t> multiSz = Sz(u"one");
    auto two = Sz(u"two");
    multiSz.insert(multiSz.end(), two.begin(), two.end());
    multiSz.push_back(0);
    multiSz.push_back(0);
    const std::vector<uint8_t> odd = {0x41};  // a string with half a character

    Set(k, u"Bin", REG_BINARY, binary);
    Set(k, u"Multi", REG_MULTI_SZ, multiSz);
    Set(k, u"Odd", REG_SZ, odd);
    Set(k, u"Empty", REG_NONE, {});
    Set(k, u"Big", 0x12345678, Dword(7));  // an unknown type is kept too
    Set(k, u"", REG_SZ, Sz(u"default"));   // the unnamed value

    struct Expect {
        const char16_t* Name;
        uint32_t Type;
        std::vector<uint8_t> Data;
    };
    for (const auto& e :
         {Expect{u"Bin", REG_BINARY, binary}, Expect{u"Multi", 7, multiSz},
          Expect{u"Odd", REG_SZ, odd}, Expect{u"Empty", REG_NONE, {}},
          Expect{u"Big", 0x12345678, Dword(7)}, Expect{u"", REG_SZ, Sz(u"default")}}) {
        std::vector<uint8_t> data;
        uint32_t type = 0;
        ASSERT_EQ(Get(k, e.Name, &data, &type), ERROR_SUCCESS);
        EXPECT_EQ(type, e.Type);
        EXPECT_EQ(data, e.Data);
    }
    // Rewriting changes type and data, not the value's place in the list.
    Set(k, u"Bin", REG_DWORD, Dword(3));
    std::vector<Registry::Value> values;
    ASSERT_EQ(Reg->EnumValues(k, &values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 6u);
    EXPECT_EQ(values[0].Name, u"Bin");
    EXPECT_EQ(values[0].Type, REG_DWORD);
    EXPECT_EQ(values[0].Data, Dword(3));
    Reg->CloseKey(k);
}

TEST_F(RegistryTest, DeleteKeyTakesSubkeysAndValuesButNotNeighbours) {
    Set(Create(u"A\\B\\C"), u"deep", REG_DWORD, Dword(1));
    Set(Create(u"A\\B"), u"mid", REG_DWORD, Dword(2));
    Set(Create(u"AB"), u"neighbour", REG_DWORD, Dword(3));  // a similar name, not a child
    RegKey stale = Create(u"A\\B\\C");

    ASSERT_EQ(Reg->DeleteKey(HKEY_LOCAL_MACHINE, u"a\\b"), ERROR_SUCCESS);
    RegKey k = 0;
    EXPECT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"A\\B\\C", 0, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"A\\B", 0, &k), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"AB", 0, &k), ERROR_SUCCESS);
    std::vector<uint8_t> data;
    EXPECT_EQ(Get(k, u"neighbour", &data), ERROR_SUCCESS);

    // A handle to a deleted key must not write into nowhere, and a key
    // created again by the same name is a different key.
    EXPECT_EQ(Reg->SetValue(stale, u"late", REG_DWORD, Dword(4).data(), 4), ERROR_KEY_DELETED);
    RegKey reborn = Create(u"A\\B\\C");
    std::vector<Registry::Value> values;
    ASSERT_EQ(Reg->EnumValues(reborn, &values), ERROR_SUCCESS);
    EXPECT_TRUE(values.empty());

    // The root always exists.
    EXPECT_NE(Reg->DeleteKey(HKEY_LOCAL_MACHINE, u""), ERROR_SUCCESS);
    EXPECT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"", 0, &k), ERROR_SUCCESS);
}

TEST_F(RegistryTest, SubkeysAreListedInNameOrderValuesInWritingOrder) {
    for (auto name : {u"zeta", u"Alpha", u"beta"})
        Reg->CloseKey(Create(std::u16string(u"L\\") + name));
    RegKey k = Create(u"L");
    std::vector<std::u16string> names;
    ASSERT_EQ(Reg->EnumSubKeys(k, &names), ERROR_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"zeta"}));
    Set(k, u"z", REG_DWORD, Dword(1));
    Set(k, u"a", REG_DWORD, Dword(2));
    std::vector<Registry::Value> values;
    ASSERT_EQ(Reg->EnumValues(k, &values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].Name, u"z");
    EXPECT_EQ(values[1].Name, u"a");
}

TEST_F(RegistryTest, ValuesSurviveReopeningAndFlush) {
    RegKey k = Create(u"Drivers\\BuiltIn\\ORVEXSER");
    Set(k, u"Port", REG_DWORD, Dword(3));
    EXPECT_EQ(Reg->FlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    Set(k, u"Model", REG_SZ, Sz(u"EL"));  // committed, not flushed
    Reopen();
    ASSERT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\ORVEXSER", 0, &k), 0u);
    std::vector<uint8_t> data;
    ASSERT_EQ(Get(k, u"Port", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Dword(3));
    ASSERT_EQ(Get(k, u"Model", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Sz(u"EL"));
}

TEST_F(RegistryTest, WriteGroupsCommitOrDiscardAsAWhole) {
    RegKey k = Create(u"G");
    Set(k, u"v", REG_DWORD, Dword(1));
    {
        RegistryWriteGroup group(*Reg);
        ASSERT_TRUE(group.IsOpen());
        Set(k, u"v", REG_DWORD, Dword(2));
        Set(k, u"w", REG_DWORD, Dword(2));
        // Not committed: discarded when the group goes away.
    }
    std::vector<uint8_t> data;
    ASSERT_EQ(Get(k, u"v", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Dword(1));
    EXPECT_EQ(Get(k, u"w", &data), ERROR_FILE_NOT_FOUND);

    // Nested: an inner discard dooms the outer group, whose commit says so.
    ASSERT_EQ(Reg->BeginWriteGroup(), ERROR_SUCCESS);
    Set(k, u"v", REG_DWORD, Dword(3));
    ASSERT_EQ(Reg->BeginWriteGroup(), ERROR_SUCCESS);
    Set(k, u"w", REG_DWORD, Dword(3));
    EXPECT_EQ(Reg->EndWriteGroup(false), ERROR_SUCCESS);
    EXPECT_NE(Reg->EndWriteGroup(true), ERROR_SUCCESS);
    ASSERT_EQ(Get(k, u"v", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Dword(1));

    // A committed group, with a flush asked for inside it, is there after
    // reopening; an end without a group is refused.
    {
        RegistryWriteGroup group(*Reg);
        Set(k, u"v", REG_DWORD, Dword(4));
        EXPECT_EQ(Reg->FlushKey(k), ERROR_SUCCESS);
        EXPECT_EQ(group.Commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(Reg->EndWriteGroup(true), ERROR_INVALID_PARAMETER);
    Reopen();
    ASSERT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"G", 0, &k), ERROR_SUCCESS);
    ASSERT_EQ(Get(k, u"v", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Dword(4));
}

TEST_F(RegistryTest, ReadStringValueReadsTextOnly) {
    RegKey k = Create(u"Platform\\Serial");
    Set(k, u"COM1", REG_SZ, Sz(u"/dev/ttyS0"));
    Set(k, u"Number", REG_DWORD, Dword(1));
    std::u16string text;
    ASSERT_TRUE(ReadStringValue(*Reg, u"platform\\serial", u"com1", &text));
    EXPECT_EQ(text, u"/dev/ttyS0");
    EXPECT_FALSE(ReadStringValue(*Reg, u"Platform\\Serial", u"Number", &text));
    EXPECT_FALSE(ReadStringValue(*Reg, u"Platform\\Serial", u"COM2", &text));
    EXPECT_FALSE(ReadStringValue(*Reg, u"Platform\\Nothing", u"COM1", &text));
}

TEST(RegistryOpen, FailsWhereNoDatabaseCanBe) {
    TempRoot root;
    { std::ofstream(root.File("file")) << "not a directory"; }
    uint32_t error = 0;
    EXPECT_EQ(OpenSqliteRegistry(root.File("file"), &error), nullptr);
    EXPECT_NE(error, ERROR_SUCCESS);

    // A file that is not a database is not silently replaced.
    { std::ofstream(root.File("registry.db")) << std::string(4096, 'x'); }
    error = 0;
    EXPECT_EQ(OpenSqliteRegistry(root.Path(), &error), nullptr);
    EXPECT_NE(error, ERROR_SUCCESS);

    // The root directory is created on first use.
    error = 99;
    EXPECT_NE(OpenSqliteRegistry(root.File("a/b"), &error), nullptr);
    EXPECT_EQ(error, ERROR_SUCCESS);
}

TEST(Utf, ConversionsHandleSurrogatesAndBadInput) {
    EXPECT_EQ(Utf8ToUtf16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), u"A\u00E9\u20AC\U0001F600");
    EXPECT_EQ(Utf16ToUtf8(u"A\u00E9\u20AC\U0001F600"), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    // Truncated, overlong and surrogate-encoding sequences become U+FFFD.
    EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80x"), u"\uFFFD\uFFFD\uFFFDx");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(Utf16ToUtf8(lone),
              "a\xEF\xBF\xBD"
              "b");
}

// Two processes write 200 values each into the same database at the same
// time; every write succeeds and all 400 values are there afterwards.
TEST(RegistryProcesses, ConcurrentWritersLoseNothing) {
    TempRoot root;
    constexpr int PerChild = 200;
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // The child opens its own connection; none is inherited.
            uint32_t error = 0;
            auto reg = OpenSqliteRegistry(root.Path(), &error);
            if (!reg)
                _exit(10);
            RegKey k = 0;
            if (reg->CreateKey(HKEY_LOCAL_MACHINE, u"Shared\\Values", &k) != 0)
                _exit(11);
            for (int i = 0; i < PerChild; ++i) {
                std::u16string name =
                    Utf8ToUtf16("c" + std::to_string(c) + "v" + std::to_string(i));
                auto data = Dword(static_cast<uint32_t>(c * 1000 + i));
                if (reg->SetValue(k, name, REG_DWORD, data.data(), 4) != 0)
                    _exit(12);
            }
            _exit(reg->FlushKey(HKEY_LOCAL_MACHINE) == 0 ? 0 : 13);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    uint32_t error = 0;
    auto reg = OpenSqliteRegistry(root.Path(), &error);
    ASSERT_NE(reg, nullptr);
    RegKey k = 0;
    ASSERT_EQ(reg->OpenKey(HKEY_LOCAL_MACHINE, u"Shared\\Values", 0, &k), ERROR_SUCCESS);
    std::vector<Registry::Value> values;
    ASSERT_EQ(reg->EnumValues(k, &values), ERROR_SUCCESS);
    EXPECT_EQ(values.size(), 2u * PerChild);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < PerChild; i += 37) {
            std::array<uint8_t, 4> data{};
            uint32_t size = 4;
            std::u16string name = Utf8ToUtf16("c" + std::to_string(c) + "v" + std::to_string(i));
            ASSERT_EQ(reg->QueryValue(k, name, nullptr, data.data(), &size), ERROR_SUCCESS);
            EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()),
                      Dword(static_cast<uint32_t>(c * 1000 + i)));
        }
}

}  // namespace
