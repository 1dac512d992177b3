// The trap registration handshake: a helper served in a thread of the test (its registrar
// records the calls), requesters in threads, helpers that die or end, and the real qntpset
// program started by a request and registering on a simulated printer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "qm/platform/errors.h"
#include "qm/platform/named_objects.h"
#include "qm/platform/registry.h"
#include "qm/qntpset/handshake.h"
#include "qm/testing/testing.h"
#include "server.h"
#include "simulator.h"
#include "trap_printer.h"

namespace qm::qntpset {
namespace {

using namespace std::chrono_literals;
using platform::kOk;
using qm::testing::Eventually;
using qm::testing::TempRoot;

constexpr const char* kSetup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";

struct Call {
    int command;
    std::string address;
    bool operator==(const Call&) const = default;
};

// A helper served on a thread of the test process; its registrar records every call and takes
// `work` to return, as an SNMP exchange would.
class ThreadHelper {
public:
    explicit ThreadHelper(ServerOptions options, std::chrono::milliseconds work = 0ms) : work_(work) {
        if (!options.stop) options.stop = &stop_;
        thread_ = std::thread([this, options] {
            result_ = Serve(options, [this](int command, const std::string& address) {
                std::this_thread::sleep_for(work_);
                std::lock_guard lock(mu_);
                calls_.push_back({command, address});
                return 0;
            });
            ended_ = true;
        });
    }
    ~ThreadHelper() {
        stop_ = true;
        thread_.join();
    }
    std::vector<Call> Calls() {
        std::lock_guard lock(mu_);
        return calls_;
    }
    bool ended() const { return ended_; }
    int result() const { return result_; }

private:
    std::chrono::milliseconds work_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<Call> calls_;
    std::atomic<bool> ended_{false};
    std::atomic<int> result_{-1};
    std::thread thread_;
};

bool Exists(const char* mutexName) {
    platform::NamedMutex m;
    return m.Open(mutexName) == kOk;
}

bool EventExists(const char* name) {
    platform::NamedEvent e;
    return e.Open(name) == kOk;
}

ServerOptions Quick(std::chrono::milliseconds idle) {
    ServerOptions o;
    o.idle = idle;
    o.grace = 300ms;
    o.wake = 200ms;
    return o;
}

// The real program in the root's bin/, where the requester looks for "qntpset.exe"; it ends
// by itself after `idleSeconds`.
void InstallHelper(const TempRoot& root, int idleSeconds) {
    std::filesystem::create_symlink(qm::testing::BuildBinFolder() + "/qntpset", root / "bin/qntpset");
    platform::RegSetNumber(platform::RegRoot::LocalMachine, kSetup, "QntpsetIdleTime",
                           static_cast<uint32_t>(idleSeconds), true);
}

bool HelperGone() { return Eventually([] { return !Exists(kMutexName); }, 30s); }

TEST(QntpsetHandshake, EachRequestIsAcknowledgedAfterItsRegistrationReturned) {
    TempRoot root;
    ThreadHelper helper(Quick(10s), 300ms);
    ASSERT_TRUE(Eventually([] { return Exists(kMutexName); }));
    EXPECT_EQ(RequestTrapRegistration(1, "192.0.2.10"), kRequestOk);
    // The registrar has returned (and recorded) before the requester was let go.
    EXPECT_EQ(helper.Calls(), (std::vector<Call>{{1, "192.0.2.10"}}));
    EXPECT_EQ(RequestTrapRegistration(9, "255.255.255.255"), kRequestOk);
    EXPECT_EQ(helper.Calls(), (std::vector<Call>{{1, "192.0.2.10"}, {9, "255.255.255.255"}}));
}

TEST(QntpsetHandshake, ManyRequestersAtOnceAreAllServed) {
    TempRoot root;
    ThreadHelper helper(Quick(10s), 20ms);
    ASSERT_TRUE(Eventually([] { return Exists(kMutexName); }));
    std::vector<std::thread> requesters;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        requesters.emplace_back([t, &failures] {
            for (int i = 0; i < 5; ++i) {
                std::string address = "10.0." + std::to_string(t) + "." + std::to_string(i);
                if (RequestTrapRegistration(i % 2 ? 9 : 1, address.c_str()) != kRequestOk) ++failures;
            }
        });
    }
    for (auto& r : requesters) r.join();
    EXPECT_EQ(failures.load(), 0);
    auto calls = helper.Calls();
    ASSERT_EQ(calls.size(), 20u);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 5; ++i) {
            Call want{i % 2 ? 9 : 1, "10.0." + std::to_string(t) + "." + std::to_string(i)};
            EXPECT_EQ(std::count(calls.begin(), calls.end(), want), 1) << want.address;
        }
    }
}

// A requester written exactly to the database's steps (event created initially set, block
// written, event set, acknowledgement awaited) gets its acknowledgement also for a request the
// helper cannot use; the helper does not call the registrar for it.
TEST(QntpsetHandshake, LiteralRequesterAndUnusableRequests) {
    TempRoot root;
    ThreadHelper helper(Quick(10s));
    ASSERT_TRUE(Eventually([] { return Exists(kMutexName); }));
    auto literal = [](const char* bytes, size_t n) {
        platform::NamedEvent event;
        if (event.Create(kEventName, true) > platform::kErrAlreadyExists) return false;
        platform::SharedBlock block;
        if (block.Open(kBlockName) != kOk || block.Size() != kRequestBlockSize) return false;
        if (block.Write(0, std::span<const char>(bytes, n)) != kOk || event.Set() != kOk) return false;
        block.Close();
        return event.Wait(20000) == kOk;
    };
    EXPECT_TRUE(literal("1\0" "192.0.2.20", 13));
    EXPECT_TRUE(literal("7\0" "192.0.2.21", 13));              // unknown command
    EXPECT_TRUE(literal("9\0" "192.0.2.256", 14));             // not an address
    EXPECT_TRUE(literal("9\0" "192.0.2.22.1234567890", 24));   // too long
    EXPECT_TRUE(literal("19\0" "192.0.2.23", 14));
    std::string full(kRequestBlockSize, '1');                 // no terminator anywhere
    EXPECT_TRUE(literal(full.data(), full.size()));
    EXPECT_TRUE(literal("9\0" "192.0.2.24", 13));
    EXPECT_EQ(helper.Calls(), (std::vector<Call>{{1, "192.0.2.20"}, {9, "192.0.2.24"}}));

    EXPECT_EQ(RequestTrapRegistration(2, "192.0.2.1"), kRequestBadCommand);
    EXPECT_EQ(RequestTrapRegistration(1, "192.0.2.300"), kRequestBadCommand);
    EXPECT_EQ(RequestTrapRegistration(9, nullptr), kRequestBadCommand);
    EXPECT_EQ(RequestTrapRegistration(9, "printer.example"), kRequestBadCommand);
}

TEST(QntpsetHandshake, SecondHelperLeavesTheFirstServing) {
    TempRoot root;
    ThreadHelper first(Quick(10s));
    ASSERT_TRUE(Eventually([] { return Exists(kMutexName); }));
    EXPECT_EQ(Serve(Quick(10s), [](int, const std::string&) { return 0; }), 1);
    EXPECT_EQ(RequestTrapRegistration(1, "192.0.2.30"), kRequestOk);
    EXPECT_EQ(first.Calls().size(), 1u);
}

// Idle, the helper ends and takes its objects along; a request during its ending waits until
// it is gone and is then served by a fresh helper (the real program, started by the request).
TEST(QntpsetHandshake, EndsWhenIdleAndLaterRequestsStartTheNextHelper) {
    TempRoot root;
    InstallHelper(root, 2);
    platform::RegSetString(platform::RegRoot::LocalMachine, kSetup, "TrapDestinationAddress", "192.0.2.77", true);
    // Requests go to a printer nobody answers for: the helper's call fails fast, which is
    // traced and still acknowledged.
    platform::RegSetNumber(platform::RegRoot::LocalMachine, kSetup, "SnmpPort",
                           static_cast<uint32_t>(testsupport::FreeUdpPort()), true);
    ServerOptions options = Quick(500ms);
    options.grace = 1500ms;
    ThreadHelper helper(options);
    ASSERT_TRUE(Eventually([] { return Exists(kMutexName); }));
    ASSERT_TRUE(Eventually([] { return EventExists(kEndingEventName); }));
    EXPECT_EQ(RequestTrapRegistration(1, "127.0.0.1"), kRequestOk);
    EXPECT_TRUE(Exists(kMutexName)) << "the request did not start a new helper";
    EXPECT_TRUE(helper.Calls().empty()) << "the ending helper took a request after it began to end";
    EXPECT_TRUE(Eventually([&] { return helper.ended(); }));
    EXPECT_EQ(helper.result(), 0);
    EXPECT_FALSE(EventExists(kEndingEventName));
    EXPECT_TRUE(HelperGone());
    std::string log = testsupport::RunCommand("cat '" + (root / "log/qbtrace.log") + "'");
    EXPECT_NE(log.find("QNTPSET: command 1 for 127.0.0.1 gave -1"), std::string::npos) << log;
}

// A helper that dies holding a request does not leave its requester waiting for ever.
TEST(QntpsetHandshake, HelperDyingBeforeTheAcknowledgementGivesMinus104) {
    TempRoot root;
    qm::testing::Holder dying([](const qm::testing::Holder::Hold& hold) {
        platform::NamedEvent event;
        platform::SharedBlock block;
        platform::NamedMutex mutex;
        if (event.Create(kEventName, false) != kOk || block.Create(kBlockName, kRequestBlockSize) != kOk ||
            mutex.Create(kMutexName) != kOk) {
            return 1;
        }
        hold();  // takes requests, never answers
        return 0;
    });
    ASSERT_TRUE(dying.ready());
    std::atomic<int> result{1};
    std::thread requester([&] { result = RequestTrapRegistration(1, "192.0.2.40"); });
    platform::SharedBlock block;
    ASSERT_EQ(block.Open(kBlockName), kOk);
    ASSERT_TRUE(Eventually([&] { return std::strcmp(block.Data() + 2, "192.0.2.40") == 0; }));
    block.Close();
    dying.Kill(9);
    dying.Wait();
    requester.join();
    EXPECT_EQ(result.load(), kRequestNoAck);
}

// ---- The real program on a simulated printer --------------------------------------------

TEST(QntpsetProgram, RegistersAndRemovesThroughTheHandshake) {
    if (!testsupport::HaveProgram("snmpget")) GTEST_SKIP() << "net-snmp's snmpget is not installed";
    TempRoot root;
    trapdest::test::TrapPrinter printer({"10.20.30.40", "0.0.0.0", 1, 0}, 93);
    if (!printer.ok()) GTEST_SKIP() << printer.why();
    trapdest::test::ConfigureRoot(printer.port(), "192.0.2.77");
    InstallHelper(root, 2);
    const std::string ip = printer.address();
    trapdest::test::Slots now;
    EXPECT_EQ(RequestTrapRegistration(1, ip.c_str()), kRequestOk);
    ASSERT_TRUE(printer.Read(&now));
    EXPECT_EQ(now, (trapdest::test::Slots{"10.20.30.40", "192.0.2.77", 1, 1}));
    EXPECT_EQ(RequestTrapRegistration(9, ip.c_str()), kRequestOk);
    ASSERT_TRUE(printer.Read(&now));
    EXPECT_EQ(now, (trapdest::test::Slots{"10.20.30.40", "0.0.0.0", 1, 0}));
    EXPECT_TRUE(HelperGone());
}

TEST(QntpsetProgram, HelpNamesTheAddressAndTheLoopbackSetting) {
    TempRoot root;
    const std::string program = qm::testing::BuildBinFolder() + "/qntpset";
    platform::RegSetString(platform::RegRoot::LocalMachine, kSetup, "TrapDestinationAddress", "192.0.2.9", true);
    int status = -1;
    std::string out = testsupport::RunCommand(program + " --help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("TrapDestinationAddress"), std::string::npos);
    EXPECT_NE(out.find("loopback"), std::string::npos);
    EXPECT_NE(out.find("registers as 192.0.2.9 (setting)"), std::string::npos) << out;
    testsupport::RunCommand(program + " --idle-time 0 2>/dev/null", &status);
    EXPECT_EQ(status, 2);
    testsupport::RunCommand(program + " --set 1.2.3.4 --reset 1.2.3.4 2>/dev/null", &status);
    EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace qm::qntpset
