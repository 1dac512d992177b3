// One running search: a background thread that sends paced probes over one UDP socket, follows
// up every answering agent, and queues the printers it recognises for the reader.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "params.h"
#include "targets.h"

namespace qm::discovery {

struct Found {
    int deviceType = 0;
    std::string text;
};

class Search {
public:
    // Starts the thread at once. `port` is the agents' UDP port.
    Search(std::vector<Destination> destinations, const SearchParams& params, uint16_t port,
           std::string community);
    ~Search();  // stops and joins
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    // False when the socket or thread could not be made (the search then reports nothing).
    bool Started() const { return started_; }

    enum class Next { kFound, kNotReady, kFinished, kStopped };
    // Waits up to `wait` (negative: as long as the search runs) for the next printer.
    Next Take(std::chrono::milliseconds wait, Found* out);

    // Ends the search at once; Take then reports kStopped. Safe to call more than once.
    void Stop();

private:
    class Engine;
    void Publish(Found found);
    void MarkFinished();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Found> found_;
    bool finished_ = false;
    bool stopped_ = false;
    bool started_ = false;
    int wakeFd_ = -1;  // eventfd that interrupts the engine's poll
    std::atomic<bool> stopRequested_{false};
    std::mutex joinMutex_;  // Stop may come from the reader and from QBRelease at once
    std::thread thread_;
};

}  // namespace qm::discovery
