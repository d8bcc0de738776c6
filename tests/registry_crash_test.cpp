// A calibration save cut short by a crash: a child process saves calibrations
// in a loop and is killed with SIGKILL at random moments. Afterwards the
// database must open and read, and the six stored points must all come from
// the same save.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "common/orvex.h"
#include "driver/driver.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/temp_root.h"

using namespace orvex;
using orvex::test::TempRoot;
using orvex::test::TestDriver;

namespace {

constexpr const char16_t* Points[6] = {u"CalibrationX1", u"CalibrationX2", u"CalibrationX3",
                                       u"CalibrationY1", u"CalibrationY2", u"CalibrationY3"};

// Saves generation after generation: point i of generation g is g + i, so a
// mixture of two saves shows as points that are not consecutive. Never
// returns; the parent kills it.
[[noreturn]] void SaveForever(const std::string& root, uint16_t start, int ready) {
    uint32_t error = 0;
    auto reg = OpenSqliteRegistry(root, &error);
    if (!reg)
        _exit(10);
    TestDriver t;
    t.Sys.Reg = reg.get();
    char go = 1;
    if (write(ready, &go, 1) != 1)
        _exit(11);
    for (uint16_t g = start;; g = static_cast<uint16_t>(g + 7)) {
        DriverState& s = t.D.State;
        s.CalibrationX1 = g;
        s.CalibrationX2 = static_cast<uint16_t>(g + 1);
        s.CalibrationX3 = static_cast<uint16_t>(g + 2);
        s.CalibrationY1 = static_cast<uint16_t>(g + 3);
        s.CalibrationY2 = static_cast<uint16_t>(g + 4);
        s.CalibrationY3 = static_cast<uint16_t>(g + 5);
        SaveCalibration(t.D, DriverKeyPath);
        t.Debug.Clear();  // the lines would only pile up
    }
}

// The six stored points, after checking that the database opens and reads.
std::array<uint32_t, 6> ReadPoints(const std::string& root) {
    std::array<uint32_t, 6> out{};
    uint32_t error = 0;
    auto reg = OpenSqliteRegistry(root, &error);
    EXPECT_NE(reg, nullptr) << "error " << error;
    if (!reg)
        return out;
    RegKey k = 0;
    EXPECT_EQ(reg->OpenKey(HKEY_LOCAL_MACHINE, DriverKeyPath, KEY_ALL_ACCESS, &k), 0u);
    std::vector<Registry::Value> values;
    EXPECT_EQ(reg->EnumValues(k, &values), 0u);
    for (size_t i = 0; i < 6; ++i) {
        std::array<uint8_t, 4> data{};
        uint32_t size = 4;
        EXPECT_EQ(reg->QueryValue(k, Points[i], nullptr, data.data(), &size), 0u);
        EXPECT_EQ(size, 4u);
        out[i] = GetU32(data, 0);
    }
    reg->CloseKey(k);
    return out;
}

TEST(RegistryCrash, KilledSaveLeavesAllOldOrAllNewPoints) {
    TempRoot root;
    {
        // Generation 0 is there before the first child runs.
        uint32_t error = 0;
        auto reg = OpenSqliteRegistry(root.Path(), &error);
        ASSERT_NE(reg, nullptr);
        RegKey k = 0;
        ASSERT_EQ(reg->CreateKey(HKEY_LOCAL_MACHINE, DriverKeyPath, &k), 0u);
        reg->CloseKey(k);
        TestDriver t;
        t.Sys.Reg = reg.get();
        t.D.State.CalibrationX1 = 0;
        t.D.State.CalibrationX2 = 1;
        t.D.State.CalibrationX3 = 2;
        t.D.State.CalibrationY1 = 3;
        t.D.State.CalibrationY2 = 4;
        t.D.State.CalibrationY3 = 5;
        SaveCalibration(t.D, DriverKeyPath);
        ASSERT_TRUE(t.Debug.Lines().empty());
    }  // closed before forking: no child inherits a connection

    std::mt19937 random(12345);
    std::set<uint32_t> generationsSeen;
    constexpr int Kills = 40;
    for (int round = 0; round < Kills; ++round) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(pipeFds[0]);
            SaveForever(root.Path(), static_cast<uint16_t>(round * 1000), pipeFds[1]);
        }
        close(pipeFds[1]);
        char go = 0;
        ASSERT_EQ(read(pipeFds[0], &go, 1), 1) << "child did not start";
        close(pipeFds[0]);
        // A real process is being killed, so this is real time: anywhere
        // within the first few dozen saves.
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(200, 30000)(random)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself with " << status;

        auto p = ReadPoints(root.Path());
        for (uint32_t i = 1; i < 6; ++i)
            ASSERT_EQ(p[i], (p[0] + i) & 0xFFFF)
                << "round " << round << ": points from different saves: " << p[0] << " " << p[1]
                << " " << p[2] << " " << p[3] << " " << p[4] << " " << p[5];
        generationsSeen.insert(p[0]);
    }
    // The children did get to save; otherwise the test proved nothing.
    EXPECT_GT(generationsSeen.size(), static_cast<size_t>(Kills / 2));
}

}  // namespace
