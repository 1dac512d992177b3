#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "qm/platform/errors.h"
#include "qm/platform/process.h"
#include "qm/testing/testing.h"

namespace qm::platform {

TEST(Process, StartsADetachedProgramInItsFolder) {
    testing::TempRoot root;
    int pid = 0;
    ASSERT_EQ(StartDetached({"/bin/sh", "-c", "pwd > out.txt"}, root.path() + "/log", &pid), 0);
    EXPECT_GT(pid, 0);
    const std::string out = root / "log/out.txt";
    ASSERT_TRUE(testing::Eventually([&] {
        std::ifstream in(out);
        std::string line;
        return std::getline(in, line) && line == root.path() + "/log";
    }));
    EXPECT_EQ(StartDetached({"no-such-program-qm"}), kErrFileNotFound);
    EXPECT_EQ(StartDetached({}), kErrInvalidParameter);
    EXPECT_NE(StartDetached({"/bin/true"}, root / "missing-folder"), 0);
}

TEST(Process, AFailedExecIsReportedWhoeverWritesFirst) {
    // The program's exec failure and the intermediate's pid report race for the pipe; a
    // missing program must give "file not found" every time, not a general failure.
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(StartDetached({"no-such-program-qm"}), kErrFileNotFound) << "start " << i;
    }
}

TEST(Process, WindowsProgramNamesFindOurPrograms) {
    testing::TempRoot root;
    // A script in `folder` that leaves log/<name>.txt behind when it runs.
    auto script = [&](const std::string& folder, const std::string& name) {
        std::filesystem::create_directories(root / folder);
        const std::string path = root / (folder + "/" + name);
        std::ofstream(path) << "#!/bin/sh\necho ran > \"$QM_ROOT/log/" << name << ".txt\"\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    };
    auto ran = [&](const std::string& name) {
        return testing::Eventually([&] { return std::filesystem::exists(root / ("log/" + name + ".txt")); });
    };
    script("bin", "qmhelper");
    ASSERT_EQ(StartDetached({"qmhelper.exe"}), 0);
    EXPECT_TRUE(ran("qmhelper"));
    // Programs that are no CGI programs live in sbin/ and are found there as well.
    script("sbin", "qmtool");
    ASSERT_EQ(StartDetached({"qmtool.exe"}), 0);
    EXPECT_TRUE(ran("qmtool"));
}

TEST(Process, SocketErrorsUseWindowsNumbers) {
    int a = socket(AF_INET, SOCK_DGRAM, 0), b = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(a, reinterpret_cast<sockaddr*>(&addr), &len);
    ASSERT_NE(bind(b, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(WsaErrorFromErrno(errno), kWsaEaddrinuse);
    EXPECT_EQ(kWsaEaddrinuse, 10048);
    close(a);
    close(b);
    EXPECT_EQ(WinErrorFromErrno(ENOENT), kErrFileNotFound);
}

}  // namespace qm::platform
