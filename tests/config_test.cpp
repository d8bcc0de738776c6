// The driver's registry configuration on a real registry in a temporary
// root: values, fallbacks, messages, and the saves.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/orvex.h"
#include "driver/driver.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/failing_registry.h"
#include "tests/support/regdata.h"
#include "tests/support/temp_root.h"

using namespace orvex;
using orvex::test::FailingRegistry;
using orvex::test::TempRoot;
using orvex::test::TestDriver;
using Lines = std::vector<std::string>;

namespace {

const std::string OpenFailed =
    "ORVEXSER: Failed to open HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER\r\n";

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        ASSERT_NE(Reg, nullptr);
        Failing = std::make_unique<FailingRegistry>(*Reg);
        T.Sys.Reg = Failing.get();
    }

    void CreateDriverKey() {
        RegKey k = 0;
        ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, DriverKeyPath, &k), 0u);
        Reg->CloseKey(k);
    }

    void SetBytes(std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data) {
        RegKey k = 0;
        ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, DriverKeyPath, &k), 0u);
        ASSERT_EQ(Reg->SetValue(k, name, type, data.data(), static_cast<uint32_t>(data.size())),
                  0u);
        Reg->CloseKey(k);
    }
    void SetDword(std::u16string_view name, uint32_t v) {
        ASSERT_EQ(orvex::test::SetDword(*Reg, DriverKeyPath, name, v), 0u);
    }
    void SetString(std::u16string_view name, std::u16string_view text) {
        SetBytes(name, REG_SZ, orvex::test::SzBytes(text));
    }
    std::optional<Registry::Value> Stored(std::u16string_view name) {
        RegKey k = 0;
        if (Reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, 0, &k))
            return std::nullopt;
        std::vector<Registry::Value> values;
        Reg->EnumValues(k, &values);
        Reg->CloseKey(k);
        for (auto& v : values)
            if (v.Name == name)
                return v;
        return std::nullopt;
    }
    std::optional<uint32_t> StoredDword(std::u16string_view name) {
        return orvex::test::GetDword(*Reg, DriverKeyPath, name);
    }
    void SetCalibration(uint32_t x1, uint32_t x2, uint32_t x3, uint32_t y1, uint32_t y2,
                        uint32_t y3) {
        SetDword(u"CalibrationX1", x1);
        SetDword(u"CalibrationX2", x2);
        SetDword(u"CalibrationX3", x3);
        SetDword(u"CalibrationY1", y1);
        SetDword(u"CalibrationY2", y2);
        SetDword(u"CalibrationY3", y3);
    }
    std::array<uint16_t, 6> Points() {
        const DriverState& s = T.D.State;
        return {s.CalibrationX1, s.CalibrationX2, s.CalibrationX3,
                s.CalibrationY1, s.CalibrationY2, s.CalibrationY3};
    }
    std::string Signature() {
        std::string s;
        for (auto& b : T.D.State.Model)
            s.push_back(static_cast<char>(b.load()));
        return s;
    }
    // The debug lines since the last call.
    Lines Take() {
        Lines l = T.Debug.Lines();
        T.Debug.Clear();
        return l;
    }

    TempRoot Root;
    std::unique_ptr<Registry> Reg;
    std::unique_ptr<FailingRegistry> Failing;
    TestDriver T;
};

TEST_F(ConfigTest, WithoutTheKeyEveryOperationStopsAndChangesNothing) {
    DriverState& s = T.D.State;
    s.PanelDirection = 3;
    s.FeedbackTone = 1234;
    for (auto op : {LoadPortSettings, LoadCalibration, LoadPanelDirection, LoadFeedback,
                    SaveCalibration, SavePanelDirection}) {
        op(T.D, DriverKeyPath);
        EXPECT_EQ(Take(), Lines{OpenFailed});
    }
    EXPECT_EQ(Points(), (std::array<uint16_t, 6>{0, 511, 1023, 0, 511, 1023}));
    EXPECT_EQ(s.SpanX2, 512);  // no RecomputeSpans either
    EXPECT_EQ(s.PanelDirection, 3u);
    EXPECT_EQ(s.FeedbackTone, 1234u);
    EXPECT_EQ(s.Port, 1u);
    RegKey k = 0;  // the saves did not create the key
    EXPECT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, 0, &k), ERROR_FILE_NOT_FOUND);

    // No registry at all is the same as a key that cannot be opened.
    T.Sys.Reg = nullptr;
    LoadFeedback(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), Lines{OpenFailed});
}

TEST_F(ConfigTest, PortSettingsFromAnEmptyKeyKeepDefaultsAndWriteTheVersion) {
    CreateDriverKey();
    T.D.State.Port = 4;
    LoadPortSettings(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), (Lines{
                          "ORVEXSER: Failed to read PORT from "
                          "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER\r\n",
                          "ORVEXSER: Failed to read MODEL from "
                          "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER\r\n",
                      }));  // and none for RunRightButton
    EXPECT_EQ(T.D.State.Port, 4u);
    EXPECT_EQ(Signature(), "[TS]");
    EXPECT_EQ(T.D.State.RunRightButton, 0u);
    auto version = Stored(u"Version");
    ASSERT_TRUE(version);
    EXPECT_EQ(version->Type, REG_SZ);
    EXPECT_EQ(version->Data,
              (std::vector<uint8_t>{'6', 0, '.', 0, '0', 0, '.', 0, '1', 0, '.', 0, '1', 0, 0, 0}));
    EXPECT_EQ(Failing->OpenKeys(), 0);
}

TEST_F(ConfigTest, PortSettingsAreRead) {
    SetDword(u"Port", 3);
    SetString(u"Model", u"AB");
    SetDword(u"RunRightButton", 1);
    LoadPortSettings(T.D, DriverKeyPath);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(T.D.State.Port, 3u);
    EXPECT_EQ(Signature(), "[AB]");
    EXPECT_EQ(T.D.State.RunRightButton, 1u);
}

TEST_F(ConfigTest, ModelLengthDecidesWhatReachesTheSignature) {
    const std::string modelFailed =
        "ORVEXSER: Failed to read MODEL from HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER\r\n";
    SetDword(u"Port", 1);
    struct Case {
        std::u16string Model;
        const char* Signature;
        bool Read;
    };
    const Case cases[] = {
        {std::u16string(127, u'Z'), "[TS]", false},         // 256 bytes: more than the 255 offered
        {u"XY" + std::u16string(124, u'Q'), "[XY]", true},  // 254 bytes fit
        {u"Q", "[QS]", true},  // one letter: the second keeps its default
        {u"", "[TS]", true},   // empty: both keep theirs
    };
    for (const auto& c : cases) {
        for (size_t i = 1; i <= 2; ++i)
            T.D.State.Model[i] = "TS"[i - 1];
        SetString(u"Model", c.Model);
        LoadPortSettings(T.D, DriverKeyPath);
        EXPECT_EQ(Signature(), c.Signature) << c.Model.size();
        EXPECT_EQ(Take(), c.Read ? Lines{} : Lines{modelFailed}) << c.Model.size();
    }
}

TEST_F(ConfigTest, AnEmptyKeyPathReadsNothing) {
    SetDword(u"Port", 3);
    LoadPortSettings(T.D, u"");
    EXPECT_EQ(Take(), Lines{"ORVEXSER: Doesn't have registry, using default COM1\r\n"});
    EXPECT_EQ(T.D.State.Port, 1u);
    EXPECT_FALSE(Stored(u"Version"));
}

TEST_F(ConfigTest, CalibrationMissingEntirelyFallsBack) {
    CreateDriverKey();
    LoadCalibration(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), (Lines{"ORVEXSER: Failed to RegGetCalibrationX1\r\n",
                             "ORVEXSER: Calibration(X,Y)=(0,0)/(512,512)/(1023,1023)\r\n"}));
    EXPECT_EQ(Points(), (std::array<uint16_t, 6>{0, 512, 1023, 0, 512, 1023}));
    const DriverState& s = T.D.State;
    EXPECT_EQ(s.SpanX1, 513);
    EXPECT_EQ(s.SpanX2, 512);
    EXPECT_EQ(s.SpanY1, 513);
    EXPECT_EQ(s.SpanY2, 512);
}

TEST_F(ConfigTest, CalibrationIsAllOrNothing) {
    SetCalibration(10, 500, 1000, 20, 400, 900);
    RegKey k = 0;
    ASSERT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, 0, &k), 0u);
    ASSERT_EQ(Reg->DeleteValue(k, u"CalibrationY3"), 0u);
    Reg->CloseKey(k);
    LoadCalibration(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), (Lines{"ORVEXSER: Failed to RegGetCalibrationY3\r\n",
                             "ORVEXSER: Calibration(X,Y)=(0,0)/(512,512)/(1023,1023)\r\n"}));
    EXPECT_EQ(Points(), (std::array<uint16_t, 6>{0, 512, 1023, 0, 512, 1023}));
    EXPECT_EQ(Failing->OpenKeys(), 0);
}

TEST_F(ConfigTest, CalibrationUsesTheLow16Bits) {
    SetCalibration(10, 500, 0x10200, 20, 400, 0xFFFF0384);
    LoadCalibration(T.D, DriverKeyPath);
    EXPECT_EQ(Points(), (std::array<uint16_t, 6>{10, 500, 512, 20, 400, 900}));
    EXPECT_EQ(Take(), Lines{"ORVEXSER: Calibration(X,Y)=(10,20)/(500,400)/(512,900)\r\n"});
    EXPECT_EQ(T.D.State.SpanX1, 491);
    EXPECT_EQ(T.D.State.SpanX2, 13);
}

TEST_F(ConfigTest, ZeroSpanFallsBackButDirectionStillComesFromTheRegistry) {
    SetCalibration(100, 99, 900, 0, 511, 1023);
    SetDword(u"PanelDirection", 6);
    T.D.State.PanelDirection = 1;
    LoadCalibration(T.D, DriverKeyPath);
    EXPECT_EQ(Points(), (std::array<uint16_t, 6>{0, 511, 1023, 0, 511, 1023}));
    EXPECT_EQ(T.D.State.PanelDirection, 0u);
    EXPECT_EQ(Take(), Lines{"ORVEXSER: Calibration(X,Y)=(0,0)/(511,511)/(1023,1023)\r\n"});
    LoadPanelDirection(T.D, DriverKeyPath);
    EXPECT_EQ(T.D.State.PanelDirection, 6u);
}

TEST_F(ConfigTest, PanelDirectionLoad) {
    SetDword(u"PanelDirection", 0x10005);
    LoadPanelDirection(T.D, DriverKeyPath);
    EXPECT_EQ(T.D.State.PanelDirection, 5u);
    EXPECT_TRUE(Take().empty());

    // A value too big for the 4-byte buffer counts as missing.
    SetBytes(u"PanelDirection", REG_BINARY, {1, 2, 3, 4, 5});
    LoadPanelDirection(T.D, DriverKeyPath);
    EXPECT_EQ(T.D.State.PanelDirection, 0u);
    EXPECT_EQ(Take(), Lines{"ORVEXSER: Failed to RegGetPanelDirection\r\n"});
}

TEST_F(ConfigTest, FeedbackValuesFallBackOneByOne) {
    SetDword(u"FeedbackSound", 3);
    SetDword(u"FeedbackTone", 0);  // used as it is: no range check
    LoadFeedback(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), Lines{"ORVEXSER: Failed to RegGetFeedbackDuration\r\n"});
    EXPECT_EQ(T.D.State.FeedbackSound, 3u);
    EXPECT_EQ(T.D.State.FeedbackTone, 0u);
    EXPECT_EQ(T.D.State.FeedbackDuration, 1u);

    Failing->FailQuery = {u"FeedbackSound", u"FeedbackTone"};
    SetDword(u"FeedbackDuration", 50);
    LoadFeedback(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), (Lines{"ORVEXSER: Failed to RegGetFeedbackSound\r\n",
                             "ORVEXSER: Failed to RegGetFeedbackTone\r\n"}));
    EXPECT_EQ(T.D.State.FeedbackSound, 1u);
    EXPECT_EQ(T.D.State.FeedbackTone, 2000u);
    EXPECT_EQ(T.D.State.FeedbackDuration, 50u);
}

TEST_F(ConfigTest, AnOverlongFeedbackDurationIsHeldAtHalfASecond) {
    SetDword(u"FeedbackDuration", 0x0CCCCCCC);  // ×10 ×1000 wraps to 71 minutes
    LoadFeedback(T.D, DriverKeyPath);
    EXPECT_EQ(T.D.State.FeedbackDuration, 50u);
    SetDword(u"FeedbackDuration", 5);  // the dialog's range is kept as it is
    LoadFeedback(T.D, DriverKeyPath);
    EXPECT_EQ(T.D.State.FeedbackDuration, 5u);
}

TEST_F(ConfigTest, SavesWriteTheStateAsNumbers) {
    CreateDriverKey();
    T.Calibrate(10, 500, 1000, 20, 400, 900);
    T.D.State.PanelDirection = 0x10007;  // the whole 32 bits are saved
    SaveCalibration(T.D, DriverKeyPath);
    SavePanelDirection(T.D, DriverKeyPath);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(StoredDword(u"CalibrationX1"), 10u);
    EXPECT_EQ(StoredDword(u"CalibrationX2"), 500u);
    EXPECT_EQ(StoredDword(u"CalibrationX3"), 1000u);
    EXPECT_EQ(StoredDword(u"CalibrationY1"), 20u);
    EXPECT_EQ(StoredDword(u"CalibrationY2"), 400u);
    EXPECT_EQ(StoredDword(u"CalibrationY3"), 900u);
    EXPECT_EQ(StoredDword(u"PanelDirection"), 0x10007u);
    EXPECT_EQ(Failing->GroupsCommitted(), 1);
    EXPECT_EQ(Failing->OpenKeys(), 0);

    // What was saved loads back.
    TestDriver fresh;
    fresh.Sys.Reg = Reg.get();
    LoadCalibration(fresh.D, DriverKeyPath);
    EXPECT_EQ(fresh.D.State.CalibrationX3, 1000);
    EXPECT_EQ(fresh.D.State.CalibrationY2, 400);
}

TEST_F(ConfigTest, AFailedWriteNamesItsPointAndTheRestAreWritten) {
    SetCalibration(1, 2, 3, 4, 5, 6);
    T.Calibrate(10, 500, 1000, 20, 400, 900);
    Failing->FailSet = {u"CalibrationX2", u"CalibrationY3"};
    SaveCalibration(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), (Lines{"ORVEXSER: Failed to RegSetCalibrationX2\r\n",
                             "ORVEXSER: Failed to RegSetCalibrationY3\r\n"}));
    EXPECT_EQ(StoredDword(u"CalibrationX1"), 10u);
    EXPECT_EQ(StoredDword(u"CalibrationX2"), 2u);
    EXPECT_EQ(StoredDword(u"CalibrationX3"), 1000u);
    EXPECT_EQ(StoredDword(u"CalibrationY1"), 20u);
    EXPECT_EQ(StoredDword(u"CalibrationY2"), 400u);
    EXPECT_EQ(StoredDword(u"CalibrationY3"), 6u);

    Failing->FailSet = {u"PanelDirection"};
    SavePanelDirection(T.D, DriverKeyPath);
    EXPECT_EQ(Take(), Lines{"ORVEXSER: Failed to PanelDirection\r\n"});

    Failing->FailSet = {u"Version"};
    LoadPortSettings(T.D, DriverKeyPath);
    EXPECT_EQ(Take().at(2),
              "ORVEXSER: Failed to save VERSION to "
              "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER\r\n");
}

TEST_F(ConfigTest, ALostCommitReportsEveryPoint) {
    SetCalibration(1, 2, 3, 4, 5, 6);
    T.Calibrate(10, 500, 1000, 20, 400, 900);
    Failing->FailCommit = ERROR_GEN_FAILURE;
    SaveCalibration(T.D, DriverKeyPath);
    Lines expected;
    for (const char* n : {"X1", "X2", "X3", "Y1", "Y2", "Y3"})
        expected.push_back(std::string("ORVEXSER: Failed to RegSetCalibration") + n + "\r\n");
    EXPECT_EQ(Take(), expected);
    EXPECT_EQ(StoredDword(u"CalibrationX1"), 1u);  // nothing of the group stayed
    EXPECT_EQ(StoredDword(u"CalibrationY3"), 6u);
}

}  // namespace
