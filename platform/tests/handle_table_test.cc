#include "qm/platform/handle_table.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

using qm::platform::HandleTable;

TEST(HandleTable, HandlesCountFromOneAndFindTheirObject) {
    HandleTable<int> t;
    int32_t a = t.Add(std::make_shared<int>(7));
    int32_t b = t.Add(std::make_shared<int>(8));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    ASSERT_NE(t.Find(b), nullptr);
    EXPECT_EQ(*t.Find(b), 8);
    EXPECT_EQ(t.Find(0), nullptr);
    EXPECT_EQ(t.Find(-1), nullptr);
    EXPECT_EQ(t.Add(nullptr), 0);
}

TEST(HandleTable, RemovedObjectLivesWhileSomeoneHoldsIt) {
    HandleTable<int> t;
    int32_t h = t.Add(std::make_shared<int>(5));
    auto held = t.Find(h);
    auto removed = t.Remove(h);
    EXPECT_EQ(t.Find(h), nullptr);
    EXPECT_EQ(t.Remove(h), nullptr);
    EXPECT_EQ(*held, 5);
    EXPECT_EQ(held.use_count(), 2);
}

TEST(HandleTable, WrapsToOneAndSkipsHandlesInUse) {
    HandleTable<int> t(4);
    for (int i = 1; i <= 4; ++i) ASSERT_EQ(t.Add(std::make_shared<int>(i)), i);
    EXPECT_EQ(t.Add(std::make_shared<int>(9)), 0);  // all taken
    t.Remove(3);
    EXPECT_EQ(t.Add(std::make_shared<int>(30)), 3);  // wrapped past 4, skipped 1 and 2
    t.Remove(1);
    t.Remove(4);
    // The next after 3 is 4, which is free again; then 1.
    EXPECT_EQ(t.Add(std::make_shared<int>(40)), 4);
    EXPECT_EQ(t.Add(std::make_shared<int>(10)), 1);
    EXPECT_EQ(t.size(), 4u);
}

TEST(HandleTable, NoHandleIsGivenTwiceUnderConcurrentUse) {
    HandleTable<int> t(1000);
    std::vector<std::thread> threads;
    std::vector<std::vector<int32_t>> got(4);
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            for (int i = 0; i < 200; ++i) got[k].push_back(t.Add(std::make_shared<int>(i)));
        });
    }
    for (auto& th : threads) th.join();
    std::set<int32_t> all;
    for (auto& v : got)
        for (int32_t h : v) {
            EXPECT_GT(h, 0);
            all.insert(h);
        }
    EXPECT_EQ(all.size(), 800u);
    EXPECT_EQ(t.TakeAll().size(), 800u);
    EXPECT_EQ(t.size(), 0u);
}

}  // namespace
