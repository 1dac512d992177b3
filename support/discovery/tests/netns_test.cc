// Broadcast and "Local" for real, but never on this machine's own network: the test builds
// private network namespaces joined by bridges, runs simulated printers inside them, and
// searches from a namespace whose only interfaces are test veths.
//
//   segment A (bridge in ns "sw"): discoverer 10.77.0.1, printers .11 and .12 (listening on
//       every address, so they hear broadcasts) and .13 (listening on its own address only,
//       so only a unicast sweep finds it)
//   segment B (second bridge):     discoverer 10.78.0.1, printer 10.78.0.14
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "QBAPI.h"
#include "qm/testing/testing.h"
#include "simulator.h"

namespace {

using qm::testsupport::RunCommand;

struct Printer {
    std::string ns;
    std::string address;
    std::string file;
    bool hearsBroadcast;
    std::string expected;  // result text
    int type;
};

class NetLab {
public:
    NetLab() {
        if (::geteuid() != 0) {
            why_ = "network namespaces need root";
            return;
        }
        if (!qm::testsupport::HaveProgram("ip") || !qm::testsupport::HaveProgram("snmpsimd")) {
            why_ = "needs iproute2 and snmpsim";
            return;
        }
        prefix_ = "qmd" + std::to_string(::getpid());
        state_ = "/tmp/" + prefix_ + "-lab";
        std::filesystem::create_directories(state_ + "/cache");
        ::chmod(state_.c_str(), 0755);
        RunCommand("chown nobody '" + state_ + "/cache' 2>/dev/null");
        std::string p = QM_PRINTERS_DIR, t = QM_TEST_DATA_DIR;
        printers_ = {
            {Ns("p1"), "10.77.0.11", p + "/1-mono-laser.snmprec", true, "10.77.0.11;;0050C2A10001;1", QB_DEVTYPE_PRINTER_PRIVATE},
            {Ns("p2"), "10.77.0.12", p + "/2-color-laser.snmprec", true, "10.77.0.12;;0050C2A10002;1", QB_DEVTYPE_PRINTER_PRIVATE},
            {Ns("p3"), "10.77.0.13", t + "/6-host-printer.snmprec", false, "10.77.0.13;;0050C2A10006;3", QB_DEVTYPE_HOST_PRINTER},
            {Ns("p4"), "10.78.0.14", p + "/4-alerts-mfp.snmprec", true, "10.78.0.14;;0050C2A10004;1", QB_DEVTYPE_PRINTER_PRIVATE},
        };
        if (!Build()) return;
        if (!StartAgents()) return;
        ok_ = true;
    }

    ~NetLab() {
        // Every process inside our namespaces is one of our agents: end them by pid, then the
        // namespaces (their veths and bridges go with them).
        for (const std::string& ns : made_) {
            std::istringstream pids(RunCommand("ip netns pids " + ns + " 2>/dev/null"));
            std::string pid;
            while (pids >> pid) RunCommand("kill -9 " + pid + " 2>/dev/null");
        }
        for (const std::string& ns : made_) RunCommand("ip netns del " + ns + " 2>/dev/null");
        std::error_code ec;
        if (!state_.empty()) std::filesystem::remove_all(state_, ec);
    }

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }
    std::string Ns(const char* role) const { return prefix_ + role; }
    const std::vector<Printer>& printers() const { return printers_; }

private:
    bool Sh(const std::string& command) {
        int status = 0;
        std::string out = RunCommand(command + " 2>&1", &status);
        if (status != 0 && why_.empty()) why_ = "'" + command + "' failed: " + out;
        return status == 0;
    }

    bool AddNs(const std::string& ns) {
        if (!Sh("ip netns add " + ns)) return false;
        made_.push_back(ns);
        return Sh("ip -n " + ns + " link set lo up");
    }

    // A veth from `ns` (named `ifname`, with `cidr`) to bridge `bridge` in the switch namespace.
    // Both ends are created directly inside their namespaces: nothing appears on this host.
    bool Wire(const std::string& ns, const std::string& ifname, const std::string& cidr, const std::string& bridge,
              const std::string& port) {
        std::string sw = Ns("sw");
        return Sh("ip link add name " + ifname + " netns " + ns + " type veth peer name " + port + " netns " + sw) &&
               Sh("ip -n " + sw + " link set " + port + " master " + bridge + " up") &&
               Sh("ip -n " + ns + " addr add " + cidr + " dev " + ifname) &&
               Sh("ip -n " + ns + " link set " + ifname + " up");
    }

    bool Build() {
        std::string sw = Ns("sw"), d = Ns("d");
        if (!AddNs(sw) || !AddNs(d)) return false;
        for (const char* br : {"bra", "brb"}) {
            if (!Sh("ip -n " + sw + " link add " + br + " type bridge") || !Sh("ip -n " + sw + " link set " + br + " up")) {
                return false;
            }
        }
        if (!Wire(d, "eth0", "10.77.0.1/24", "bra", "sd0") || !Wire(d, "eth1", "10.78.0.1/24", "brb", "sd1")) return false;
        int k = 0;
        for (const Printer& p : printers_) {
            std::string bridge = p.address.rfind("10.77.", 0) == 0 ? "bra" : "brb";
            if (!AddNs(p.ns) || !Wire(p.ns, "eth0", p.address + "/24", bridge, "sp" + std::to_string(k++))) return false;
        }
        return true;
    }

    bool StartAgents() {
        std::string group = RunCommand("getent group nogroup >/dev/null && echo nogroup || echo nobody");
        while (!group.empty() && group.back() == '\n') group.pop_back();
        for (const Printer& p : printers_) {
            std::string dir = state_ + "/" + p.ns;
            std::filesystem::create_directories(dir);
            ::chmod(dir.c_str(), 0755);
            std::filesystem::create_symlink(p.file, dir + "/tarlow.snmprec");
            std::string endpoint = (p.hearsBroadcast ? "0.0.0.0" : p.address) + ":161";
            if (!Sh("ip netns exec " + p.ns + " setsid snmpsimd --data-dir=" + dir + "/ --agent-udpv4-endpoint=" +
                    endpoint + " --cache-dir=" + state_ + "/cache --logging-method=null --process-user=nobody" +
                    " --process-group=" + group + " </dev/null >/dev/null 2>&1 &")) {
                return false;
            }
        }
        // snmpsim indexes its data before it answers.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        for (const Printer& p : printers_) {
            for (;;) {
                int status = 0;
                RunCommand("ip netns exec " + Ns("d") + " snmpget -v1 -c tarlow -t 1 -r 0 " + p.address +
                               " 1.3.6.1.2.1.1.1.0 >/dev/null 2>&1",
                           &status);
                if (status == 0) break;
                if (std::chrono::steady_clock::now() > until) {
                    why_ = "simulated printer " + p.address + " did not answer";
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
        }
        return true;
    }

    std::string prefix_;
    std::string state_;
    std::vector<std::string> made_;
    std::vector<Printer> printers_;
    bool ok_ = false;
    std::string why_;
};

uint64_t NamespaceId() {
    struct stat st{};
    return ::stat("/proc/self/ns/net", &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

class NamespaceDiscovery : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lab_ = new NetLab(); }
    static void TearDownTestSuite() {
        delete lab_;
        lab_ = nullptr;
    }
    void SetUp() override {
        if (!lab_->ok()) GTEST_SKIP() << "network namespaces unavailable: " << lab_->why();
    }

    // Runs one search inside the discoverer's namespace (in a child process, so this process
    // stays where it is) and returns "type|text" for each result.
    std::vector<std::string> Discover(const std::string& list, unsigned long param) {
        std::string out = root_ / "log/results.txt";
        std::string ns = "/run/netns/" + lab_->Ns("d");
        // The guard that keeps a broadcast from ever leaving this machine, even if the lab
        // set-up went wrong: the child searches only once it is out of the test's namespace.
        uint64_t home = NamespaceId();
        qm::testing::Child child([&]() -> int {
            int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) return 10;
            if (home == 0 || NamespaceId() == home) return 11;
            if (QBInitialize() != QB_OK) return 12;
            const char* pairs[] = {"IP", list.c_str()};
            int size = 0;
            int h = QBStartDiscovery(pairs, 1, param, &size);
            if (h <= 0) return 13;
            std::ofstream file(out);
            std::vector<char> buffer(static_cast<size_t>(size) + 10);
            int type = 0, rc = 0;
            while ((rc = QBGetDiscoveryResult(h, -1, &type, buffer.data())) == QB_OK) {
                file << type << "|" << buffer.data() << "\n";
            }
            QBTerminateDiscovery(h);
            QBRelease();
            return rc == QB_FINISHED ? 0 : 14;
        });
        EXPECT_EQ(child.Wait(std::chrono::seconds(30)), 0);
        std::vector<std::string> lines;
        std::ifstream in(out);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    std::vector<std::string> Expected(std::initializer_list<int> which) {
        std::vector<std::string> lines;
        for (int k : which) {
            const Printer& p = lab_->printers()[static_cast<size_t>(k)];
            lines.push_back(std::to_string(p.type) + "|" + p.expected);
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    qm::testing::TempRoot root_;
    static NetLab* lab_;
};
NetLab* NamespaceDiscovery::lab_ = nullptr;

TEST_F(NamespaceDiscovery, SubnetBroadcastFindsEveryListeningPrinterOnce) {
    // Printer .11 is also listed by itself: it answers twice and is reported once.
    EXPECT_EQ(Discover("10.77.0.11;10.77.0.0|255.255.255.0", 0x0A), Expected({0, 1}));
}

TEST_F(NamespaceDiscovery, SweepAlsoFindsPrintersThatIgnoreBroadcast) {
    EXPECT_EQ(Discover("10.77.0.255|255.255.255.0", 0x0A | QB_PARAM_SWEEP), Expected({0, 1, 2}));
}

TEST_F(NamespaceDiscovery, LocalAsksTheBroadcastOfEveryInterface) {
    EXPECT_EQ(Discover("Local", 0x0A), Expected({0, 1, 3}));
    EXPECT_EQ(Discover("LOCAL", 0x0A | QB_PARAM_SWEEP | QB_PARAM_V2C), Expected({0, 1, 2, 3}));
}

}  // namespace
