// The control helpers against a real qmhttpd started in a temporary installation root.
#include "qm/svcctl/svcctl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace {

using qm::platform::RegRoot;
constexpr const char* kKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Httpd";

using qm::testing::FreePort;

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_symlink(qm::testing::BuildBinFolder() + "/qmhttpd",
                                        root_ / "bin/qmhttpd");
        auto set = [](const char* n, const std::string& v) {
            ASSERT_EQ(qm::platform::RegSetString(RegRoot::LocalMachine, kKey, n, v, true), 0);
        };
        set("Port", std::to_string(FreePort()));
        set("InstallationPath", root_ / "bin");
        set("ServerRoot", root_ / "htdocs");
    }
    void TearDown() override {
        // A server left behind by a failed test is ended through the pid it recorded.
        if (GetServerState() != QM_SERVER_STOPPED) {
            StopServer(0);
            std::ifstream lock(root_ / "run/qmhttpd.lock");
            pid_t pid = 0;
            if (lock >> pid && pid > 0 && GetServerState() != QM_SERVER_STOPPED) kill(pid, SIGKILL);
        }
    }
    static bool Becomes(int state) {
        return qm::testing::Eventually([&] { return GetServerState() == state; },
                                       std::chrono::seconds(30));
    }
    qm::testing::TempRoot root_;
};

TEST_F(ServiceControl, OperationsOnAStoppedServer) {
    unsigned version = 0;
    EXPECT_EQ(GetPlatform(&version), 2);
    EXPECT_NE(version, 0u);
    EXPECT_EQ(GetServerState(), QM_SERVER_STOPPED);
    EXPECT_EQ(StopServer(0), 0);  // nothing to do
    EXPECT_EQ(PauseServer(0), -1);
    EXPECT_EQ(ContinueServer(0), -1);
}

TEST_F(ServiceControl, StartPauseContinueStop) {
    int rc = StartServer(0);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;  // 1: slower than 5 s on a busy machine
    ASSERT_TRUE(Becomes(QM_SERVER_RUNNING));
    EXPECT_EQ(StartServer(0), 0);  // already running

    rc = PauseServer(0);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;
    ASSERT_TRUE(Becomes(QM_SERVER_PAUSED));
    EXPECT_EQ(PauseServer(0), 0);
    EXPECT_EQ(StartServer(0), -1);  // a paused server is continued, not started

    rc = ContinueServer(0);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;
    ASSERT_TRUE(Becomes(QM_SERVER_RUNNING));
    EXPECT_EQ(ContinueServer(0), 0);

    rc = StopServer(0);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;
    ASSERT_TRUE(Becomes(QM_SERVER_STOPPED));
}

TEST_F(ServiceControl, StartFailsWithoutTheProgramOrTheSetting) {
    std::filesystem::remove(root_ / "bin/qmhttpd");
    EXPECT_EQ(StartServer(1), -1);
    qm::platform::RegDeleteValue(RegRoot::LocalMachine, kKey, "InstallationPath");
    EXPECT_EQ(StartServer(1), -1);
    char buf[256];
    EXPECT_EQ(ServiceLogPath(buf, sizeof buf), -1);
}

TEST_F(ServiceControl, LogPathAndLastErrorLine) {
    char path[512];
    ASSERT_EQ(ServiceLogPath(path, sizeof path), 0);
    EXPECT_EQ(std::string(path), root_ / "bin/servicelog.txt");
    char small[8];
    EXPECT_EQ(ServiceLogPath(small, sizeof small), -1);

    char line[256] = "x";
    EXPECT_EQ(LastErrorLine(path, line, sizeof line), 0u);  // no log yet
    EXPECT_STREQ(line, "");
    std::ofstream(path) << "2026/01/01 started\n";
    EXPECT_EQ(LastErrorLine(path, line, sizeof line), 0u);
    std::ofstream(path, std::ios::app) << "[Error] first\n x [Error] not at the start\n"
                                       << "[Error] second\r\n" << "stopped\n";
    EXPECT_EQ(LastErrorLine(path, line, sizeof line), 14u);
    EXPECT_STREQ(line, "[Error] second");
    char tiny[5];
    LastErrorLine(path, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "[Err");
}

}  // namespace
