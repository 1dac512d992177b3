#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "qm/platform/named_objects.h"
#include "qm/testing/testing.h"

namespace qm::platform {

using testing::Child;
using testing::TempRoot;

TEST(NamedMutex, CreateOpenAndLifetime) {
    TempRoot root;
    NamedMutex probe;
    EXPECT_EQ(probe.Open("QmonmgrMutex"), kErrFileNotFound);
    {
        NamedMutex a, b;
        EXPECT_EQ(a.Create("QmonmgrMutex"), 0);
        EXPECT_EQ(b.Create("QmonmgrMutex"), kErrAlreadyExists);
        EXPECT_EQ(probe.Open("QmonmgrMutex"), 0);
        probe.Close();
        EXPECT_EQ(probe.Open("qmonmgrmutex"), kErrFileNotFound) << "object names keep case";
    }
    EXPECT_EQ(probe.Open("QmonmgrMutex"), kErrFileNotFound) << "vanishes with its last handle";
    NamedMutex again;
    EXPECT_EQ(again.Create("QmonmgrMutex"), 0);
}

TEST(NamedMutex, ExistsWhileAnotherProcessHoldsAHandle) {
    TempRoot root;
    testing::Holder child([&](const testing::Holder::Hold& hold) {
        NamedMutex m;
        if (m.Create("Marker") != 0) return 1;
        hold();
        return 0;
    });
    ASSERT_TRUE(child.ready());
    NamedMutex probe;
    EXPECT_EQ(probe.Open("Marker"), 0);
    probe.Close();
    child.Kill(9);
    EXPECT_EQ(child.Wait(), -9);
    EXPECT_EQ(probe.Open("Marker"), kErrFileNotFound) << "a killed holder leaves nothing";
    NamedMutex fresh;
    EXPECT_EQ(fresh.Create("Marker"), 0) << "the next start creates it anew";
}

TEST(NamedMutex, OwnershipIsRecursiveAndPerThread) {
    TempRoot root;
    NamedMutex m;
    ASSERT_EQ(m.Create("Own"), 0);
    EXPECT_EQ(m.Release(), kErrNotOwner);
    ASSERT_EQ(m.Wait(), 0);
    ASSERT_EQ(m.Wait(), 0);
    // What another thread's wait on the same mutex gives, within `timeoutMs`.
    auto otherThreadWaits = [](uint32_t timeoutMs) {
        int result = -1;
        std::thread([&] {
            NamedMutex h;
            h.Create("Own");
            result = h.Wait(timeoutMs);
            if (result == 0) h.Release();
        }).join();
        return result;
    };
    EXPECT_EQ(otherThreadWaits(50), kWaitTimeout);
    EXPECT_EQ(m.Release(), 0);
    EXPECT_EQ(otherThreadWaits(50), kWaitTimeout) << "still held once more";
    EXPECT_EQ(m.Release(), 0);
    EXPECT_EQ(otherThreadWaits(1000), 0);
}

TEST(NamedMutex, ExcludesOtherProcessesAndIsFreedWhenTheOwnerDies) {
    TempRoot root;
    testing::Holder holder([&](const testing::Holder::Hold& hold) {
        NamedMutex m;
        m.Create("NtfDBCompact");
        if (m.Wait() != 0) return 1;
        hold();
        return 0;
    });
    ASSERT_TRUE(holder.ready());
    NamedMutex m;
    ASSERT_EQ(m.Create("NtfDBCompact"), kErrAlreadyExists);
    EXPECT_EQ(m.Wait(100), kWaitTimeout);
    holder.Kill(9);
    holder.Wait();
    EXPECT_EQ(m.Wait(2000), 0) << "an owner's death releases the mutex";
    EXPECT_EQ(m.Release(), 0);
}

TEST(NamedMutex, SerialisesReadModifyWriteAcrossProcesses) {
    TempRoot root;
    const std::string counter = root / "counter";
    std::ofstream(counter) << 0;
    constexpr int kProcs = 4, kRounds = 150;
    std::vector<std::unique_ptr<Child>> kids;
    for (int p = 0; p < kProcs; ++p) {
        kids.push_back(std::make_unique<Child>([&] {
            NamedMutex m;
            m.Create("Counter");
            for (int i = 0; i < kRounds; ++i) {
                if (m.Wait() != 0) return 1;
                int v = 0;
                std::ifstream(counter) >> v;
                std::ofstream(counter, std::ios::trunc) << v + 1;
                if (m.Release() != 0) return 2;
            }
            return 0;
        }));
    }
    for (auto& k : kids) EXPECT_EQ(k->Wait(std::chrono::seconds(60)), 0);
    int v = 0;
    std::ifstream(counter) >> v;
    EXPECT_EQ(v, kProcs * kRounds);
}

}  // namespace qm::platform
