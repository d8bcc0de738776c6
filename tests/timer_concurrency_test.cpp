// The timer services: the controllable clock of the tests and the real one,
// held to the same one-shot semantics.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/testing/timer-manual.h"
#include "platform/timer.h"

using namespace orvex;
using namespace std::chrono_literals;

namespace {

TEST(ManualTimers, FireInTimeOrderOnTheAdvancingThread) {
    ManualTimerService clock(5);
    std::vector<std::pair<char, uint64_t>> fired;
    const auto self = std::this_thread::get_id();
    bool sameThread = true;
    auto record = [&](char name) {
        return [&, name] {
            fired.emplace_back(name, clock.NowMicroseconds());
            sameThread = sameThread && std::this_thread::get_id() == self;
        };
    };
    auto a = clock.CreateTimer(record('a'));
    auto b = clock.CreateTimer(record('b'));
    auto c = clock.CreateTimer(record('c'));
    a->Set(30);
    b->Set(10);
    c->Set(30);  // same moment as a, set later: fires after it
    EXPECT_EQ(clock.PendingTimers(), 3u);
    clock.Advance(20);
    EXPECT_EQ(fired, (std::vector<std::pair<char, uint64_t>>{{'b', 10005}}));
    clock.Advance(100);
    EXPECT_EQ(fired,
              (std::vector<std::pair<char, uint64_t>>{{'b', 10005}, {'a', 30005}, {'c', 30005}}));
    EXPECT_EQ(clock.NowMicroseconds(), 120005u);
    EXPECT_TRUE(sameThread);
    EXPECT_EQ(clock.PendingTimers(), 0u);
}

TEST(ManualTimers, SetRestartsAndCancelReportsPending) {
    ManualTimerService clock;
    int fired = 0;
    auto t = clock.CreateTimer([&] { ++fired; });
    t->Set(100);
    clock.Advance(60);
    t->Set(100);  // restarts: now due at 160 ms
    clock.Advance(60);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(t->Pending());
    clock.Advance(40);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(t->Pending());
    EXPECT_FALSE(t->Cancel());
    t->Set(10);
    EXPECT_TRUE(t->Cancel());
    clock.Advance(100);
    EXPECT_EQ(fired, 1);
}

TEST(ManualTimers, CallbackMayReArmCancelOrDestroyItself) {
    ManualTimerService clock;
    int count = 0;
    std::unique_ptr<OneShotTimer> t;
    t = clock.CreateTimer([&] {
        if (++count < 3) {
            t->Set(10);
        } else {
            EXPECT_FALSE(t->Cancel());
            t.reset();  // destroying itself from within must not wait for itself
        }
    });
    t->Set(10);
    clock.Advance(100);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(t, nullptr);
}

TEST(ManualTimers, SleepsAdvanceTheClockAndAreLogged) {
    ManualTimerService clock;
    clock.SleepMicroseconds(10000);
    clock.SleepMicroseconds(0);
    EXPECT_EQ(clock.NowMicroseconds(), 10000u);
    EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{10000, 0}));
    clock.SetServiceReady(81, false);
    EXPECT_TRUE(clock.IsServiceReady(85));
    EXPECT_FALSE(clock.IsServiceReady(81));
    clock.SetDefaultReady(false);
    EXPECT_FALSE(clock.IsServiceReady(85));
    EXPECT_EQ(clock.ReadinessQueries(), (std::vector<uint32_t>{85, 81, 85}));
}

TEST(ManualTimers, TimerOutlivingItsServiceIsInert) {
    std::unique_ptr<OneShotTimer> t;
    {
        ManualTimerService clock;
        t = clock.CreateTimer([] {});
        t->Set(10);
    }
    EXPECT_TRUE(t->Cancel());
    t.reset();
}

// ---- real time (generous limits: the machine may be busy)

TEST(RealTimers, FiresOnceAfterItsDelay) {
    auto svc = CreateRealTimerService();
    std::atomic<int> fired{0};
    std::atomic<uint64_t> at{0};
    auto t = svc->CreateTimer([&] {
        at = svc->NowMicroseconds();
        fired.fetch_add(1);
    });
    const uint64_t start = svc->NowMicroseconds();
    t->Set(50);
    EXPECT_TRUE(t->Pending());
    for (int i = 0; i < 3000 && fired.load() == 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(fired.load(), 1);
    EXPECT_GE(at.load() - start, 50000u);
    EXPECT_FALSE(t->Pending());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(fired.load(), 1);
}

TEST(RealTimers, CancelledTimerNeverFires) {
    auto svc = CreateRealTimerService();
    std::atomic<int> fired{0};
    auto t = svc->CreateTimer([&] { fired.fetch_add(1); });
    t->Set(100);
    EXPECT_TRUE(t->Cancel());
    EXPECT_FALSE(t->Cancel());
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(fired.load(), 0);
}

TEST(RealTimers, DestructionWaitsForARunningCallback) {
    auto svc = CreateRealTimerService();
    std::atomic<bool> entered{false}, finished{false};
    auto t = svc->CreateTimer([&] {
        entered = true;
        std::this_thread::sleep_for(200ms);
        finished = true;
    });
    t->Set(0);
    for (int i = 0; i < 3000 && !entered.load(); ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(entered.load());
    t.reset();
    EXPECT_TRUE(finished.load());
}

TEST(RealTimers, CallbackMayReArmAndCancelItself) {
    auto svc = CreateRealTimerService();
    std::atomic<int> count{0};
    std::unique_ptr<OneShotTimer> t;
    std::atomic<bool> armed{false};
    t = svc->CreateTimer([&] {
        while (!armed.load())
            std::this_thread::yield();
        if (count.fetch_add(1) + 1 < 3) {
            t->Set(5);
        } else {
            t->Cancel();
        }
    });
    t->Set(5);
    armed = true;
    for (int i = 0; i < 3000 && count.load() < 3; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(count.load(), 3);
    EXPECT_FALSE(t->Pending());
    t.reset();
}

TEST(RealTimers, SleepAndReadiness) {
    auto svc = CreateRealTimerService();
    const uint64_t start = svc->NowMicroseconds();
    svc->SleepMicroseconds(20000);
    EXPECT_GE(svc->NowMicroseconds() - start, 20000u);
    EXPECT_TRUE(svc->IsServiceReady(85));
    EXPECT_TRUE(svc->IsServiceReady(80));
    EXPECT_TRUE(svc->IsServiceReady(81));
}

}  // namespace
