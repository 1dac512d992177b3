#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "qm/platform/named_objects.h"
#include "qm/testing/testing.h"

namespace qm::platform {

using testing::Child;
using testing::TempRoot;

TEST(NamedEvent, AutoResetAndInitialState) {
    TempRoot root;
    NamedEvent a, b;
    ASSERT_EQ(a.Create("E", true), 0);
    ASSERT_EQ(b.Create("E", false), kErrAlreadyExists) << "existing state kept";
    EXPECT_EQ(b.Wait(0), 0) << "initially signalled";
    EXPECT_EQ(b.Wait(0), kWaitTimeout) << "one wait consumed it";
    NamedEvent c;
    EXPECT_EQ(c.Open("Missing"), kErrFileNotFound);
    ASSERT_EQ(c.Open("E"), 0);
    a.Set();
    EXPECT_EQ(c.Reset(), 0);
    EXPECT_EQ(b.Wait(0), kWaitTimeout);
}

TEST(NamedEvent, StaysSignalledUntilOneWaitAndNeverFeedsItsSetter) {
    TempRoot root;
    NamedEvent sender, receiver;
    ASSERT_EQ(sender.Create("Ctl", false), 0);
    ASSERT_EQ(receiver.Open("Ctl"), 0);
    sender.Set();
    EXPECT_EQ(sender.Wait(30), kWaitTimeout) << "the setter must not steal its own hand-off";
    EXPECT_EQ(receiver.Wait(0), 0);
    EXPECT_EQ(receiver.Wait(0), kWaitTimeout);
}

TEST(NamedEvent, OneSetWakesExactlyOneWaiter) {
    TempRoot root;
    NamedEvent setter;
    ASSERT_EQ(setter.Create("One", false), 0);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            NamedEvent e;
            e.Open("One");
            if (e.Wait(400) == 0) ++woken;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    setter.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken, 1);
}

// The control-command pattern: both ends wait on the same event. The sender writes a command
// into the shared block, sets the event, and waits for the server's acknowledgement on the very
// same event. Every command must be seen by the server and acknowledged exactly once.
TEST(NamedEvent, ControlChannelHandOffAcrossProcesses) {
    TempRoot root;
    constexpr int kCommands = 300;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    Child server([&] {
        NamedEvent ev;
        SharedBlock block;
        if (ev.Create("EventServiceCtrl", false) != 0 || block.Create("MapServiceCtrl") != 0) {
            return 1;
        }
        char c = 'r';
        if (write(ready[1], &c, 1) != 1) return 2;
        for (int i = 0; i < kCommands; ++i) {
            if (ev.Wait(10000) != 0) return 3;
            char cmd[kSharedBlockSize] = {};
            block.Read(0, cmd);
            if (std::atoi(cmd) != i % 9 + 1) return 4;
            ev.Set();  // acknowledge
        }
        return 0;
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    for (int i = 0; i < kCommands; ++i) {
        NamedEvent ev;
        ASSERT_EQ(ev.Create("EventServiceCtrl", true), kErrAlreadyExists);
        SharedBlock block;
        ASSERT_EQ(block.Open("MapServiceCtrl"), 0);
        std::string cmd = std::to_string(i % 9 + 1);
        block.Write(0, std::span<const char>(cmd.c_str(), cmd.size() + 1));
        ASSERT_EQ(ev.Set(), 0);
        ASSERT_EQ(ev.Wait(10000), 0) << "command " << i << " not acknowledged";
    }
    EXPECT_EQ(server.Wait(), 0);
    close(ready[0]);
    close(ready[1]);
}

TEST(NamedEvent, KilledOwnerLeavesNothingBehind) {
    TempRoot root;
    testing::Holder child([&](const testing::Holder::Hold& hold) {
        NamedEvent e;
        e.Create("QntfmgrEvent", false);
        e.Set();
        hold();
        return 0;
    });
    ASSERT_TRUE(child.ready());
    child.Kill(9);
    child.Wait();
    NamedEvent e;
    EXPECT_EQ(e.Open("QntfmgrEvent"), kErrFileNotFound);
    ASSERT_EQ(e.Create("QntfmgrEvent", false), 0);
    EXPECT_EQ(e.Wait(0), kWaitTimeout) << "fresh object, fresh state";
}

TEST(NamedEvent, WaitWakesAcrossProcesses) {
    TempRoot root;
    NamedEvent e;
    ASSERT_EQ(e.Create("Wake", false), 0);
    Child setter([] {
        usleep(50000);
        NamedEvent s;
        if (s.Open("Wake") != 0) return 1;
        return s.Set();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e.Wait(5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(setter.Wait(), 0);
}

}  // namespace qm::platform
