// The exported calls end to end on loopback: simulated printers (snmpsim), scripted agents,
// silent addresses, termination, several searches, and the error results callers map.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "QBAPI.h"
#include "mib_agent.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using qm::testsupport::Ip;

constexpr const char* kSetupKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";

struct Result {
    int type;
    std::string text;
};

// Starts a search over one IP list; the handle, or the negative result.
int Start(const std::string& list, unsigned long param, int* size = nullptr) {
    const char* pairs[] = {"IP", list.c_str()};
    int ignored = 0;
    return QBStartDiscovery(pairs, 1, param, size != nullptr ? size : &ignored);
}

// Reads a search to its end as the tag processor does (waiting without limit).
std::vector<Result> Drain(int handle, int* last = nullptr) {
    std::vector<Result> out;
    char buffer[64 + 10];
    int type = 0;
    for (;;) {
        int rc = QBGetDiscoveryResult(handle, -1, &type, buffer);
        if (rc != QB_OK) {
            if (last) *last = rc;
            return out;
        }
        out.push_back({type, buffer});
    }
}

std::map<std::string, Result> ByIp(const std::vector<Result>& results) {
    std::map<std::string, Result> m;
    for (const auto& r : results) m[r.text.substr(0, r.text.find(';'))] = r;
    return m;
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QBInitialize(), QB_OK);
        port_ = qm::testsupport::FreeUdpPort();
        UsePort(port_);
    }
    void TearDown() override { QBRelease(); }
    void UsePort(int port) {
        ASSERT_EQ(qm::platform::RegSetNumber(qm::platform::RegRoot::LocalMachine, kSetupKey, "SnmpPort",
                                             static_cast<uint32_t>(port), true),
                  0);
    }

    qm::testing::TempRoot root_;
    int port_ = 0;
};

TEST_F(Discovery, CallersGetTheErrorNumbersTheyMap) {
    int size = 0;
    const char* ipx[] = {"IPX", "Local"};
    EXPECT_EQ(QBStartDiscovery(ipx, 1, 0, &size), QB_E_PROTOCOL);
    EXPECT_EQ(Start("127.0.0.1;not-an-address", 0), QB_E_LIST);
    EXPECT_EQ(QBStartDiscovery(nullptr, 1, 0, &size), QB_E_PARAM);
    const char* nullList[] = {"IP", nullptr};
    EXPECT_EQ(QBStartDiscovery(nullList, 1, 0, &size), QB_E_PARAM);
    EXPECT_EQ(Start("127.0.0.1", 0, nullptr) > 0, true);
    int type = 0;
    char buffer[80];
    EXPECT_EQ(QBGetDiscoveryResult(999999, 0, &type, buffer), QB_E_HANDLE);
    EXPECT_EQ(QBTerminateDiscovery(999999), QB_E_HANDLE);

    // An empty list is a search that finds nothing.
    int h = Start("", 0, &size);
    ASSERT_GT(h, 0);
    EXPECT_EQ(size, 64);
    EXPECT_EQ(QBGetDiscoveryResult(h, -1, &type, buffer), QB_FINISHED);
    EXPECT_EQ(QBGetDiscoveryResult(h, -1, &type, buffer), QB_FINISHED);
    EXPECT_EQ(QBGetDiscoveryResult(h, 0, nullptr, buffer), QB_E_PARAM);
    EXPECT_EQ(QBTerminateDiscovery(h), QB_OK);
    EXPECT_EQ(QBGetDiscoveryResult(h, 0, &type, buffer), QB_E_HANDLE);

    // Calls nest; after the last release nothing starts.
    ASSERT_EQ(QBInitialize(), QB_OK);
    EXPECT_EQ(QBRelease(), QB_OK);
    EXPECT_GT(Start("", 0), 0);
    EXPECT_EQ(QBRelease(), QB_OK);
    EXPECT_EQ(Start("", 0), QB_E_NOT_INIT);
    ASSERT_EQ(QBInitialize(), QB_OK);  // for TearDown
}

// Real agents: snmpsim serving the suite's simulated printers and two devices of our own.
class SimulatedDiscovery : public Discovery {
protected:
    static void SetUpTestSuite() {
        std::string p = QM_PRINTERS_DIR, t = QM_TEST_DATA_DIR;
        sim_ = new qm::testsupport::SimulatedPrinters(
            {p + "/1-mono-laser.snmprec", p + "/2-color-laser.snmprec", p + "/4-alerts-mfp.snmprec",
             t + "/6-host-printer.snmprec", t + "/7-router.snmprec"},
            61);
    }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
    }
    void SetUp() override {
        Discovery::SetUp();
        if (!sim_->ok()) GTEST_SKIP() << sim_->why();
        UsePort(sim_->port());
    }
    static qm::testsupport::SimulatedPrinters* sim_;
};
qm::testsupport::SimulatedPrinters* SimulatedDiscovery::sim_ = nullptr;

TEST_F(SimulatedDiscovery, UnicastListFindsEachPrinterOnceWithAddressMacAndIndex) {
    // 0.5 s time-out with three retries: snmpsim agents on a busy machine miss an answer time
    // now and then; only the silent address waits for every retry.
    for (unsigned long param : {0x305ul, 0x305ul | QB_PARAM_V2C}) {
        SCOPED_TRACE(param);
        // Printers 0..3, a router (4), a silent address, and duplicates in the list.
        std::string list = sim_->address(0) + ";" + sim_->address(1) + ";" + sim_->address(0) + ";127.0.0.99;" +
                           sim_->address(2) + ";" + sim_->address(3) + ";" + sim_->address(4) + ";" + sim_->address(1);
        auto begin = Clock::now();
        int h = Start(list, param);
        ASSERT_GT(h, 0);
        int last = 0;
        std::vector<Result> found = Drain(h, &last);
        double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        EXPECT_EQ(last, QB_FINISHED);
        EXPECT_EQ(QBTerminateDiscovery(h), QB_OK);
        ASSERT_EQ(found.size(), 4u);
        auto m = ByIp(found);
        ASSERT_EQ(m.size(), 4u);
        EXPECT_EQ(m[sim_->address(0)].text, sim_->address(0) + ";;0050C2A10001;1");
        EXPECT_EQ(m[sim_->address(0)].type, QB_DEVTYPE_PRINTER_PRIVATE);
        EXPECT_EQ(m[sim_->address(1)].text, sim_->address(1) + ";;0050C2A10002;1");
        EXPECT_EQ(m[sim_->address(2)].text, sim_->address(2) + ";;0050C2A10004;1");
        EXPECT_EQ(m[sim_->address(3)].text, sim_->address(3) + ";;0050C2A10006;3");
        EXPECT_EQ(m[sim_->address(3)].type, QB_DEVTYPE_HOST_PRINTER);
        // The silent address costs its own time-out and retries (2 s), not the others' too.
        EXPECT_LT(seconds, 7.0);
    }
}

TEST_F(SimulatedDiscovery, ResultsArriveWhileTheSearchStillWaitsForSilentAddresses) {
    // 2.5 s time-out and two retries: the printer's answer must be handed out while the silent
    // address still keeps the search running (7.5 s in all).
    int h = Start("127.0.0.98;" + sim_->address(0), 0x219);
    ASSERT_GT(h, 0);
    int type = 0;
    char buffer[80];
    ASSERT_EQ(QBGetDiscoveryResult(h, 6000, &type, buffer), QB_OK);
    EXPECT_EQ(std::string(buffer), sim_->address(0) + ";;0050C2A10001;1");
    EXPECT_EQ(QBGetDiscoveryResult(h, 0, &type, buffer), QB_E_NOT_READY) << "the search had ended already";
    EXPECT_EQ(QBGetDiscoveryResult(h, -1, &type, buffer), QB_FINISHED);
    EXPECT_EQ(QBTerminateDiscovery(h), QB_OK);
}

TEST_F(Discovery, TerminationStopsARunningSearchAtOnceAndFreesAWaitingReader) {
    std::string list;
    for (int i = 1; i <= 50; ++i) list += "127.0.4." + std::to_string(i) + ";";
    int h = Start(list, 0x00FF);  // 25.5 s time-out: would run long
    ASSERT_GT(h, 0);
    auto reader = std::async(std::launch::async, [h] {
        int type = 0;
        char buffer[80];
        return QBGetDiscoveryResult(h, -1, &type, buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto begin = Clock::now();
    EXPECT_EQ(QBTerminateDiscovery(h), QB_OK);
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(500));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(reader.get(), QB_E_HANDLE);
    EXPECT_EQ(QBTerminateDiscovery(h), QB_E_HANDLE);
}

TEST_F(Discovery, TheBudgetBoundsTheWholeSearch) {
    int h = Start("127.0.4.1;127.0.4.2", 0x000100FF);  // 25.5 s time-out, 1 s budget
    ASSERT_GT(h, 0);
    auto begin = Clock::now();
    int last = 0;
    Drain(h, &last);
    EXPECT_EQ(last, QB_FINISHED);
    auto took = Clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    QBTerminateDiscovery(h);
}

TEST_F(Discovery, SendsArePaced) {
    std::string list;
    for (int i = 1; i <= 400; ++i) list += "127.0." + std::to_string(10 + i / 200) + "." + std::to_string(1 + i % 200) + ";";
    auto timeFor = [&](unsigned long param) {
        int h = Start(list, param);
        EXPECT_GT(h, 0);
        auto begin = Clock::now();
        Drain(h);
        QBTerminateDiscovery(h);
        return std::chrono::duration<double>(Clock::now() - begin).count();
    };
    // 400 sends at one per millisecond take at least 0.4 s before the last 0.1 s time-out;
    // eight per millisecond take about an eighth of that.
    double slow = timeFor(0x01);
    double fast = timeFor(0x07000001);
    EXPECT_GE(slow, 0.48);
    EXPECT_LT(fast, slow - 0.15);
}

TEST_F(Discovery, RetriesRecoverLostRequests) {
    qm::testsupport::MibAgents agents(static_cast<uint16_t>(port_));
    ASSERT_TRUE(agents.Add(Ip("127.0.6.1"), qm::testsupport::PrinterMib(5, "0050C2A1000A", false)));
    agents.Start();
    agents.DropNext(1);
    int h = Start("127.0.6.1", 0x02);  // no retry
    EXPECT_TRUE(Drain(h).empty());
    QBTerminateDiscovery(h);

    agents.DropNext(2);
    h = Start("127.0.6.1", 0x0202);  // two retries
    std::vector<Result> found = Drain(h);
    QBTerminateDiscovery(h);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text, "127.0.6.1;;0050C2A1000A;5");
    EXPECT_EQ(found[0].type, QB_DEVTYPE_PRINTER_MIB);
}

TEST_F(Discovery, SearchesRunSideBySideAndReleaseEndsThemAll) {
    qm::testsupport::MibAgents agents(static_cast<uint16_t>(port_));
    ASSERT_TRUE(agents.Add(Ip("127.0.7.1"), qm::testsupport::PrinterMib(1, "0050C2A10011", true)));
    ASSERT_TRUE(agents.Add(Ip("127.0.7.2"), qm::testsupport::PrinterMib(2, "0050C2A10012", true)));
    agents.Start();
    int a = Start("127.0.7.1;127.0.8.1", 0x205);
    int b = Start("127.0.7.2;127.0.8.2", 0x205);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_NE(a, b);
    auto ra = std::async(std::launch::async, [a] { return Drain(a); });
    std::vector<Result> fb = Drain(b);
    std::vector<Result> fa = ra.get();
    ASSERT_EQ(fa.size(), 1u);
    ASSERT_EQ(fb.size(), 1u);
    EXPECT_EQ(fa[0].text, "127.0.7.1;;0050C2A10011;1");
    EXPECT_EQ(fb[0].text, "127.0.7.2;;0050C2A10012;2");

    int c = Start("127.0.8.3", 0xFF);
    ASSERT_GT(c, 0);
    auto begin = Clock::now();
    EXPECT_EQ(QBRelease(), QB_OK);
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(500));
    int type = 0;
    char buffer[80];
    EXPECT_EQ(QBGetDiscoveryResult(c, 0, &type, buffer), QB_E_HANDLE);
    ASSERT_EQ(QBInitialize(), QB_OK);
}

// An agent that answers garbage, and whose neighbour forges a printer's answer to the request
// sent to it: neither may produce a result.
TEST_F(Discovery, ForgedAndMalformedAnswersAreIgnored) {
    auto bindTo = [&](const char* address) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(Ip(address));
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    };
    int asked = bindTo("127.0.9.1");
    int forger = bindTo("127.0.9.2");
    std::atomic<bool> stop{false};
    std::thread agent([&] {
        std::vector<uint8_t> buf(65535);
        qm::testsupport::Mib printer = qm::testsupport::PrinterMib(1, "0050C2A100EE", true);
        while (!stop) {
            pollfd p{asked, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(asked, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            qm::snmp::Message m;
            if (qm::snmp::DecodeMessage(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)), &m) !=
                qm::snmp::BerStatus::kOk) {
                continue;
            }
            std::vector<uint8_t> good = qm::testsupport::Respond(printer, m);
            std::vector<uint8_t> truncated(good.begin(), good.end() - 3);
            const uint8_t junk[] = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02};
            ::sendto(asked, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&from), len);
            ::sendto(asked, truncated.data(), truncated.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            ::sendto(forger, good.data(), good.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    int h = Start("127.0.9.1", 0x03);
    std::vector<Result> found = Drain(h);
    QBTerminateDiscovery(h);
    stop = true;
    agent.join();
    ::close(asked);
    ::close(forger);
    EXPECT_TRUE(found.empty()) << found[0].text;
}

}  // namespace
