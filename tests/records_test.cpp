// The records' byte layouts: what crosses the device boundary.
#include <gtest/gtest.h>

#include <array>

#include "common/orvex.h"

using namespace orvex;

TEST(Records, TouchSettingsDefaultsAndUntouchedBytes) {
    std::array<uint8_t, TouchSettings::Size> buf;
    buf.fill(0xAB);
    TouchSettings{}.Encode(buf);
    // 0x28..0x2D: click mode 4, sound 1, tone 2000, duration 1.
    const uint8_t feedback[] = {0x04, 0x01, 0xD0, 0x07, 0x01, 0x00};
    for (size_t i = 0; i < sizeof feedback; ++i)
        EXPECT_EQ(buf[0x28 + i], feedback[i]) << i;
    for (size_t n = 0; n <= 8; ++n) {
        EXPECT_EQ(buf[0x04 + 4 * n], 0);
        EXPECT_EQ(buf[0x05 + 4 * n], 0);
        EXPECT_EQ(buf[0x06 + 4 * n], 0xFF);
        EXPECT_EQ(buf[0x07 + 4 * n], 0xAB) << "caller's byte must survive";
    }
    EXPECT_EQ(buf[0x02], 0xFF);
    for (size_t i = 0x36; i <= 0x39; ++i)
        EXPECT_EQ(buf[i], 0xAB);
    EXPECT_EQ(GetU16(buf, 0x3C), 511);
    EXPECT_EQ(GetU16(buf, 0x48), 640);
    EXPECT_EQ(GetU16(buf, 0x4A), 480);
    const uint8_t fixed[] = {0, 1, 10, 10, 1, 0, 0};
    for (size_t i = 0; i < sizeof fixed; ++i)
        EXPECT_EQ(buf[0x2E + i], fixed[i]);
    for (size_t i = 0x4C; i < TouchSettings::Size; ++i)
        EXPECT_EQ(buf[i], 0);
}

TEST(Records, RoundTrips) {
    std::array<uint8_t, TouchSettings::Size> buf{};
    TouchSettings s;
    s.FeedbackTone = 0x1234;
    s.CalibrationY3 = 0x0301;
    s.PanelDirection = 7;
    s.Protocol = WireValue(ReportProtocol::EL);
    s.Encode(buf);
    auto d = TouchSettings::Decode(buf);
    EXPECT_EQ(d.FeedbackTone, 0x1234);
    EXPECT_EQ(buf[0x44], 0x01);
    EXPECT_EQ(buf[0x45], 0x03);
    EXPECT_EQ(d.PanelDirection, 7);
    EXPECT_EQ(d.Protocol, WireValue(ReportProtocol::EL));

    std::array<uint8_t, RightClickRequest::Size> rc{};
    RightClickRequest{0x00001234, 1}.Encode(rc);
    EXPECT_EQ(rc, (std::array<uint8_t, 6>{0x34, 0x12, 0, 0, 1, 0}));

    std::array<uint8_t, RawPoint::Size> raw{};
    RawPoint{1023, 5, 8, 0xFFFF}.Encode(raw);
    EXPECT_EQ(raw, (std::array<uint8_t, 8>{0xFF, 0x03, 5, 0, 8, 0, 0xFF, 0xFF}));
    std::array<uint8_t, PointerState::Size> ptr{};
    PointerState{}.Encode(ptr);
    EXPECT_EQ(ptr, (std::array<uint8_t, 6>{0xFF, 0xFF, 0xFF, 0xFF, 0, 1}));
}
