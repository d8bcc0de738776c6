#include "platform/testing/timer-manual.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

namespace orvex {

namespace {

struct TimerCore {
    std::function<void()> Function;
    bool Pending = false;
    bool Running = false;
    bool Dead = false;
    uint64_t Due = 0;
    uint64_t Order = 0;
    std::thread::id RunningOn;
};

}  // namespace

// State shared by the service and its timers, so a timer that outlives the
// service stays safe to use and destroy.
struct ManualTimerService::Internals {
    std::mutex Lock;
    std::condition_variable Finished;  // a callback has returned
    uint64_t Now = 0;
    uint64_t NextOrder = 0;
    std::vector<std::shared_ptr<TimerCore>> Timers;

    // Waits for the core's callback if it runs on another thread; a callback
    // that cancels or destroys its own timer must not wait for itself.
    void WaitIdle(std::unique_lock<std::mutex>& g, const TimerCore& c) {
        Finished.wait(g, [&] { return !c.Running || c.RunningOn == std::this_thread::get_id(); });
    }
};

namespace {

class ManualTimer final : public OneShotTimer {
  public:
    ManualTimer(std::shared_ptr<ManualTimerService::Internals> s, std::shared_ptr<TimerCore> c)
        : S_(std::move(s)), C_(std::move(c)) {}

    ~ManualTimer() override {
        std::unique_lock g(S_->Lock);
        C_->Pending = false;
        C_->Dead = true;
        S_->WaitIdle(g, *C_);
        std::erase(S_->Timers, C_);
    }

    void Set(uint32_t milliseconds) override {
        std::lock_guard g(S_->Lock);
        if (C_->Dead)
            return;
        C_->Pending = true;
        C_->Due = S_->Now + uint64_t{milliseconds} * 1000;
        C_->Order = S_->NextOrder++;
    }

    bool Cancel() override {
        std::unique_lock g(S_->Lock);
        bool was = C_->Pending;
        C_->Pending = false;
        S_->WaitIdle(g, *C_);
        return was;
    }

    bool Pending() const override {
        std::lock_guard g(S_->Lock);
        return C_->Pending;
    }

  private:
    std::shared_ptr<ManualTimerService::Internals> S_;
    std::shared_ptr<TimerCore> C_;
};

}  // namespace

ManualTimerService::ManualTimerService(uint64_t startMicroseconds)
    : S_(std::make_shared<Internals>()) {
    S_->Now = startMicroseconds;
}

ManualTimerService::~ManualTimerService() = default;

void ManualTimerService::SleepMicroseconds(uint32_t microseconds) {
    {
        std::lock_guard g(Lock_);
        Sleeps_.push_back(microseconds);
    }
    std::lock_guard g(S_->Lock);
    S_->Now += microseconds;
}

std::unique_ptr<OneShotTimer> ManualTimerService::CreateTimer(std::function<void()> function) {
    auto core = std::make_shared<TimerCore>();
    core->Function = std::move(function);
    std::lock_guard g(S_->Lock);
    S_->Timers.push_back(core);
    return std::make_unique<ManualTimer>(S_, std::move(core));
}

bool ManualTimerService::IsServiceReady(uint32_t service) {
    std::lock_guard g(Lock_);
    Queries_.push_back(service);
    auto it = Ready_.find(service);
    return it == Ready_.end() ? DefaultReady_ : it->second;
}

uint64_t ManualTimerService::NowMicroseconds() {
    std::lock_guard g(S_->Lock);
    return S_->Now;
}

void ManualTimerService::Advance(uint64_t milliseconds) {
    AdvanceMicroseconds(milliseconds * 1000);
}

void ManualTimerService::AdvanceMicroseconds(uint64_t microseconds) {
    std::unique_lock g(S_->Lock);
    const uint64_t target = S_->Now + microseconds;
    for (;;) {
        std::shared_ptr<TimerCore> next;
        for (auto& c : S_->Timers) {
            if (!c->Pending || c->Due > target)
                continue;
            if (!next || c->Due < next->Due || (c->Due == next->Due && c->Order < next->Order))
                next = c;
        }
        if (!next)
            break;
        S_->Now = std::max(S_->Now, next->Due);
        next->Pending = false;
        next->Running = true;
        next->RunningOn = std::this_thread::get_id();
        g.unlock();
        next->Function();
        g.lock();
        next->Running = false;
        S_->Finished.notify_all();
    }
    S_->Now = std::max(S_->Now, target);
}

void ManualTimerService::SetServiceReady(uint32_t service, bool ready) {
    std::lock_guard g(Lock_);
    Ready_[service] = ready;
}

void ManualTimerService::SetDefaultReady(bool ready) {
    std::lock_guard g(Lock_);
    DefaultReady_ = ready;
}

std::vector<uint32_t> ManualTimerService::ReadinessQueries() const {
    std::lock_guard g(Lock_);
    return Queries_;
}

void ManualTimerService::ClearReadinessQueries() {
    std::lock_guard g(Lock_);
    Queries_.clear();
}

std::vector<uint32_t> ManualTimerService::Sleeps() const {
    std::lock_guard g(Lock_);
    return Sleeps_;
}

void ManualTimerService::ClearSleeps() {
    std::lock_guard g(Lock_);
    Sleeps_.clear();
}

size_t ManualTimerService::PendingTimers() const {
    std::lock_guard g(S_->Lock);
    return static_cast<size_t>(
        std::count_if(S_->Timers.begin(), S_->Timers.end(), [](auto& c) { return c->Pending; }));
}

std::optional<uint64_t> ManualTimerService::NextDueMicroseconds() const {
    std::lock_guard g(S_->Lock);
    std::optional<uint64_t> due;
    for (auto& c : S_->Timers)
        if (c->Pending && (!due || c->Due < *due))
            due = c->Due;
    return due;
}

}  // namespace orvex
