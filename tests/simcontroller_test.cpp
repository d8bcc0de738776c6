// The simulated controller model and its touch scripts: the bytes it puts on
// the wire must be what the driver's framers and detection expect, and it
// must stay silent where a real controller would.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "driver/driver.h"
#include "tools/orvexsim/controller.h"
#include "tools/orvexsim/script.h"

namespace orvex {
namespace {

using Bytes = std::vector<uint8_t>;

// A model whose output is collected, one entry per write to the host.
struct Rig {
    explicit Rig(SimConfig c = {})
        : Model(c,
                [this](std::span<const uint8_t> b) { Writes.emplace_back(b.begin(), b.end()); }) {}
    Bytes All() const {
        Bytes all;
        for (const auto& w : Writes)
            all.insert(all.end(), w.begin(), w.end());
        return all;
    }
    std::vector<Bytes> Writes;
    SimController Model;
};

SimConfig El(uint32_t rate) {
    SimConfig c;
    c.Protocol = ReportProtocol::EL;
    c.Rate = rate;
    return c;
}

const Bytes FirstProbe = {0x55, 0x51, 0x06, 0, 0, 0, 0, 0, 0, 0x56};
const Bytes SecondProbe = {0x55, 0x54, 0x4B, 0x34, 0x38, 0x31, 0x37, 0x4D, 0x00, 0xBF};
const Bytes ThirdProbe = {0x55, 0x54, 0x4B, 0x34, 0x38, 0x31, 0x37, 0x4D, 0xFF, 0xBE};

bool IsAck(const Bytes& b) {
    return b.size() == 10 && b[0] == 0x55 && b[1] == 0x41 && b[9] == PacketChecksum(b);
}

// ---- wire encodings, checked against the driver's own decoding

TEST(SimEncoding, MatchesKnownReports) {
    const auto ts = EncodeReportTS(336, 672, false);
    EXPECT_EQ(Bytes(ts.begin(), ts.end()), (Bytes{0x80, 0x05, 0x10, 0x0A, 0x20}));
    const auto tsMax = EncodeReportTS(1023, 1023, true);
    EXPECT_EQ(Bytes(tsMax.begin(), tsMax.end()), (Bytes{0xA0, 0x0F, 0x3F, 0x0F, 0x3F}));
    // The driver sees Y = 1023 - (wire Y >> 2), so y = 1023 travels as 0.
    const auto el = EncodePacketEL(1023, 1023, true);
    EXPECT_EQ(Bytes(el.begin(), el.end()), (Bytes{0x55, 0x54, 0x00, 0xFC, 0x0F, 0, 0, 0, 0, 0x5E}));
    EXPECT_EQ(EncodePacketEL(0, 0, false)[2], 0x04);
}

TEST(SimEncoding, OutOfRangeCoordinatesAreLimited) {
    EXPECT_EQ(EncodeReportTS(5000, 0xFFFF, true), EncodeReportTS(1023, 1023, true));
    EXPECT_EQ(EncodePacketEL(1024, 60000, false), EncodePacketEL(1023, 1023, false));
}

TEST(SimEncoding, EveryPointSurvivesTheDriversFramers) {
    FramerTS ts;
    FramerEL el;
    for (uint16_t x = 0; x <= 1023; x += 31) {
        for (uint16_t y = 0; y <= 1023; y += 29) {
            for (bool touching : {true, false}) {
                const uint8_t touch = touching ? 8 : 0;
                std::optional<Report> got;
                for (uint8_t b : EncodeReportTS(x, y, touching))
                    got = ts.Push(b);
                ASSERT_TRUE(got.has_value()) << x << "," << y;
                EXPECT_EQ(got->X, x);
                EXPECT_EQ(got->Y, y);
                EXPECT_EQ(got->Touch, touch);

                Report r{};
                FramerEL::Result res = FramerEL::Result::None;
                for (uint8_t b : EncodePacketEL(x, y, touching))
                    res = el.Push(b, &r);
                ASSERT_EQ(res, FramerEL::Result::Report) << x << "," << y;
                EXPECT_EQ(r.X, x);
                EXPECT_EQ(r.Y, y);
                EXPECT_EQ(r.Touch, touch);
            }
        }
    }
}

TEST(SimEncoding, ChecksumAgreesWithTheDrivers) {
    EXPECT_EQ(SimChecksum(Bytes{0x55, 0x51, 0x06, 0, 0, 0, 0, 0, 0}), 0x56);
    uint32_t seed = 12345;
    for (int i = 0; i < 200; ++i) {
        Bytes p(11);
        for (auto& b : p) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
        }
        if (i % 3 == 0)
            p[0] = 0x16;  // the 11-byte reply form covers one more byte
        EXPECT_EQ(SimChecksum(p), PacketChecksum(p)) << i;
    }
    const auto ack = EncodeAckEL(0x51);
    EXPECT_TRUE(IsAck(Bytes(ack.begin(), ack.end())));
}

// ---- line behaviour: rate, RTS rise, signature, noise

TEST(SimLines, TsAnnouncesOnlyOnRtsRiseAtItsRate) {
    Rig r;  // TS at 9600
    r.Model.OnLineState(38400, false, true);
    r.Model.OnLineState(38400, true, true);
    EXPECT_TRUE(r.Writes.empty()) << "heard at the wrong rate";
    // The host switches rate with RTS still on: no rise, no signature.
    r.Model.OnLineState(9600, true, true);
    EXPECT_TRUE(r.Writes.empty());
    r.Model.OnLineState(9600, false, true);
    r.Model.OnLineState(9600, true, true);
    ASSERT_EQ(r.Writes.size(), 1u);
    EXPECT_EQ(r.Writes[0], (Bytes{'[', 'T', 'S', ']'}));
    // Polling the same state again announces nothing more.
    r.Model.OnLineState(9600, true, true);
    r.Model.OnLineState(9600, true, false);
    EXPECT_EQ(r.Writes.size(), 1u);
    EXPECT_EQ(r.Model.Count().Signatures, 1u);
}

TEST(SimLines, ModelLettersAndRateAreConfigurable) {
    SimConfig c;
    c.Rate = 1200;
    c.Model = {'A', 'B'};
    Rig r(c);
    r.Model.OnLineState(1200, true, true);  // first sight of RTS on counts as a rise
    EXPECT_EQ(r.All(), (Bytes{0x5B, 0x41, 0x42, 0x5D}));
}

TEST(SimLines, GarbleSendsNoiseOnlyAtOtherRates) {
    SimConfig c;
    c.Garble = true;
    Rig r(c);
    for (uint32_t rate : {38400u, 4800u}) {
        r.Writes.clear();
        r.Model.OnLineState(rate, false, true);
        r.Model.OnLineState(rate, true, true);
        const Bytes noise = r.All();
        EXPECT_FALSE(noise.empty()) << rate;
        for (uint8_t b : noise) {
            EXPECT_NE(b, '[') << rate;
            EXPECT_NE(b, 0x55) << rate;
        }
    }
    r.Writes.clear();
    r.Model.OnLineState(9600, false, true);
    r.Model.OnLineState(9600, true, true);
    EXPECT_EQ(r.All(), (Bytes{'[', 'T', 'S', ']'}));
    EXPECT_EQ(r.Model.Count().Garbles, 2u);
}

TEST(SimLines, ReportsOnlyWhileSpeaking) {
    Rig r;
    r.Model.OnLineState(19200, true, true);
    EXPECT_FALSE(r.Model.Touch(10, 20));
    EXPECT_FALSE(r.Model.Lift(10, 20));
    EXPECT_TRUE(r.Writes.empty());
    EXPECT_EQ(r.Model.Count().DroppedReports, 2u);
    r.Model.OnLineState(9600, true, true);
    r.Writes.clear();
    EXPECT_TRUE(r.Model.Touch(10, 20));
    EXPECT_TRUE(r.Model.Lift(10, 20));
    ASSERT_EQ(r.Writes.size(), 2u);
    const auto t = EncodeReportTS(10, 20, true), l = EncodeReportTS(10, 20, false);
    EXPECT_EQ(r.Writes[0], Bytes(t.begin(), t.end()));
    EXPECT_EQ(r.Writes[1], Bytes(l.begin(), l.end()));
}

TEST(SimLines, EngagedFollowsTheHandshakeAndTheLine) {
    Rig ts;
    ts.Model.OnLineState(9600, false, true);
    EXPECT_FALSE(ts.Model.Engaged());
    ts.Model.OnLineState(9600, true, true);
    EXPECT_TRUE(ts.Model.Engaged());
    const uint32_t g = ts.Model.Generation();
    ts.Model.OnLineState(9600, true, true);
    EXPECT_EQ(ts.Model.Generation(), g) << "an unchanged line is not a change";
    ts.Model.OnLineState(19200, true, true);  // detection moved on
    EXPECT_FALSE(ts.Model.Engaged());
    ts.Model.OnLineState(9600, true, true);  // back, but without a new signature
    EXPECT_FALSE(ts.Model.Engaged());

    Rig el(El(4800));
    el.Model.OnLineState(4800, true, true);
    EXPECT_FALSE(el.Model.Engaged());
    const uint32_t before = el.Model.Generation();
    el.Model.OnBytesFromHost(FirstProbe);
    EXPECT_TRUE(el.Model.Engaged());
    EXPECT_NE(el.Model.Generation(), before) << "a command is host activity";
    el.Model.Reset();
    EXPECT_FALSE(el.Model.Engaged());
    EXPECT_EQ(el.Model.LineRate(), 0u);
}

// ---- EL commands

TEST(SimCommands, AcknowledgesEachProbeCommandAndNamesItselfBeforeTheLast) {
    Rig r(El(4800));
    r.Model.OnLineState(4800, true, true);
    for (const Bytes& cmd : {FirstProbe, SecondProbe, ThirdProbe}) {
        r.Writes.clear();
        r.Model.OnBytesFromHost(cmd);
        const size_t writes = cmd == SecondProbe ? 2 : 1;
        ASSERT_EQ(r.Writes.size(), writes);
        EXPECT_TRUE(IsAck(r.Writes.back()));
        EXPECT_EQ(r.Writes.back()[2], cmd[1]);
        if (writes == 2) {
            // The packet that ends where the acknowledgement begins.
            EXPECT_EQ(Bytes(r.Writes[0].begin() + 1, r.Writes[0].begin() + 6),
                      (Bytes{0x74, 0x6B, 0x48, 0x17, 0x6D}));
            EXPECT_EQ(r.Writes[0][9], SimChecksum(r.Writes[0]));
        }
    }
    EXPECT_EQ(r.Model.Count().Acks, 3u);
}

TEST(SimCommands, CommandSplitAcrossWritesIsAcknowledgedOnce) {
    Rig r(El(2400));
    r.Model.OnLineState(2400, true, true);
    r.Model.OnBytesFromHost(std::span(FirstProbe).first(3));
    EXPECT_TRUE(r.Writes.empty());
    r.Model.OnBytesFromHost(std::span(FirstProbe).subspan(3));
    ASSERT_EQ(r.Writes.size(), 1u);
    EXPECT_TRUE(IsAck(r.Writes[0]));
}

TEST(SimCommands, BadChecksumIsNotAcknowledgedAndFramingRecovers) {
    Rig r(El(9600));
    r.Model.OnLineState(9600, true, true);
    Bytes bad = FirstProbe;
    bad[9] ^= 0x01;
    r.Model.OnBytesFromHost(bad);
    EXPECT_TRUE(r.Writes.empty());
    EXPECT_EQ(r.Model.Count().BadCommands, 1u);

    // Noise, then a stray start byte, then a good command: the stray 0x55
    // must not swallow the real start.
    Bytes stream = {0x01, 0x55, 0x02};
    stream.insert(stream.end(), FirstProbe.begin(), FirstProbe.end());
    r.Model.OnBytesFromHost(stream);
    ASSERT_EQ(r.Writes.size(), 1u);
    EXPECT_TRUE(IsAck(r.Writes[0]));
}

TEST(SimCommands, IgnoredAtOtherRatesAndByTs) {
    Rig el(El(4800));
    el.Model.OnLineState(9600, true, true);
    el.Model.OnBytesFromHost(FirstProbe);
    EXPECT_TRUE(el.Writes.empty());
    // Half a command at our rate, then the rate changes: the half is lost.
    el.Model.OnLineState(4800, true, true);
    el.Model.OnBytesFromHost(std::span(FirstProbe).first(5));
    el.Model.OnLineState(2400, true, true);
    el.Model.OnLineState(4800, true, true);
    el.Model.OnBytesFromHost(std::span(FirstProbe).subspan(5));
    EXPECT_TRUE(el.Writes.empty());
    // An EL controller does not announce itself.
    el.Model.OnLineState(4800, false, true);
    el.Model.OnLineState(4800, true, true);
    EXPECT_TRUE(el.Writes.empty());

    Rig ts;
    ts.Model.OnLineState(9600, true, true);
    ts.Writes.clear();
    ts.Model.OnBytesFromHost(FirstProbe);
    EXPECT_TRUE(ts.Writes.empty());
}

// ---- scripts

TEST(SimScript, ParsesStepsCommentsAndRepeat) {
    ScriptError e;
    auto s = ParseScript("# a tap\r\ntouch 1 2\n\n  wait 10 \nlift 3 4\nlift\nrepeat\n", &e);
    ASSERT_TRUE(s.has_value()) << e.Line << ": " << e.Message;
    ASSERT_EQ(s->Steps.size(), 4u);
    EXPECT_EQ(s->Steps[0].What, ScriptStep::Kind::Touch);
    EXPECT_EQ(s->Steps[0].X, 1);
    EXPECT_EQ(s->Steps[0].Y, 2);
    EXPECT_EQ(s->Steps[1].Milliseconds, 10u);
    EXPECT_TRUE(s->Steps[2].HasPoint);
    EXPECT_FALSE(s->Steps[3].HasPoint);
    EXPECT_TRUE(s->Repeat);
}

TEST(SimScript, RejectsBadLinesWithTheirNumber) {
    struct Case {
        const char* Text;
        size_t Line;
    } cases[] = {
        {"touch 1 2\ntouch 1024 0\n", 2},    // beyond 10 bits
        {"touch -1 0\n", 1},                 // negative
        {"touch 1 2x\n", 1},                 // trailing junk
        {"touch 1\n", 1},                    // missing Y
        {"lift 5\n", 1},                     // half a point
        {"tap 1 2\n", 1},                    // unknown step
        {"wait\n", 1},                       // no time
        {"wait 99999999999\n", 1},           // overflows
        {"touch 1 2\nrepeat\nwait 5\n", 3},  // repeat must be last
        {"touch 1 2\nrepeat\n", 2},          // a loop without time
    };
    for (const auto& c : cases) {
        ScriptError e;
        EXPECT_FALSE(ParseScript(c.Text, &e).has_value()) << c.Text;
        EXPECT_EQ(e.Line, c.Line) << c.Text;
        EXPECT_FALSE(e.Message.empty());
    }
}

TEST(SimScript, PlayerKeepsTimeAndLiftsWhereTheTouchWas) {
    Rig r;
    r.Model.OnLineState(9600, true, true);
    r.Writes.clear();
    ScriptPlayer p(*ParseScript("touch 100 200\nwait 10\nlift\n", nullptr));
    EXPECT_FALSE(p.Run(0, r.Model).has_value()) << "not started";
    EXPECT_TRUE(r.Writes.empty());
    p.Start(1000);
    EXPECT_EQ(p.Run(1000, r.Model), std::optional<uint64_t>(1010));
    ASSERT_EQ(r.Writes.size(), 1u);
    EXPECT_EQ(p.Run(1009, r.Model), std::optional<uint64_t>(1010));
    EXPECT_EQ(r.Writes.size(), 1u);
    EXPECT_FALSE(p.Run(1010, r.Model).has_value());
    EXPECT_TRUE(p.Finished());
    ASSERT_EQ(r.Writes.size(), 2u);
    const auto lift = EncodeReportTS(100, 200, false);
    EXPECT_EQ(r.Writes[1], Bytes(lift.begin(), lift.end()));
}

TEST(SimScript, RepeatingPlayerLoopsWithoutFloodingAfterAStall) {
    Rig r;
    r.Model.OnLineState(9600, true, true);
    r.Writes.clear();
    ScriptPlayer p(*ParseScript("touch 1 1\nwait 10\nrepeat\n", nullptr));
    p.Start(0);
    for (uint64_t t = 0; t < 100; ++t)
        p.Run(t, r.Model);
    EXPECT_EQ(r.Writes.size(), 10u);
    // A 10 s stall must not release a thousand reports at once.
    r.Writes.clear();
    p.Run(10'100, r.Model);
    EXPECT_LE(r.Writes.size(), 11u);
    EXPECT_FALSE(p.Finished());
}

TEST(SimScript, DemoTouchesAtAboutAHundredReportsASecond) {
    Rig r;
    r.Model.OnLineState(9600, true, true);
    r.Writes.clear();
    ScriptPlayer p(DemoScript());
    p.Start(0);
    // The circle comes first: one simulated second is all touching.
    for (uint64_t t = 0; t <= 1000; ++t)
        p.Run(t, r.Model);
    EXPECT_GE(r.Writes.size(), 95u);
    EXPECT_LE(r.Writes.size(), 102u);
    FramerTS f;
    uint16_t minX = 1023, maxX = 0;
    for (const auto& w : r.Writes) {
        std::optional<Report> rep;
        for (uint8_t b : w)
            rep = f.Push(b);
        ASSERT_TRUE(rep.has_value());
        EXPECT_EQ(rep->Touch, 8);
        minX = std::min(minX, rep->X);
        maxX = std::max(maxX, rep->X);
    }
    EXPECT_GT(maxX - minX, 400) << "a circle, not a point";
    // One loop is the circle, a lift, a tap of eight reports and a lift,
    // about 2.6 s; over 20 s it keeps coming round.
    r.Writes.clear();
    for (uint64_t t = 1001; t <= 21'000; ++t)
        p.Run(t, r.Model);
    EXPECT_FALSE(p.Finished());
    size_t lifts = 0;
    for (const auto& w : r.Writes) {
        std::optional<Report> rep;
        for (uint8_t b : w)
            rep = f.Push(b);
        ASSERT_TRUE(rep.has_value());
        if (rep->Touch == 0)
            ++lifts;
    }
    EXPECT_GE(lifts, 14u);
    EXPECT_LE(lifts, 16u);
}

}  // namespace
}  // namespace orvex
