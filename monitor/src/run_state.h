// The monitor's run state and the pause gate of its threads.
//
// RunState: 0 running, 1 paused, 2 continued (list to rebuild), 5 reload requested, 9
// stopping. The threads read it without a lock. Pausing cannot freeze another thread where it
// stands here, so each thread passes the gate at its safe points (between polls, between
// datagrams, between messages) and waits there while paused; a stop opens every gate.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qm::monitor {

enum RunStateValue : int { kRunning = 0, kPaused = 1, kContinued = 2, kReload = 5, kStopping = 9 };

class RunState {
public:
    int get() const { return state_.load(); }
    bool stopping() const { return get() == kStopping; }
    // Writes the state and wakes every thread that sleeps in Gate or SleepFor.
    void set(int value);

    void Pause();
    void Continue();
    bool paused() const;

    // Waits while paused (returns at once otherwise, or when stopping).
    void Gate();
    // Sleeps for `d` unless a stop comes first; false when the stop cut it short.
    bool SleepFor(std::chrono::milliseconds d);
    // Sleeps until `deadline` or until the state changes away from `seen`.
    void SleepUntilChange(int seen, std::chrono::steady_clock::time_point deadline);

private:
    std::atomic<int> state_{kContinued};  // the first pass of the polling loop builds the list
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool paused_ = false;
    unsigned generation_ = 0;
};

}  // namespace qm::monitor
