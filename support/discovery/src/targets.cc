// Turns a search list into destinations, and finds the local segments behind "Local".
#include "targets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace qm::discovery {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Larger subnets would take minutes to sweep at any polite pace; their broadcast still goes out.
constexpr uint32_t kMaxSweepPrefixHosts = 0xFFFF;
// However many subnets a list names, a search sweeps at most four /16s' worth of addresses:
// more could not be asked within the longest time budget at the fastest pace anyway.
constexpr size_t kMaxSweepTotal = 4 * 65536;

class Collector {
public:
    explicit Collector(std::vector<Destination>* out) : out_(out) {}
    void Add(uint32_t address, bool broadcast) {
        if (seen_.insert(address).second) out_->push_back({address, broadcast});
    }
    // A broadcast entry: the subnet's directed broadcast, whichever address of the subnet the
    // entry named, and with `sweep` every host address in it.
    void AddSubnet(uint32_t address, uint32_t mask, bool sweep) {
        uint32_t network = address & mask;
        uint32_t broadcast = network | ~mask;
        broadcasts_.push_back({broadcast, mask});
        if (sweep && ~mask <= kMaxSweepPrefixHosts && ~mask >= 2) {
            for (uint32_t host = network + 1; host < broadcast && sweeps_.size() < kMaxSweepTotal; ++host) {
                sweeps_.push_back(host);
            }
        }
    }
    // Unicast entries first, then the sweeps, then the broadcasts: a printer that answers
    // both is then known from its unicast answer, which always names the right address.
    void Finish() {
        for (uint32_t a : sweeps_) Add(a, false);
        for (const auto& b : broadcasts_) Add(b.address, true);
    }

private:
    std::vector<Destination>* out_;
    std::unordered_set<uint32_t> seen_;
    std::vector<uint32_t> sweeps_;
    std::vector<LocalSegment> broadcasts_;
};

}  // namespace

bool ParseIPv4(std::string_view text, uint32_t* out) {
    uint32_t value = 0;
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        uint32_t part = 0;
        size_t digits = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            if (++digits > 3) return false;
            part = part * 10 + static_cast<uint32_t>(text[i] - '0');
            ++i;
        }
        if (part > 255) return false;
        value = (value << 8) | part;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    if (i != text.size()) return false;
    *out = value;
    return true;
}

bool IsContiguousMask(uint32_t mask) {
    uint32_t inverted = ~mask;
    return (inverted & (inverted + 1)) == 0;
}

std::vector<LocalSegment> LocalSegments() {
    std::vector<LocalSegment> segments;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return segments;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || i->ifa_netmask == nullptr) continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_BROADCAST) == 0 ||
            (i->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        LocalSegment s;
        s.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        s.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        if (s.netmask == 0xFFFFFFFFu) continue;  // a point-to-point /32 has no segment to ask
        segments.push_back(s);
    }
    ::freeifaddrs(list);
    return segments;
}

bool BuildDestinations(std::string_view list, bool sweep, const std::vector<LocalSegment>& local,
                       std::vector<Destination>* out) {
    out->clear();
    Collector collect(out);
    while (!list.empty()) {
        size_t semi = list.find(';');
        std::string_view entry = Trim(list.substr(0, semi));
        list = semi == std::string_view::npos ? std::string_view() : list.substr(semi + 1);
        if (entry.empty()) continue;
        if (EqualsNoCase(entry, "Local")) {
            for (const LocalSegment& s : local) collect.AddSubnet(s.address, s.netmask, sweep);
            continue;
        }
        size_t bar = entry.find('|');
        uint32_t address = 0;
        if (bar == std::string_view::npos) {
            if (!ParseIPv4(entry, &address) || address == 0 || address == 0xFFFFFFFFu) return false;
            collect.Add(address, false);
            continue;
        }
        uint32_t mask = 0;
        if (!ParseIPv4(Trim(entry.substr(0, bar)), &address) || !ParseIPv4(Trim(entry.substr(bar + 1)), &mask) ||
            !IsContiguousMask(mask) || address == 0) {
            return false;
        }
        collect.AddSubnet(address, mask, sweep);
    }
    collect.Finish();
    return true;
}

}  // namespace qm::discovery
