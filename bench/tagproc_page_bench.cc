// Measures the printer page: one template showing type, colour, signal, paper, name and storage
// of one simulated printer, run through the page interpreter as the HTTP server runs it.
// Counts the SNMP requests per page with a counting relay in front of the agent, compares the
// time per page with one net-snmp snmpget of the same objects, and measures what serialising
// the tag calls of concurrent requests on one processor costs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qm/platform/library.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "qmdbmgr.h"
#include "qmintpr/qmintpr.h"
#include "simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kPage =
    "type=[% $R = QMTAG.TAGGetPrinterType($KEY) %][% OUTHTML($R) %]\n"
    "color=[% $R = QMTAG.TAGGetPrinterColor($KEY) %][% OUTHTML($R) %]\n"
    "signal=[% $R = QMTAG.TAGGetSignalType($KEY) %][% OUTHTML($R) %]\n"
    "paper=[% $R = QMTAG.TAGGetPaperType($KEY) %][% OUTHTML($R) %]\n"
    "name=[% $R = QMTAG.TAGGetDeviceName($KEY) %][% OUTHTML($R) %]\n"
    "storage=[% $R = QMTAG.TAGGetStorageSize($KEY, \"RAM\") %][% OUTHTML($R) %]\n";

// Forwards datagrams between clients on `front` and the agent, counting requests. Exchanges
// on one processor never overlap, so the last client is the one waiting for the answer.
class Relay {
public:
    Relay(const std::string& front, const std::string& agent, int port) {
        in_ = Bind(front, port);
        out_ = Bind("127.0.0.1", 0);
        agent_ = Address(agent, port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
        close(in_);
        close(out_);
    }
    long requests() const { return requests_; }

private:
    static sockaddr_in Address(const std::string& ip, int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        return a;
    }
    static int Bind(const std::string& ip, int port) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = Address(ip, port);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::perror("relay bind");
            std::exit(1);
        }
        return fd;
    }
    void Run() {
        std::vector<char> buf(65536);
        sockaddr_in client{};
        while (!stop_) {
            pollfd fds[2] = {{in_, POLLIN, 0}, {out_, POLLIN, 0}};
            if (poll(fds, 2, 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                socklen_t len = sizeof client;
                ssize_t n = recvfrom(in_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&client), &len);
                if (n > 0) {
                    ++requests_;
                    sendto(out_, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&agent_), sizeof agent_);
                }
            }
            if (fds[1].revents & POLLIN) {
                ssize_t n = recv(out_, buf.data(), buf.size(), 0);
                if (n > 0) sendto(in_, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&client), sizeof client);
            }
        }
    }
    int in_ = -1, out_ = -1;
    sockaddr_in agent_{};
    std::atomic<bool> stop_{false};
    std::atomic<long> requests_{0};
    std::thread thread_;
};

thread_local std::string tPage;
int32_t Collect(void*, int32_t, int32_t count, const char* bytes) {
    if (count > 0 && bytes) tPage.append(bytes, static_cast<size_t>(count));
    return 0;
}

struct Interpreter {
    QmServiceInitializeFn init;
    QmServiceFn service;
    QmServiceReleaseFn release;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    int pages = argc > 1 ? std::atoi(argv[1]) : 40;
    std::vector<std::string> files;
    for (const char* f : {"1-mono-laser", "2-color-laser", "3-inkjet", "4-alerts-mfp"}) {
        files.push_back(std::string(QM_PRINTERS_DIR) + "/" + f + ".snmprec");
    }
    qm::testsupport::SimulatedPrinters sim(files, 91);
    if (!sim.ok()) {
        std::fprintf(stderr, "no simulated printer: %s\n", sim.why().c_str());
        return 1;
    }
    const std::string agent = sim.address(0), front = "127.0.0.99";
    Relay relay(front, agent, sim.port());
    qm::testing::TempRoot root;
    const char* setup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
    qm::platform::RegSetNumber(qm::platform::RegRoot::LocalMachine, setup, "SnmpPort", static_cast<uint32_t>(sim.port()), true);
    std::ofstream(root.path() + "/html/en/printer.htm") << kPage;
    const std::string cwd = std::filesystem::current_path();
    if (chdir((root.path() + "/bin").c_str()) != 0) return 1;

    auto lib = qm::platform::LoadLibraryByName("qmintpr");
    Interpreter in{reinterpret_cast<QmServiceInitializeFn>(qm::platform::LibrarySymbol(lib, "ServiceInitialize")),
                   reinterpret_cast<QmServiceFn>(qm::platform::LibrarySymbol(lib, "Service")),
                   reinterpret_cast<QmServiceReleaseFn>(qm::platform::LibrarySymbol(lib, "ServiceRelease"))};
    if (!in.init || !in.service || !in.release) return 1;
    const std::string key = "1;" + front + ";;;";

    auto runPages = [&](void* svc, int n, const std::string& k) {
        for (int i = 0; i < n; ++i) {
            std::string params = "LANGUAGE=en|TEMPLATE=printer.htm|KEY=" + k;
            tPage.clear();
            in.service(svc, params.data());
        }
    };

    void* svc = in.init(nullptr, nullptr, Collect);
    runPages(svc, 1, key);
    std::printf("page:\n%s\n", tPage.c_str());

    // 1. No channel stored for the device: every tag asks the gateway for one (a version probe).
    long before = relay.requests();
    auto t0 = Clock::now();
    runPages(svc, pages, key);
    double noChannel = Seconds(Clock::now() - t0) / pages;
    double noChannelRequests = double(relay.requests() - before) / pages;

    // 2. A stored channel (a stale one is renewed and stored by the first page).
    DBMgrInitialize();
    unsigned char stale[17] = {};
    DBWriteChannelInfo(key.c_str(), stale, 17);
    runPages(svc, 1, key);
    before = relay.requests();
    t0 = Clock::now();
    runPages(svc, pages, key);
    double stored = Seconds(Clock::now() - t0) / pages;
    double storedRequests = double(relay.requests() - before) / pages;

    // 3. net-snmp: the same objects in one snmpget call (marker technology and colorants, the
    // alert severity, paper size indexes and names, storage description, size and units).
    std::string cmd = "snmpget -v2c -c tarlow -On -t 1 -r 1 " + agent + ":" + std::to_string(sim.port());
    for (const char* oid : {"1.3.6.1.2.1.43.10.2.1.2.1.1", "1.3.6.1.2.1.43.10.2.1.6.1.1", "1.3.6.1.2.1.43.18.1.1.2.1.4",
                            "1.3.6.1.4.1.40404.1.2.2.23.1.1.2.1.1", "1.3.6.1.4.1.40404.1.2.2.23.1.1.2.1.2",
                            "1.3.6.1.4.1.40404.1.2.2.23.1.1.2.1.3", "1.3.6.1.4.1.40404.1.2.2.6.1.1.2.1.3",
                            "1.3.6.1.4.1.40404.1.2.2.6.1.1.2.1.5", "1.3.6.1.2.1.25.2.3.1.3.1", "1.3.6.1.2.1.25.2.3.1.5.1",
                            "1.3.6.1.2.1.25.2.3.1.4.1"}) {
        cmd += std::string(" ") + oid;
    }
    cmd += " >/dev/null";
    auto timeCommand = [&](const std::string& c) {
        auto start = Clock::now();
        for (int i = 0; i < pages; ++i) {
            if (std::system(c.c_str()) != 0) {
                std::fprintf(stderr, "snmpget failed\n");
                break;
            }
        }
        return Seconds(Clock::now() - start) / pages;
    };
    double snmpget = timeCommand(cmd);
    // The same without loading MIB files at start, which is most of snmpget's own time.
    double snmpgetBare = timeCommand("MIBS= MIBDIRS=/nonexistent " + cmd.substr(0, 8) + " -m ''" + cmd.substr(7));

    std::printf("printer page, %d runs each\n", pages);
    std::printf("  no stored channel : %6.2f ms/page, %.1f SNMP requests/page\n", noChannel * 1e3, noChannelRequests);
    std::printf("  stored channel    : %6.2f ms/page, %.1f SNMP requests/page\n", stored * 1e3, storedRequests);
    std::printf("  snmpget, 11 objects in one call: %6.2f ms/call (1 request)\n", snmpget * 1e3);
    std::printf("  snmpget without MIB files:       %6.2f ms/call\n", snmpgetBare * 1e3);
    std::printf("  ratio page (stored channel) / snmpget: %.2f, / snmpget without MIB files: %.2f\n", stored / snmpget,
                stored / snmpgetBare);

    // 4. Concurrency: T request threads on one interpreter (one processor: tag calls
    // serialised) against T threads on T interpreters (T processors, nothing shared).
    std::printf("concurrent requests, %d pages per thread (pages/s)\n", pages / 4);
    // Threads spread over four agents, each addressed directly with a stored channel.
    std::vector<std::string> keys;
    for (size_t k = 0; k < 4; ++k) {
        keys.push_back("1;" + sim.address(k) + ";;;");
        DBWriteChannelInfo(keys.back().c_str(), stale, 17);
        runPages(svc, 1, keys.back());
    }
    std::vector<void*> own;
    for (int t = 0; t < 8; ++t) {
        own.push_back(in.init(nullptr, nullptr, Collect));
        runPages(own.back(), 1, keys[static_cast<size_t>(t) % 4]);
    }
    for (int threads : {1, 2, 4, 8}) {
        double rate[2];
        for (int mode = 0; mode < 2; ++mode) {
            std::vector<std::thread> workers;
            t0 = Clock::now();
            for (int t = 0; t < threads; ++t) {
                void* s = mode == 0 ? svc : own[static_cast<size_t>(t)];
                workers.emplace_back([&, s, t] { runPages(s, pages / 4, keys[static_cast<size_t>(t) % 4]); });
            }
            for (auto& w : workers) w.join();
            rate[mode] = threads * (pages / 4) / Seconds(Clock::now() - t0);
        }
        std::printf("  %d threads: shared processor %7.1f, own processors %7.1f, shared/own %.2f\n", threads, rate[0],
                    rate[1], rate[0] / rate[1]);
    }
    for (void* s : own) in.release(s);
    in.release(svc);
    if (chdir(cwd.c_str()) != 0) return 1;
    return 0;
}
