// Run state changes wake the sleepers, so a stop never waits out a long sleep.
#include "run_state.h"

namespace qm::monitor {

void RunState::set(int value) {
    {
        std::lock_guard lk(m_);
        state_.store(value);
        ++generation_;
    }
    cv_.notify_all();
}

void RunState::Pause() {
    {
        std::lock_guard lk(m_);
        paused_ = true;
        state_.store(kPaused);
        ++generation_;
    }
    cv_.notify_all();
}

void RunState::Continue() {
    {
        std::lock_guard lk(m_);
        paused_ = false;
        ++generation_;
    }
    cv_.notify_all();
}

bool RunState::paused() const {
    std::lock_guard lk(m_);
    return paused_;
}

void RunState::Gate() {
    std::unique_lock lk(m_);
    cv_.wait(lk, [&] { return !paused_ || state_.load() == kStopping; });
}

bool RunState::SleepFor(std::chrono::milliseconds d) {
    std::unique_lock lk(m_);
    return !cv_.wait_for(lk, d, [&] { return state_.load() == kStopping; });
}

void RunState::SleepUntilChange(int seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lk(m_);
    cv_.wait_until(lk, deadline, [&] { return state_.load() != seen; });
}

}  // namespace qm::monitor
