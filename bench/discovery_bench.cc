// Timing of a discovery over 254 loopback addresses of which 20 answer as printers, with a one
// second answer time-out: libQBAPI.so (concurrent, paced) against a sequential prober that asks
// one address at a time with the same requests, measured in one run against the same agents.
//
//   discovery_bench [--silent-sequential N]
// --silent-sequential limits how many silent addresses the sequential side waits out (the
// rest is extrapolated and said so); by default it probes all 254 for real.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QBAPI.h"
#include "device.h"
#include "mib_agent.h"
#include "qm/platform/registry.h"
#include "qm/snmp/message.h"
#include "qm/testing/testing.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAddresses = 254;
constexpr int kAnswering = 20;
constexpr auto kTimeout = std::chrono::seconds(1);

std::string Dotted(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

// The sequential peer: what a simple scanner does, one request in flight at a time, every
// request waiting up to the time-out, the follow-ups of a printer likewise.
class SequentialProber {
public:
    explicit SequentialProber(uint16_t port) : port_(port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~SequentialProber() { ::close(fd_); }

    // Returns the printer's result text, or empty.
    std::string Probe(uint32_t address) {
        qm::discovery::Device device(address);
        while (device.step() != qm::discovery::Step::kDone && device.step() != qm::discovery::Step::kDropped) {
            std::vector<uint8_t> answer;
            if (!Exchange(address, device.NextAsk(), &answer)) {
                device.GiveUp();
                continue;
            }
            qm::snmp::Message m;
            if (qm::snmp::DecodeMessage(answer, &m) != qm::snmp::BerStatus::kOk) {
                device.GiveUp();
                continue;
            }
            device.Absorb(m);
        }
        return device.step() == qm::discovery::Step::kDone ? device.ResultText() : std::string();
    }

private:
    bool Exchange(uint32_t address, const qm::discovery::Ask& ask, std::vector<uint8_t>* answer) {
        qm::snmp::Request r;
        r.version = qm::snmp::SnmpVersion::kV1;
        r.community = "tarlow";
        r.type = ask.pduType;
        r.requestId = ++id_;
        for (const auto& oid : ask.oids) r.bindings.push_back({oid, {qm::snmp::tag::kNull, 0}});
        std::vector<uint8_t> wire = qm::snmp::EncodeRequest(r);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(address);
        ::sendto(fd_, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        Clock::time_point deadline = Clock::now() + kTimeout;
        std::vector<uint8_t> buf(65535);
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0 || from.sin_addr.s_addr != to.sin_addr.s_addr) continue;
            qm::snmp::Message h;
            std::span<const uint8_t> got(buf.data(), static_cast<size_t>(n));
            if (qm::snmp::DecodeHeader(got, &h) != qm::snmp::BerStatus::kOk || h.requestId != r.requestId) continue;
            answer->assign(got.begin(), got.end());
            return true;
        }
    }

    int fd_;
    uint16_t port_;
    int32_t id_ = 1;
};

}  // namespace

int main(int argc, char** argv) {
    int silentSequential = kAddresses - kAnswering;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--silent-sequential") == 0 && i + 1 < argc) {
            silentSequential = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: discovery_bench [--silent-sequential N]\n");
            return 2;
        }
    }
    qm::testing::TempRoot root;
    int port = 0;
    {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        ::close(fd);
    }
    qm::platform::RegSetNumber(qm::platform::RegRoot::LocalMachine, "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup",
                               "SnmpPort", static_cast<uint32_t>(port), true);

    // 127.0.222.1 .. .254; every twelfth or so answers (20 printers spread over the range).
    const uint32_t base = qm::testsupport::Ip("127.0.222.0");
    qm::testsupport::MibAgents agents(static_cast<uint16_t>(port));
    std::vector<bool> answering(kAddresses + 1, false);
    for (int k = 0; k < kAnswering; ++k) {
        int host = 1 + k * (kAddresses / kAnswering);
        char mac[13];
        std::snprintf(mac, sizeof mac, "0050C2B100%02X", k);
        if (!agents.Add(base + static_cast<uint32_t>(host), qm::testsupport::PrinterMib(1, mac, k % 2 == 0))) {
            std::fprintf(stderr, "cannot bind %s:%d\n", Dotted(base + static_cast<uint32_t>(host)).c_str(), port);
            return 1;
        }
        answering[static_cast<size_t>(host)] = true;
    }
    agents.Start();

    std::string list;
    for (int host = 1; host <= kAddresses; ++host) list += Dotted(base + static_cast<uint32_t>(host)) + ";";

    // Concurrent: the library, as the tag processor drives it.
    QBInitialize();
    const char* pairs[] = {"IP", list.c_str()};
    int size = 0;
    Clock::time_point t0 = Clock::now();
    int h = QBStartDiscovery(pairs, 1, 0x0A, &size);
    std::vector<char> buffer(static_cast<size_t>(size) + 10);
    int type = 0, found = 0;
    while (QBGetDiscoveryResult(h, -1, &type, buffer.data()) == QB_OK) ++found;
    double parallel = std::chrono::duration<double>(Clock::now() - t0).count();
    QBTerminateDiscovery(h);
    QBRelease();

    // Sequential: every address in turn (the silent ones limited when asked to).
    SequentialProber prober(static_cast<uint16_t>(port));
    int seqFound = 0, silentDone = 0, silentTotal = 0;
    double silentSeconds = 0;
    t0 = Clock::now();
    for (int host = 1; host <= kAddresses; ++host) {
        bool live = answering[static_cast<size_t>(host)];
        if (!live && ++silentTotal > silentSequential) continue;
        Clock::time_point s = Clock::now();
        if (!prober.Probe(base + static_cast<uint32_t>(host)).empty()) ++seqFound;
        if (!live) {
            ++silentDone;
            silentSeconds += std::chrono::duration<double>(Clock::now() - s).count();
        }
    }
    double sequential = std::chrono::duration<double>(Clock::now() - t0).count();
    bool extrapolated = silentDone < silentTotal;
    if (extrapolated && silentDone > 0) sequential += silentSeconds / silentDone * (silentTotal - silentDone);

    std::printf("discovery of %d addresses, %d answering, 1 s time-out, no retries\n", kAddresses, kAnswering);
    std::printf("  libQBAPI (concurrent, 1 send/ms): %8.3f s, %d printers found\n", parallel, found);
    std::printf("  sequential prober:                %8.3f s, %d printers found%s\n", sequential, seqFound,
                extrapolated ? " (silent addresses partly extrapolated)" : "");
    std::printf("  speed-up: %.1f x\n", sequential / parallel);
    return found == kAnswering && seqFound == kAnswering ? 0 : 1;
}
