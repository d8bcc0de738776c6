// Where the panel's absolute range lands: one axis onto a rectangle, the
// choice of rectangle among the monitors, and the registry value that names
// the monitor.
#include <gtest/gtest.h>

#include <string>

#include "platform/input-screen-layout.h"
#include "platform/registry.h"
#include "support/regdata.h"
#include "support/temp_root.h"

namespace orvex {
namespace {

TEST(MapAbsolute, TheEdgesAreTheFirstAndLastPixel) {
    for (int size : {1, 2, 640, 800, 1440, 32767}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(MapAbsolute(0, size), 0);
        EXPECT_EQ(MapAbsolute(0xFFFF, size), size - 1);
        // Beyond the range counts as its end, never past the last pixel.
        EXPECT_EQ(MapAbsolute(0x10000, size), size - 1);
        EXPECT_EQ(MapAbsolute(0xFFFFFFFF, size), size - 1);
    }
    // Rounded to the nearest pixel: 32768 * 799 / 65535 = 399.5, 400 after
    // rounding; 16384 * 639 / 65535 = 159.75.
    EXPECT_EQ(MapAbsolute(0x8000, 800), 400);
    EXPECT_EQ(MapAbsolute(0x4000, 640), 160);
    // A screen the server reports without area still gives a position.
    EXPECT_EQ(MapAbsolute(0x8000, 0), 0);
    EXPECT_EQ(MapAbsolute(0x8000, -5), 0);
}

TEST(PlacePanel, NamedMonitorOrTheWholeScreen) {
    ScreenLayout layout;
    layout.Screen = {0, 0, 1440, 600};
    layout.Monitors = {{"DUMMY0", {0, 0, 800, 600}},
                       {"LEFT", {0, 0, 640, 480}},
                       {"RIGHT", {640, 0, 800, 600}},
                       {"FLAT", {100, 100, 0, 0}}};
    EXPECT_EQ(PlacePanel(layout, "RIGHT").Rect, (ScreenRect{640, 0, 800, 600}));
    EXPECT_TRUE(PlacePanel(layout, "RIGHT").Found);
    // Names are the window system's: exact, case included.
    EXPECT_FALSE(PlacePanel(layout, "right").Found);
    EXPECT_EQ(PlacePanel(layout, "right").Rect, layout.Screen);
    EXPECT_FALSE(PlacePanel(layout, "FLAT").Found);
    // No name among several: the primary, else the first, never one without
    // area; one monitor with area is a single-monitor screen, all of it.
    EXPECT_EQ(PlacePanel(layout, "").Chosen, std::optional<std::string>("DUMMY0"));
    EXPECT_EQ(PlacePanel(layout, "").Rect, (ScreenRect{0, 0, 800, 600}));
    layout.Monitors[3].Primary = true;
    EXPECT_EQ(PlacePanel(layout, "").Chosen, std::optional<std::string>("DUMMY0"));
    layout.Monitors[2].Primary = true;
    EXPECT_EQ(PlacePanel(layout, "").Rect, (ScreenRect{640, 0, 800, 600}));
    EXPECT_TRUE(PlacePanel(layout, "").ChosenPrimary);
    EXPECT_FALSE(PlacePanel(layout, "").Found);
    // A monitor that has gone is no longer in the list.
    layout.Monitors.erase(layout.Monitors.begin() + 2);
    EXPECT_EQ(PlacePanel(layout, "RIGHT").Rect, layout.Screen);
    layout.Monitors.erase(layout.Monitors.begin() + 1);
    EXPECT_EQ(PlacePanel(layout, "").Chosen, std::nullopt);
    EXPECT_EQ(PlacePanel(layout, "").Rect, layout.Screen);
}

class MonitorNameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        ASSERT_NE(Reg, nullptr) << error;
    }
    void Set(std::u16string_view text, uint32_t type = REG_SZ) {
        RegKey k = 0;
        ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, u"Platform\\Input", &k), 0u);
        auto bytes = test::SzBytes(text);
        ASSERT_EQ(
            Reg->SetValue(k, u"Monitor", type, bytes.data(), static_cast<uint32_t>(bytes.size())),
            0u);
        Reg->CloseKey(k);
    }
    test::TempRoot Root;
    std::unique_ptr<Registry> Reg;
};

TEST_F(MonitorNameTest, ReadAsWrittenAndRefusedWhenUnusable) {
    bool unusable = true;
    EXPECT_EQ(PanelMonitorName(*Reg, &unusable), "");
    EXPECT_FALSE(unusable);
    Set(u"HDMI-1");
    EXPECT_EQ(PanelMonitorName(*Reg, &unusable), "HDMI-1");
    EXPECT_FALSE(unusable);
    Set(u"HDMI-1\r\norvex: forged line");
    EXPECT_EQ(PanelMonitorName(*Reg, &unusable), "");
    EXPECT_TRUE(unusable);
    Set(std::u16string(MaxMonitorNameLength, u'M'));
    EXPECT_EQ(PanelMonitorName(*Reg).size(), MaxMonitorNameLength);
    Set(std::u16string(100000, u'M'));
    EXPECT_EQ(PanelMonitorName(*Reg, &unusable), "");
    EXPECT_TRUE(unusable);
}

}  // namespace
}  // namespace orvex
