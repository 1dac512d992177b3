// Several processes and threads on the same configuration files at once.
#include <atomic>
#include <memory>
#include <thread>

#include "dbtest.h"

using namespace dbtest;
using qm::testing::Child;

namespace {

class Concurrency : public DbTest {};

// Each child must start with its own store context, as a new process would.
int InChild(const std::function<int()>& body) {
    DBMgrRelease();
    if (DBMgrInitialize() != 0) return 90;
    return body();
}

TEST_F(Concurrency, DeviceWritesFromTwoProcessesAreAllKept) {
    constexpr int kDevices = 40;
    std::vector<std::unique_ptr<Child>> children;
    for (int p = 0; p < 2; ++p) {
        children.push_back(std::make_unique<Child>([p] {
            return InChild([p] {
                for (int i = 0; i < kDevices; ++i) {
                    std::string key = "p" + std::to_string(p) + "-" + std::to_string(i);
                    if (DBWriteDeviceInfo(key.c_str(), "DEV_SerialNum", key.c_str()) != 0) return 1;
                    // Both processes also change their own item of one shared device.
                    const char* item = p == 0 ? "DEV_Description" : "DEV_ManagmentNum";
                    if (DBWriteDeviceInfo("shared", item, std::to_string(i).c_str()) != 0) return 2;
                }
                return 0;
            });
        }));
    }
    for (auto& c : children) EXPECT_EQ(c->Wait(std::chrono::seconds(60)), 0);
    int n = 0;
    ASSERT_EQ(DBReadDeviceKeyList(&n, nullptr), 0);
    EXPECT_EQ(n, 2 * kDevices + 1);
    EXPECT_EQ(ReadDevice("p1-17", "DEV_SerialNum"), "p1-17");
    // Locked read-modify-write: neither process overwrote the other's last value.
    EXPECT_EQ(ReadDevice("shared", "DEV_Description"), std::to_string(kDevices - 1));
    EXPECT_EQ(ReadDevice("shared", "DEV_ManagmentNum"), std::to_string(kDevices - 1));
}

TEST_F(Concurrency, ProcessesRacingToCreateTheSettingsFileBothSucceed) {
    std::vector<std::unique_ptr<Child>> children;
    for (int p = 0; p < 3; ++p) {
        children.push_back(std::make_unique<Child>([p] {
            return InChild([p] {
                std::string item = "QMC_Race" + std::to_string(p);
                if (DBWriteQMInfo(item.c_str(), "v") != 0) return 1;
                char data[256];
                return DBReadQMInfo("QMC_Race0", data) == 0 ? 0 : 2;
            });
        }));
    }
    for (auto& c : children) EXPECT_EQ(c->Wait(std::chrono::seconds(60)), 0);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(ReadQM(("QMC_Race" + std::to_string(p)).c_str()), "v");
    EXPECT_EQ(ReadQM("QMC_MaxLogSize"), "524288");
}

TEST_F(Concurrency, MembersAddedFromTwoProcessesAreAllThere) {
    GroupNames();
    ASSERT_EQ(DBCreateGroupInfo("Lab"), 0);
    std::vector<std::unique_ptr<Child>> children;
    for (int p = 0; p < 2; ++p) {
        children.push_back(std::make_unique<Child>([p] {
            return InChild([p] {
                DBHANDLE h = DBOpenDeviceKeyInGroup("Lab");
                if (h == DB_NO_HANDLE) return 1;
                for (int i = 0; i < 30; ++i) {
                    std::string key = "m" + std::to_string(p) + "-" + std::to_string(i);
                    if (DBWriteDeviceKeyInGroup(h, key.c_str()) != 0) return 2;
                }
                return DBCloseDeviceKeyInGroup(h) == 0 ? 0 : 3;
            });
        }));
    }
    for (auto& c : children) EXPECT_EQ(c->Wait(std::chrono::seconds(60)), 0);
    EXPECT_EQ(MembersOf("Lab").size(), 60u);
}

TEST_F(Concurrency, TwoThreadsRewritingAllDevicesLeaveOnlyTheFirstOnesList) {
    std::atomic<int> phase{0};
    auto writer = [&phase](const char* prefix, int myTurn) {
        DBMgrInitialize();
        DBHANDLE h = DBOpenDeviceKeyInGroup(nullptr);
        for (int i = 0; i < 5; ++i) {
            while (phase.load() % 2 != myTurn) std::this_thread::yield();
            DBWriteDeviceKeyInGroup(h, (prefix + std::to_string(i)).c_str());
            ++phase;
        }
        while (phase.load() < 10) std::this_thread::yield();
        DBCloseDeviceKeyInGroup(h);
        DBMgrRelease();
    };
    std::thread a(writer, "a", 0), b(writer, "b", 1);
    a.join();
    b.join();
    EXPECT_EQ(MembersOf(nullptr), (std::vector<std::string>{"a0", "a1", "a2", "a3", "a4"}));
}

}  // namespace
