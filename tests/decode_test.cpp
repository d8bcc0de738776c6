// Report decoding: the checksum, both decoders, both framers, the reader
// loop's handling of what the framers find, and replays of recorded strokes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "tests/support/scripted_port.h"

namespace orvex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes TsReport(uint16_t x, uint16_t y, bool touch) {
    return {static_cast<uint8_t>(0x80 | (touch ? 0x20 : 0)), static_cast<uint8_t>(x >> 6),
            static_cast<uint8_t>(x & 0x3F), static_cast<uint8_t>(y >> 6),
            static_cast<uint8_t>(y & 0x3F)};
}

// An EL packet carrying raw 16-bit X and Y as the controller sends them.
Bytes ElPacket(uint16_t wireX, uint16_t wireY, uint8_t status) {
    Bytes p{0x55,
            0x54,
            status,
            static_cast<uint8_t>(wireX),
            static_cast<uint8_t>(wireX >> 8),
            static_cast<uint8_t>(wireY),
            static_cast<uint8_t>(wireY >> 8),
            0,
            0};
    unsigned sum = 0xAA;
    for (uint8_t b : p)
        sum += b;
    p.push_back(static_cast<uint8_t>(sum));
    return p;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<Report> PushAllTS(FramerTS& f, const Bytes& bytes) {
    std::vector<Report> out;
    for (uint8_t b : bytes) {
        if (auto r = f.Push(b))
            out.push_back(*r);
    }
    return out;
}

struct ElOutcome {
    std::vector<Report> Reports;
    int ChecksumErrors = 0;
};

ElOutcome PushAllEL(FramerEL& f, const Bytes& bytes) {
    ElOutcome out;
    for (uint8_t b : bytes) {
        Report r{};
        switch (f.Push(b, &r)) {
            case FramerEL::Result::Report:
                out.Reports.push_back(r);
                break;
            case FramerEL::Result::ChecksumError:
                ++out.ChecksumErrors;
                break;
            case FramerEL::Result::None:
                break;
        }
    }
    return out;
}

MATCHER_P3(IsReport, x, y, touch, "") {
    return arg.X == x && arg.Y == y && arg.Touch == touch;
}

// ---------------------------------------------------------------- checksum

TEST(PacketChecksum, KnownPackets) {
    const Bytes command{0x55, 0x51, 0x06, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(PacketChecksum(command), 0x56);
    const Bytes report{0x55, 0x54, 0x00, 0xFC, 0x0F, 0, 0, 0, 0};
    EXPECT_EQ(PacketChecksum(report), 0x5E);
    // The sum wraps modulo 256.
    const Bytes full(9, 0xFF);
    EXPECT_EQ(PacketChecksum(full), static_cast<uint8_t>(0xAA + 9 * 0xFF));
}

TEST(PacketChecksum, CoversNineBytesUnlessTheFirstIs0x16) {
    Bytes normal{0x55, 1, 2, 3, 4, 5, 6, 7, 8, 0x40, 0x77};
    const uint8_t before = PacketChecksum(normal);
    normal[9] = 0x41;  // the checksum slot of a 10-byte packet is not summed
    EXPECT_EQ(PacketChecksum(normal), before);

    Bytes reply{0x16, 1, 2, 3, 4, 5, 6, 7, 8, 0x40, 0x00};
    EXPECT_EQ(PacketChecksum(reply), static_cast<uint8_t>(0xAA + 0x16 + 36 + 0x40));
    reply[9] = 0x41;  // for an 11-byte reply byte 9 is data
    EXPECT_EQ(PacketChecksum(reply), static_cast<uint8_t>(0xAA + 0x16 + 36 + 0x41));
    reply[10] = 0x99;  // and byte 10 is its checksum, never summed
    EXPECT_EQ(PacketChecksum(reply), static_cast<uint8_t>(0xAA + 0x16 + 36 + 0x41));
}

TEST(PacketChecksum, ShortBufferSumsOnlyWhatIsThere) {
    const Bytes reply{0x16, 0x01};
    EXPECT_EQ(PacketChecksum(reply), static_cast<uint8_t>(0xAA + 0x17));
    EXPECT_EQ(PacketChecksum(std::span<const uint8_t>()), 0xAA);
}

// ---------------------------------------------------------------- decoders

TEST(DecodeReportTS, KnownReports) {
    const uint8_t a[5] = {0x80, 0x05, 0x10, 0x0A, 0x20};
    EXPECT_THAT(DecodeReportTS(a), IsReport(336, 672, 0));
    const uint8_t b[5] = {0xA0, 0x0F, 0x3F, 0x0F, 0x3F};
    EXPECT_THAT(DecodeReportTS(b), IsReport(1023, 1023, 8));
}

TEST(DecodeReportTS, PartsAreOredNotAddedAndOnlyBit5IsTouch) {
    // Low part 0x7F overlaps bit 6 of the high part 1: 0x40 | 0x7F, not 0xBF.
    const uint8_t overlap[5] = {0x80, 0x01, 0x7F, 0x7F, 0x7F};
    EXPECT_THAT(DecodeReportTS(overlap), IsReport(0x7F, 0x1FFF, 0));
    // Every bit of byte 0 except bit 5 is ignored.
    const uint8_t noisy[5] = {0xDF, 0, 1, 0, 2};
    EXPECT_EQ(DecodeReportTS(noisy).Touch, 0);
    const uint8_t bare[5] = {0x20, 0, 1, 0, 2};
    EXPECT_EQ(DecodeReportTS(bare).Touch, 8);
}

TEST(DecodePacketEL, KnownPacketAndTouchBit) {
    const Bytes p{0x55, 0x54, 0x00, 0xFC, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x5E};
    EXPECT_THAT(DecodePacketEL(std::span<const uint8_t, 10>(p.data(), 10)),
                IsReport(1023, 1023, 8));
    const Bytes off = ElPacket(0x0800, 0x0800, 0x04);
    EXPECT_EQ(DecodePacketEL(std::span<const uint8_t, 10>(off.data(), 10)).Touch, 0);
    // Status bits other than bit 2 do not matter.
    const Bytes other = ElPacket(0x0800, 0x0800, 0xFB);
    EXPECT_EQ(DecodePacketEL(std::span<const uint8_t, 10>(other.data(), 10)).Touch, 8);
}

TEST(DecodePacketEL, YRunsTheOtherWayAndGoesNegativeAbove4095) {
    auto y = [](uint16_t wireY) {
        const Bytes p = ElPacket(0, wireY, 0);
        return DecodePacketEL(std::span<const uint8_t, 10>(p.data(), 10)).Y;
    };
    EXPECT_EQ(y(0), 1023);
    EXPECT_EQ(y(0x0FFC), 0);
    EXPECT_EQ(y(0x0FFF), 0);       // the two low bits are dropped
    EXPECT_EQ(y(0x1000), 0xFFFF);  // 1023 - 1024 = -1, low 16 bits
    EXPECT_EQ(y(0xFFFF), static_cast<uint16_t>(1023 - 16383));
}

TEST(DecodePacketEL, NegativeYIsLimitedByPointProcessing) {
    test::ReaderRig rig;
    const Bytes p = ElPacket(0x0400, 0x2000, 0);
    Report r = DecodePacketEL(std::span<const uint8_t, 10>(p.data(), 10));
    ProcessPoint(*rig.D, r.X, r.Y, r.Touch);
    EXPECT_EQ(rig.D->State.LastRawX.Load(), 256);
    EXPECT_EQ(rig.D->State.LastRawY.Load(), 1023);
}

// ---------------------------------------------------------------- TS framer

TEST(FramerTS, ResynchronisesOnStartByteAfterNoise) {
    FramerTS f;
    const Bytes stream =
        Join({{0x01, 0x7F, 0x00}, TsReport(336, 672, false), {0x22}, TsReport(10, 20, true)});
    EXPECT_THAT(PushAllTS(f, stream),
                testing::ElementsAre(IsReport(336, 672, 0), IsReport(10, 20, 8)));
}

TEST(FramerTS, StartBitInsideAReportAbandonsItAndIsNotANewStart) {
    FramerTS f;
    // 0x90 at position 2: the report is gone and 0x90 does not start one, so
    // the following 0x05 0x10 0x0A 0x20 are ignored too.
    EXPECT_TRUE(PushAllTS(f, {0x80, 0x01, 0x90, 0x05, 0x10, 0x0A, 0x20}).empty());
    EXPECT_EQ(f.Position(), 0);
    // Same at position 4: the framer only resets.
    EXPECT_TRUE(PushAllTS(f, {0xA0, 0x01, 0x02, 0x03, 0xA0, 0x04, 0x05, 0x06, 0x07}).empty());
    // Positions 1 and 3 as well.
    EXPECT_TRUE(PushAllTS(f, {0xA0, 0x81, 0x01, 0x02, 0x03, 0x04}).empty());
    EXPECT_TRUE(PushAllTS(f, {0xA0, 0x01, 0x02, 0xFF, 0x03, 0x04}).empty());
    // And the next clean report is decoded.
    EXPECT_THAT(PushAllTS(f, TsReport(1, 2, true)), testing::ElementsAre(IsReport(1, 2, 8)));
}

TEST(FramerTS, ReportSplitAcrossPushesIsDecodedOnItsLastByte) {
    FramerTS f;
    const Bytes r = TsReport(700, 300, true);
    EXPECT_TRUE(PushAllTS(f, Bytes(r.begin(), r.begin() + 3)).empty());
    EXPECT_EQ(f.Position(), 3);
    EXPECT_THAT(PushAllTS(f, Bytes(r.begin() + 3, r.end())),
                testing::ElementsAre(IsReport(700, 300, 8)));
    f.Push(0x80);
    f.Reset();
    EXPECT_EQ(f.Position(), 0);
}

// ---------------------------------------------------------------- EL framer

TEST(FramerEL, DecodesGoodPacketsAndRejectsBadChecksums) {
    FramerEL f;
    Bytes bad = ElPacket(0x0400, 0x0400, 0);
    bad[9] ^= 0x01;
    Report untouched{0xABCD, 0xABCD, 0x55};
    Report r = untouched;
    FramerEL::Result last = FramerEL::Result::None;
    for (uint8_t b : bad)
        last = f.Push(b, &r);
    EXPECT_EQ(last, FramerEL::Result::ChecksumError);
    EXPECT_THAT(r, IsReport(0xABCD, 0xABCD, 0x55));  // nothing handed out

    ElOutcome after = PushAllEL(f, ElPacket(0x0FFC, 0, 0x04));
    EXPECT_EQ(after.ChecksumErrors, 0);
    EXPECT_THAT(after.Reports, testing::ElementsAre(IsReport(1023, 1023, 0)));
}

TEST(FramerEL, SecondSyncByteIsNotReexamined) {
    FramerEL f;
    // 55 55 54 ...: the second 0x55 sends the framer back to 0 and is itself
    // dropped, so this packet is lost; the one after it is not.
    const Bytes stream = Join({{0x55}, ElPacket(0x0104, 0x0100, 0), ElPacket(0x0200, 0, 0)});
    ElOutcome out = PushAllEL(f, stream);
    EXPECT_EQ(out.ChecksumErrors, 0);
    EXPECT_THAT(out.Reports, testing::ElementsAre(IsReport(0x80, 1023, 8)));
}

TEST(FramerEL, SyncBytesInsideThePayloadDoNotRestartIt) {
    FramerEL f;
    // "55 54" inside the packet is just data (status 0x55 has bit 2 set:
    // not touching).
    ElOutcome out = PushAllEL(f, ElPacket(0x5455, 0x5455, 0x55));
    EXPECT_THAT(out.Reports, testing::ElementsAre(
                                 IsReport(0x5455 >> 2, static_cast<uint16_t>(1023 - 0x1515), 0)));
}

TEST(FramerEL, PacketSplitAcrossPushesKeepsItsPosition) {
    FramerEL f;
    const Bytes p = ElPacket(0x0800, 0x0400, 0);
    EXPECT_TRUE(PushAllEL(f, Bytes(p.begin(), p.begin() + 4)).Reports.empty());
    EXPECT_EQ(f.Position(), 4);
    EXPECT_THAT(PushAllEL(f, Bytes(p.begin() + 4, p.end())).Reports,
                testing::ElementsAre(IsReport(0x200, 1023 - 0x100, 8)));
}

// ---------------------------------------------------------------- the reader loop

constexpr char ChecksumLine[] = "ORVEXSER: ReadThread_EL : Checksum error!\r\n";

TEST(ReaderLoop, ChecksumErrorPrintsOneLineAndTheNextPacketIsProcessed) {
    test::ReaderRig rig;
    rig.D->State.Protocol = ReportProtocol::EL;
    Bytes bad = ElPacket(0x0800, 0x0800, 0);
    bad[9] = static_cast<uint8_t>(bad[9] + 1);
    rig.Port->Arrive(bad);
    rig.Port->Arrive(ElPacket(0x0400, 0x0FFC, 0));  // raw (256, 0)
    rig.StopWhenDry();

    EXPECT_EQ(ReadThread_EL(*rig.D), 1u);
    EXPECT_EQ(rig.Debug.Lines(), std::vector<std::string>{ChecksumLine});
    // Raw (256, 0) maps to (16384, 0) and presses the left button.
    EXPECT_EQ(test::FormatCalls(rig.Pointer.Calls()),
              std::vector<std::string>{"mouse_event(0x8003, 16384, 0, 0, 0)"});
    EXPECT_EQ(rig.D->State.SampleCount.Load(), 1);
}

TEST(ReaderLoop, ReadsOneReportWorthAtATimeAndSignalsStop) {
    for (ReportProtocol protocol : {ReportProtocol::TS, ReportProtocol::EL}) {
        const bool el = protocol == ReportProtocol::EL;
        test::ReaderRig rig;
        rig.D->State.Protocol = protocol;
        rig.Port->Arrive(el ? ElPacket(4, 4, 0) : TsReport(1, 1, true));
        rig.StopWhenDry();
        (el ? ReadThread_EL : ReadThread_TS)(*rig.D);
        ASSERT_FALSE(rig.Port->ReadSizes().empty());
        for (uint32_t n : rig.Port->ReadSizes())
            EXPECT_EQ(n, el ? 10u : 5u);
        EXPECT_EQ(rig.D->State.SampleCount.Load(), 1);
        EXPECT_TRUE(rig.D->StopEvent->Wait(0)) << "StopEvent not set";
    }
}

TEST(ReaderLoop, AlreadyStoppedTouchesNothing) {
    test::ReaderRig rig;
    rig.D->State.StopRequested = 1;
    rig.Port->Arrive(TsReport(1, 1, true));
    EXPECT_EQ(ReadThread_TS(*rig.D), 1u);
    EXPECT_EQ(rig.Port->WaitCalls(), 0u);
    EXPECT_EQ(rig.Port->ReadCalls(), 0u);
    EXPECT_TRUE(rig.D->StopEvent->Wait(0));
}

// ---------------------------------------------------------------- recordings

std::string DataPath(const std::string& name) {
    const char* root = std::getenv("ORVEX_SOURCE_DIR");
    return std::string(root ? root : ".") + "/tests/data/" + name;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

// Replays a recording through the reader thread in bursts of 7 bytes, so
// that reports straddle reads, and returns the injected calls.
std::vector<std::string> Replay(test::ReaderRig& rig, const Bytes& stream,
                                ReportProtocol protocol) {
    rig.D->State.Protocol = protocol;
    for (size_t i = 0; i < stream.size(); i += 7) {
        const size_t end = std::min(stream.size(), i + 7);
        rig.Port->Arrive(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(i),
                               stream.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    rig.StopWhenDry();
    (protocol == ReportProtocol::EL ? ReadThread_EL : ReadThread_TS)(*rig.D);
    return test::FormatCalls(rig.Pointer.Calls());
}

class Recording : public testing::TestWithParam<const char*> {};

TEST_P(Recording, MatchesExpectedCalls) {
    const std::string name = GetParam();
    const Bytes stream = ReadFileBytes(DataPath(name + ".bin"));
    ASSERT_FALSE(stream.empty()) << "missing " << DataPath(name + ".bin");
    test::ReaderRig rig;
    const auto actual =
        Replay(rig, stream, name.rfind("el-", 0) == 0 ? ReportProtocol::EL : ReportProtocol::TS);
    const auto expected = ReadLines(DataPath(name + ".expected"));
    ASSERT_FALSE(expected.empty()) << "missing " << DataPath(name + ".expected");
    EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(Strokes, Recording, testing::Values("ts-stroke", "el-stroke"));

// A few lines of the recordings worked out by hand, so a wrong .expected
// file cannot pass unnoticed.
TEST(Recording, TsStrokeHandChecked) {
    test::ReaderRig rig;
    const auto calls = Replay(rig, ReadFileBytes(DataPath("ts-stroke.bin")), ReportProtocol::TS);
    ASSERT_GE(calls.size(), 3u);
    // Touch-down at raw (300, 700): X = 300 * 32768 / 512 = 19200;
    // Y = (700 - 511) * 32768 / 512 + 32768 = 44864.
    EXPECT_EQ(calls.front(), "mouse_event(0x8003, 19200, 44864, 0, 0)");
    // Second sample (312, 691): X = 19968, Y = 32768 + 180 * 64 = 44288.
    EXPECT_EQ(calls[1], "mouse_event(0x8001, 19968, 44288, 0, 0)");
    // Lift-off at the last sample (456, 583): left up, no move.
    EXPECT_EQ(calls.back(), "mouse_event(0x8004, 29184, 37376, 0, 0)");
    // 14 touching samples (one repeated, one abandoned report among them)
    // give 14 events, plus the lift-off; the idle reports after it none.
    EXPECT_EQ(calls.size(), 15u);
    EXPECT_TRUE(rig.Debug.Lines().empty());
}

TEST(Recording, ElStrokeHandChecked) {
    test::ReaderRig rig;
    const auto calls = Replay(rig, ReadFileBytes(DataPath("el-stroke.bin")), ReportProtocol::EL);
    ASSERT_GE(calls.size(), 3u);
    // Touch-down at raw (820, 150): X = 32768 + 309 * 64 = 52544; Y = 9600.
    EXPECT_EQ(calls.front(), "mouse_event(0x8003, 52544, 9600, 0, 0)");
    // 12 packets, one lost to "55 55 54", plus the lift-off.
    EXPECT_EQ(calls.size(), 12u);
    // Lift-off at (655, 370): X = 32768 + 144 * 64 = 41984, Y = 23680.
    EXPECT_EQ(calls.back(), "mouse_event(0x8004, 41984, 23680, 0, 0)");
    EXPECT_EQ(rig.Debug.Lines(), std::vector<std::string>{ChecksumLine});
}

}  // namespace
}  // namespace orvex
