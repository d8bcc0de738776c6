// One registry object used from several threads at once: plain writes, reads
// and write groups interleave without errors, lost values or torn groups.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/support/temp_root.h"

using namespace orvex;
using orvex::test::TempRoot;

namespace {

std::array<uint8_t, 4> Dword(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

uint32_t ReadDword(Registry& reg, RegKey k, std::u16string_view name, uint32_t* value) {
    std::array<uint8_t, 4> data{};
    uint32_t size = 4;
    uint32_t r = reg.QueryValue(k, name, nullptr, data.data(), &size);
    *value = static_cast<uint32_t>(data[0] | (data[1] << 8) | (data[2] << 16) |
                                   (static_cast<uint32_t>(data[3]) << 24));
    return r;
}

TEST(RegistryThreads, WritersReadersAndGroupsShareOneRegistry) {
    TempRoot root;
    uint32_t error = 0;
    auto reg = OpenSqliteRegistry(root.Path(), &error);
    ASSERT_NE(reg, nullptr);
    RegKey shared = 0;
    ASSERT_EQ(reg->CreateKey(HKEY_LOCAL_MACHINE, u"Threads", &shared), 0u);
    for (int i = 0; i < 3; ++i) {
        auto d = Dword(0);
        ASSERT_EQ(reg->SetValue(shared,
                                i == 0   ? u"g0"
                                : i == 1 ? u"g1"
                                         : u"g2",
                                REG_DWORD, d.data(), 4),
                  0u);
    }

    constexpr int Writers = 3, PerWriter = 60, Groups = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w) {
        threads.emplace_back([&, w] {
            // Each writer opens its own handle as well as using the shared one.
            RegKey own = 0;
            if (reg->OpenKey(HKEY_LOCAL_MACHINE, u"threads", KEY_ALL_ACCESS, &own))
                ++failures;
            for (int i = 0; i < PerWriter; ++i) {
                std::u16string name =
                    Utf8ToUtf16("w" + std::to_string(w) + "_" + std::to_string(i));
                auto d = Dword(static_cast<uint32_t>(w * 1000 + i));
                if (reg->SetValue(i % 2 ? own : shared, name, REG_DWORD, d.data(), 4))
                    ++failures;
            }
            if (reg->CloseKey(own))
                ++failures;
        });
    }
    // A writer of groups: g0, g1 and g2 always move together.
    threads.emplace_back([&] {
        for (uint32_t g = 1; g <= Groups; ++g) {
            RegistryWriteGroup group(*reg);
            for (auto name : {u"g0", u"g1", u"g2"}) {
                auto d = Dword(g);
                if (reg->SetValue(shared, name, REG_DWORD, d.data(), 4))
                    ++failures;
            }
            if (group.Commit())
                ++failures;
        }
    });
    // A reader that looks at the three inside a group of its own, which
    // other threads cannot write into, and so must find them equal.
    std::atomic<int> torn{0};
    threads.emplace_back([&] {
        for (int i = 0; i < Groups; ++i) {
            RegistryWriteGroup group(*reg);
            uint32_t a = 0, b = 0, c = 0;
            if (ReadDword(*reg, shared, u"g0", &a) || ReadDword(*reg, shared, u"g1", &b) ||
                ReadDword(*reg, shared, u"g2", &c))
                ++failures;
            if (a != b || b != c)
                ++torn;
            std::vector<Registry::Value> values;
            if (reg->EnumValues(shared, &values))
                ++failures;
            (void)group.Commit();
        }
    });
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    std::vector<Registry::Value> values;
    ASSERT_EQ(reg->EnumValues(shared, &values), 0u);
    EXPECT_EQ(values.size(), static_cast<size_t>(3 + Writers * PerWriter));
    uint32_t last = 0;
    ASSERT_EQ(ReadDword(*reg, shared, u"g2", &last), 0u);
    EXPECT_EQ(last, static_cast<uint32_t>(Groups));
}

}  // namespace
