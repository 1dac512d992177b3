#include "qm/platform/service_control.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>

#include "qm/testing/testing.h"

namespace {

using namespace qm::platform;

// Waits for a condition set by a watcher thread.
struct Flag {
    std::mutex mu;
    std::condition_variable cv;
    int value = -1;
    void Set(int v) {
        std::lock_guard l(mu);
        value = v;
        cv.notify_all();
    }
    bool WaitFor(int v) {
        std::unique_lock l(mu);
        return cv.wait_for(l, std::chrono::seconds(30), [&] { return value == v; });
    }
};

TEST(ServiceControl, NamesFollowTheServiceName) {
    EXPECT_EQ(ServiceMutexName("QNQuinsward_Httpd"), "__MUTEX__QNQuinsward_Httpd");
    EXPECT_EQ(ServiceStopEventName("Svc"), "__STOP__Svc");
    EXPECT_EQ(ServicePauseEventName("Svc"), "__PAUSE__Svc");
}

TEST(ServiceControl, StateFollowsPauseContinueAndStop) {
    qm::testing::TempRoot root;
    const std::string name = "QmTestService";
    EXPECT_EQ(QueryServiceState(name), 0);
    EXPECT_EQ(SignalServiceStop(name), -1);  // nobody listens
    ServiceControl control;
    std::string error;
    ASSERT_TRUE(control.Claim(name, "qmtestsvc", &error)) << error;
    EXPECT_EQ(QueryServiceState(name), 0);  // claimed, but not yet serving
    ASSERT_TRUE(control.Announce(&error)) << error;
    EXPECT_EQ(QueryServiceState(name), 1);

    Flag paused, stopped;
    control.Watch([&] { stopped.Set(1); }, [&](bool p) { paused.Set(p ? 1 : 0); });
    ASSERT_EQ(SignalServicePause(name), 0);
    ASSERT_TRUE(paused.WaitFor(1));
    EXPECT_TRUE(control.paused());
    EXPECT_EQ(QueryServiceState(name), 2);
    ASSERT_EQ(SignalServicePause(name), 0);
    ASSERT_TRUE(paused.WaitFor(0));
    EXPECT_EQ(QueryServiceState(name), 1);
    ASSERT_EQ(SignalServiceStop(name), 0);
    ASSERT_TRUE(stopped.WaitFor(1));
    control.Shutdown();
    EXPECT_EQ(QueryServiceState(name), 0);
}

TEST(ServiceControl, ASecondClaimForTheInstallationIsRefused) {
    qm::testing::TempRoot root;
    ServiceControl first, second;
    std::string error;
    ASSERT_TRUE(first.Claim("QmTestA", "qmtestsvc", &error)) << error;
    EXPECT_FALSE(second.Claim("QmTestA", "qmtestsvc", &error));
    EXPECT_EQ(error, "another qmtestsvc already serves the installation " + root.path());
    first.Shutdown();
    EXPECT_TRUE(second.Claim("QmTestA", "qmtestsvc", &error)) << error;
}

TEST(ServiceLog, ErrorLinesLeadWithTheMarkerAndTheLastOneIsFound) {
    qm::testing::TempRoot root;
    EXPECT_EQ(LastServiceErrorLine(root / "servicelog.txt"), "");
    ServiceLog log(root.path());
    log.Info("started");
    EXPECT_EQ(LastServiceErrorLine(log.path()), "");
    log.Error("first problem");
    log.Error("second problem");
    log.Info("still running");
    std::string last = LastServiceErrorLine(log.path());
    EXPECT_EQ(last.rfind("[Error] ", 0), 0u);
    EXPECT_NE(last.find("second problem"), std::string::npos);

    // A long line is read in pieces of 127 characters; a piece that happens to start with the
    // marker in the middle of a line does not count.
    log.Error("forged\n[Error] line\\");
    EXPECT_NE(LastServiceErrorLine(log.path()).find("forged\\n[Error] line\\\\"), std::string::npos);

    std::ofstream(root / "other.txt") << std::string(127, 'x') << "[Error] not a line start\n";
    EXPECT_EQ(LastServiceErrorLine(root / "other.txt"), "");
}

}  // namespace
