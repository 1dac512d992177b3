// Reverse lookups: loopback has a name, bad input and tiny buffers are handled.
#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "qmrslv.h"

namespace {

TEST(Resolver, LoopbackResolvesToAName) {
    char name[128];
    ASSERT_NE(LookupHostName("127.0.0.1", name, sizeof name), 0);
    EXPECT_GT(std::strlen(name), 0u);
    EXPECT_STRNE(name, "127.0.0.1");
}

TEST(Resolver, NameIsCutToTheBuffer) {
    char name[4] = {'x', 'x', 'x', 'x'};
    ASSERT_NE(LookupHostName("127.0.0.1", name, sizeof name), 0);
    EXPECT_LE(std::strlen(name), 3u);
}

TEST(Resolver, BadArgumentsFailWithoutTouchingMemory) {
    char name[16] = "unchanged";
    EXPECT_EQ(LookupHostName(nullptr, name, sizeof name), 0);
    EXPECT_EQ(LookupHostName("127.0.0.1", nullptr, 16), 0);
    EXPECT_EQ(LookupHostName("127.0.0.1", name, 0), 0);
    EXPECT_STREQ(name, "unchanged");
    EXPECT_EQ(LookupHostName("not an address", name, sizeof name), 0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(LookupHostName("999.1.1.1", name, sizeof name), 0);
}

TEST(Resolver, AnswersWithinTheBound) {
    setenv("QM_RESOLVER_TIMEOUT_MS", "3000", 1);
    char name[128];
    auto start = std::chrono::steady_clock::now();
    // A documentation-only address: either no name quickly, or the bound cuts the wait.
    LookupHostName("192.0.2.77", name, sizeof name);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
}

}  // namespace

namespace {

// Each lookup joins the helpers that have ended before it; many in a row, from several
// threads, must neither hang nor pile up.
TEST(Resolver, ManyLookupsInARowFromSeveralThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                char name[64];
                if (LookupHostName("127.0.0.1", name, sizeof name)) ++found;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(found.load(), 30);
}

}  // namespace
