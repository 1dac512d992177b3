// The search engine: paced sends, deadlines and retries over one unconnected UDP socket, and the
// hand-over of recognised printers to the reader.
#include "search.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <queue>
#include <random>
#include <set>
#include <unordered_map>

#include "QBUtil.h"
#include "device.h"
#include "qm/snmp/message.h"

namespace qm::discovery {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kModule = "QBAPI";
constexpr unsigned kTraceError = 0x8800;

}  // namespace

class Search::Engine {
public:
    Engine(Search& owner, int sock, std::vector<Destination> destinations, const SearchParams& params,
           uint16_t port, std::string community)
        : owner_(owner),
          sock_(sock),
          destinations_(std::move(destinations)),
          params_(params),
          port_(port),
          community_(std::move(community)),
          interval_(std::chrono::nanoseconds(1'000'000 / params.sendsPerMs)) {
        std::random_device seed;
        nextId_ = static_cast<int32_t>(seed() & 0x3FFFFFFF) + 1;
    }

    void Run() {
        Clock::time_point start = Clock::now();
        Clock::time_point end = start + params_.budget;
        nextSend_ = start;
        std::vector<uint8_t> buffer(65535);
        while (!owner_.stopRequested_.load()) {
            Clock::time_point now = Clock::now();
            if (now >= end) break;
            ExpireDue(now);
            SendDue(now);
            if (pending_.empty() && sendQueue_.empty() && nextDestination_ >= destinations_.size()) break;
            Clock::time_point wakeAt = end;
            if (!deadlines_.empty()) wakeAt = std::min(wakeAt, deadlines_.top().first);
            if (HaveSomethingToSend()) wakeAt = std::min(wakeAt, nextSend_);
            auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now()).count();
            pollfd fds[2] = {{sock_, POLLIN, 0}, {owner_.wakeFd_, POLLIN, 0}};
            int ready = ::poll(fds, 2, static_cast<int>(std::clamp<long long>(waitMs, 0, 1000)));
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) ReceiveAll(buffer);
        }
    }

private:
    struct Pending {
        uint32_t destination = 0;
        bool broadcast = false;
        bool probe = false;  // a first probe (answers create devices) rather than a follow-up
        int attemptsLeft = 0;
        bool inFlight = false;
        Clock::time_point deadline;
        std::vector<uint8_t> datagram;
    };

    bool HaveSomethingToSend() const { return !sendQueue_.empty() || nextDestination_ < destinations_.size(); }

    int32_t NewId() {
        int32_t id = nextId_;
        nextId_ = nextId_ >= 0x7FFFFFFF ? 1 : nextId_ + 1;
        return id;
    }

    int32_t MakeRequest(uint32_t destination, bool broadcast, bool probe, const Ask& ask) {
        snmp::Request r;
        r.version = params_.v2c ? snmp::SnmpVersion::kV2c : snmp::SnmpVersion::kV1;
        r.community = community_;
        r.type = ask.pduType;
        r.requestId = NewId();
        for (const snmp::Oid& oid : ask.oids) r.bindings.push_back({oid, {snmp::tag::kNull, 0x00}});
        Pending p;
        p.destination = destination;
        p.broadcast = broadcast;
        p.probe = probe;
        p.attemptsLeft = params_.retries;
        p.datagram = snmp::EncodeRequest(r);
        pending_.emplace(r.requestId, std::move(p));
        return r.requestId;
    }

    // Follow-ups and re-sends go before new probes: a device already answering is worth more
    // than an address not yet asked, and it keeps the number of open requests small.
    bool PickNext(int32_t* id) {
        while (!sendQueue_.empty()) {
            *id = sendQueue_.front();
            sendQueue_.pop_front();
            if (pending_.count(*id) != 0) return true;
        }
        if (nextDestination_ < destinations_.size()) {
            const Destination& d = destinations_[nextDestination_++];
            *id = MakeRequest(d.address, d.broadcast, true, Device::FirstProbe());
            return true;
        }
        return false;
    }

    void SendDue(Clock::time_point now) {
        // No catching up after a stall: the pace is a ceiling, so at most one millisecond's
        // worth of sends goes out at once (the poll below wakes in whole milliseconds).
        Clock::time_point floor = now - (std::chrono::milliseconds(1) - std::min<Clock::duration>(interval_, std::chrono::milliseconds(1)));
        if (nextSend_ < floor) nextSend_ = floor;
        int32_t id = 0;
        while (nextSend_ <= now && PickNext(&id)) {
            Pending& p = pending_.at(id);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port_);
            to.sin_addr.s_addr = htonl(p.destination);
            ssize_t n = ::sendto(sock_, p.datagram.data(), p.datagram.size(), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n < 0 && (errno == EAGAIN || errno == ENOBUFS || errno == EINTR)) {
                sendQueue_.push_front(id);  // the queue is full: try again on the next tick
                nextSend_ = now + std::chrono::milliseconds(1);
                return;
            }
            p.inFlight = true;
            if (n < 0) {
                // No route, or broadcast refused: for the search that is an address that will
                // never answer, so it costs no time-out.
                p.attemptsLeft = 0;
                p.deadline = now;
            } else {
                p.deadline = now + params_.timeout;
            }
            deadlines_.push({p.deadline, id});
            nextSend_ += interval_;
        }
    }

    void ExpireDue(Clock::time_point now) {
        while (!deadlines_.empty() && deadlines_.top().first <= now) {
            auto [deadline, id] = deadlines_.top();
            deadlines_.pop();
            auto it = pending_.find(id);
            if (it == pending_.end() || !it->second.inFlight || it->second.deadline != deadline) continue;
            Pending& p = it->second;
            if (p.attemptsLeft > 0) {
                --p.attemptsLeft;
                p.inFlight = false;
                sendQueue_.push_back(id);
                continue;
            }
            uint32_t address = p.destination;
            bool probe = p.probe;
            pending_.erase(it);
            if (!probe) {
                auto dev = devices_.find(address);
                if (dev != devices_.end()) {
                    dev->second.GiveUp();
                    Advance(dev->second);
                }
            }
        }
    }

    void ReceiveAll(std::vector<uint8_t>& buffer) {
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(sock_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;  // EAGAIN, or an ICMP error queued on the socket: nothing more to read
            }
            if (len < sizeof from || from.sin_family != AF_INET || ntohs(from.sin_port) != port_) continue;
            Handle(ntohl(from.sin_addr.s_addr), std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
        }
    }

    void Handle(uint32_t source, std::span<const uint8_t> datagram) {
        snmp::Message header;
        if (snmp::DecodeHeader(datagram, &header) != snmp::BerStatus::kOk || header.type != snmp::pdu::kResponse) {
            return;
        }
        auto it = pending_.find(header.requestId);
        if (it == pending_.end()) return;
        Pending& p = it->second;
        if (!p.broadcast && source != p.destination) return;  // not the device we asked
        if (header.community != community_) return;
        snmp::Message answer;
        if (snmp::DecodeMessage(datagram, &answer) != snmp::BerStatus::kOk ||
            answer.version != (params_.v2c ? snmp::SnmpVersion::kV2c : snmp::SnmpVersion::kV1)) {
            return;  // a mangled answer counts as none; the request times out or is sent again
        }
        bool probe = p.probe;
        // A broadcast request stays open until its time-out: every agent on the segment answers it.
        if (!p.broadcast) pending_.erase(it);
        if (probe) {
            if (devices_.count(source) != 0) return;  // already known from another probe
            Device& device = devices_.emplace(source, Device(source)).first->second;
            device.Absorb(answer);
            Advance(device);
            return;
        }
        auto dev = devices_.find(source);
        if (dev == devices_.end()) return;
        dev->second.Absorb(answer);
        Advance(dev->second);
    }

    void Advance(Device& device) {
        switch (device.step()) {
            case Step::kDropped:
                return;  // kept, so that later answers from it are ignored
            case Step::kDone: {
                // A printer with several addresses answers once per segment; its MAC address and
                // index name it whichever address it used.
                if (!device.Mac().empty() &&
                    !reported_.insert(device.Mac() + ";" + std::to_string(device.DeviceIndex())).second) {
                    return;
                }
                owner_.Publish({device.DeviceType(), device.ResultText()});
                return;
            }
            default: {
                int32_t id = MakeRequest(device.address(), false, false, device.NextAsk());
                sendQueue_.push_front(id);
                return;
            }
        }
    }

    Search& owner_;
    int sock_;
    std::vector<Destination> destinations_;
    size_t nextDestination_ = 0;
    SearchParams params_;
    uint16_t port_;
    std::string community_;
    Clock::duration interval_;
    Clock::time_point nextSend_;
    int32_t nextId_ = 1;
    std::unordered_map<int32_t, Pending> pending_;
    std::deque<int32_t> sendQueue_;
    using Deadline = std::pair<Clock::time_point, int32_t>;
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<Deadline>> deadlines_;
    std::unordered_map<uint32_t, Device> devices_;
    std::set<std::string> reported_;
};

Search::Search(std::vector<Destination> destinations, const SearchParams& params, uint16_t port,
               std::string community) {
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (sock < 0 || wakeFd_ < 0) {
        QbTrace(kTraceError, kModule, __LINE__, "QBAPI: socket failed errno=%d\n", errno);
        if (sock >= 0) ::close(sock);
        finished_ = true;
        return;
    }
    int on = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // A whole segment may answer one broadcast within a millisecond.
    int rcvbuf = 1 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    try {
        thread_ = std::thread([this, sock, destinations = std::move(destinations), params, port,
                               community = std::move(community)]() mutable {
            {
                Engine engine(*this, sock, std::move(destinations), params, port, std::move(community));
                engine.Run();
            }
            ::close(sock);
            MarkFinished();
        });
        started_ = true;
    } catch (const std::system_error&) {
        QbTrace(kTraceError, kModule, __LINE__, "QBAPI: thread failed\n");
        ::close(sock);
        finished_ = true;
    }
}

Search::~Search() {
    Stop();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Search::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopRequested_ = true;
    changed_.notify_all();
    if (wakeFd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    std::lock_guard join(joinMutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Search::Publish(Found found) {
    {
        std::lock_guard lock(mutex_);
        found_.push_back(std::move(found));
    }
    changed_.notify_all();
}

void Search::MarkFinished() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

Search::Next Search::Take(std::chrono::milliseconds wait, Found* out) {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return stopped_ || !found_.empty() || finished_; };
    if (wait.count() < 0) {
        changed_.wait(lock, ready);
    } else {
        changed_.wait_for(lock, wait, ready);
    }
    if (stopped_) return Next::kStopped;
    if (!found_.empty()) {
        *out = std::move(found_.front());
        found_.pop_front();
        return Next::kFound;
    }
    return finished_ ? Next::kFinished : Next::kNotReady;
}

}  // namespace qm::discovery
