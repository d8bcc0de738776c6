// The real timer service: steady_clock time, real sleeps, and one worker
// thread per service that runs the one-shot timers' functions.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/timer.h"

namespace orvex {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t NowUs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count());
}

struct TimerCore {
    std::function<void()> Function;
    bool Pending = false;
    bool Running = false;
    bool Dead = false;
    Clock::time_point Due;
    uint64_t Order = 0;
};

// Shared by the service and its timers: a timer that outlives its service
// must still be safe to set, cancel and destroy (it then never fires).
struct Worker {
    std::mutex Lock;
    std::condition_variable Wake;      // the worker: a timer was set or we stop
    std::condition_variable Finished;  // waiters: a callback has returned
    std::vector<std::shared_ptr<TimerCore>> Timers;
    uint64_t NextOrder = 0;
    bool Stopping = false;
    std::thread::id WorkerId;

    void WaitIdle(std::unique_lock<std::mutex>& g, const TimerCore& c) {
        // A callback that cancels or destroys its own timer runs on the
        // worker; waiting there would wait for itself.
        if (std::this_thread::get_id() == WorkerId)
            return;
        Finished.wait(g, [&] { return !c.Running; });
    }

    void Run() {
        std::unique_lock g(Lock);
        while (!Stopping) {
            std::shared_ptr<TimerCore> next;
            for (auto& c : Timers) {
                if (!c->Pending)
                    continue;
                if (!next || c->Due < next->Due || (c->Due == next->Due && c->Order < next->Order))
                    next = c;
            }
            if (!next) {
                Wake.wait(g);
                continue;
            }
            if (Clock::now() < next->Due) {
                Wake.wait_until(g, next->Due);
                continue;  // something may have changed: choose again
            }
            next->Pending = false;
            next->Running = true;
            g.unlock();
            next->Function();
            g.lock();
            next->Running = false;
            Finished.notify_all();
        }
    }
};

class RealTimer final : public OneShotTimer {
  public:
    RealTimer(std::shared_ptr<Worker> w, std::shared_ptr<TimerCore> c)
        : W_(std::move(w)), C_(std::move(c)) {}

    ~RealTimer() override {
        std::unique_lock g(W_->Lock);
        C_->Pending = false;
        C_->Dead = true;
        W_->WaitIdle(g, *C_);
        std::erase(W_->Timers, C_);
    }

    void Set(uint32_t milliseconds) override {
        std::lock_guard g(W_->Lock);
        if (C_->Dead || W_->Stopping)
            return;
        C_->Pending = true;
        C_->Due = Clock::now() + std::chrono::milliseconds(milliseconds);
        C_->Order = W_->NextOrder++;
        W_->Wake.notify_all();
    }

    bool Cancel() override {
        std::unique_lock g(W_->Lock);
        bool was = C_->Pending;
        C_->Pending = false;
        W_->WaitIdle(g, *C_);
        return was;
    }

    bool Pending() const override {
        std::lock_guard g(W_->Lock);
        return C_->Pending;
    }

  private:
    std::shared_ptr<Worker> W_;
    std::shared_ptr<TimerCore> C_;
};

class RealTimerService final : public TimerService {
  public:
    RealTimerService() : W_(std::make_shared<Worker>()) {
        Thread_ = std::thread([w = W_] { w->Run(); });
        std::lock_guard g(W_->Lock);
        W_->WorkerId = Thread_.get_id();
    }

    ~RealTimerService() override {
        {
            std::lock_guard g(W_->Lock);
            W_->Stopping = true;
            for (auto& c : W_->Timers)
                c->Pending = false;
        }
        W_->Wake.notify_all();
        Thread_.join();
    }

    RealTimerService(const RealTimerService&) = delete;
    RealTimerService& operator=(const RealTimerService&) = delete;

    void SleepMicroseconds(uint32_t microseconds) override {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }

    std::unique_ptr<OneShotTimer> CreateTimer(std::function<void()> function) override {
        auto core = std::make_shared<TimerCore>();
        core->Function = std::move(function);
        std::lock_guard g(W_->Lock);
        W_->Timers.push_back(core);
        return std::make_unique<RealTimer>(W_, std::move(core));
    }

    // Linux has no services to wait for once a host process runs.
    bool IsServiceReady(uint32_t /*service*/) override { return true; }

    uint64_t NowMicroseconds() override { return NowUs(); }

  private:
    std::shared_ptr<Worker> W_;
    std::thread Thread_;
};

}  // namespace

std::unique_ptr<TimerService> CreateRealTimerService() {
    return std::make_unique<RealTimerService>();
}

}  // namespace orvex
