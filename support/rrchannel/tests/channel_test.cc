// The channel end to end: the client calls of libQMRR.so against the server-side helper.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "QMRR.h"
#include "qm/rrchannel/server.h"
#include "qm/testing/testing.h"

namespace qm::rrchannel {
namespace {

using namespace std::chrono_literals;

// Serves exactly one request on its own thread with the given handler.
class OneShotServer {
public:
    explicit OneShotServer(const std::string& root,
                           std::function<void(ServerSession&)> handler) {
        EXPECT_EQ(listener_.Open(root), 0);
        thread_ = std::thread([this, handler] {
            auto s = listener_.Accept(10s);
            if (s) handler(*s);
        });
    }
    ~OneShotServer() { thread_.join(); }

private:
    Listener listener_;
    std::thread thread_;
};

std::string ReadAll(int capacity, std::string* modes, int* last) {
    std::string out;
    char buf[4096];
    int mode = 0, n;
    while ((n = ShMemRead(&mode, capacity, buf)) > 0) {
        out.append(buf, n);
        modes->push_back(static_cast<char>('0' + mode));
    }
    *last = n;
    return out;
}

TEST(Channel, RequestUploadAndAnswerCrossUnchanged) {
    testing::TempRoot root;
    const std::string binary("a\r\nb\0c\n", 7);
    std::string gotText, gotUpload;
    {
        OneShotServer server(root.path(), [&](ServerSession& s) {
            RequestText req;
            ASSERT_TRUE(s.Receive(&req, &gotUpload));
            gotText = req.installDir + "#" + req.service + "#" + req.parameters;
            s.WriteData(kModeText, "line1\nline2\r\n");
            s.WriteData(kModeBinary, binary);
            s.WriteData(kModeText, std::string(2500, 'x'));
            s.WriteEnd();
        });
        ASSERT_EQ(ShMemOpen("/opt/q/bin|qmintpr|A=1|B=2"), 1);
        std::string up(3000, '\0');
        up[1] = 'z';
        EXPECT_EQ(ShMemWrite(2, 3000, up.data()), 3000);
        EXPECT_EQ(ShMemWrite(2, 3, "end"), 3);
        EXPECT_EQ(ShMemWrite(2, 0, ""), 0);
        EXPECT_EQ(ShMemWrite(2, 1, "x"), -1) << "no writes after the end of the upload";
        std::string modes;
        int last = 99;
        std::string body = ReadAll(1024, &modes, &last);
        EXPECT_EQ(last, 0);
        EXPECT_EQ(body, "line1\nline2\r\n" + binary + std::string(2500, 'x'));
        // 2500 bytes through a 1024-byte buffer arrive as three pieces of mode 1.
        EXPECT_EQ(modes, "12111");
        char buf[8];
        int mode;
        EXPECT_EQ(ShMemRead(&mode, 8, buf), 0) << "the end stays the end";
        EXPECT_NE(ShMemClose(), 0);
        EXPECT_EQ(gotUpload, up + "end");
    }
    EXPECT_EQ(gotText, "/opt/q/bin#qmintpr#A=1|B=2");
    EXPECT_EQ(ShMemClose(), 0) << "nothing open any more";
}

TEST(Channel, ReadWithoutUploadEndsTheInputItself) {
    testing::TempRoot root;
    bool inputEnded = false;
    OneShotServer server(root.path(), [&](ServerSession& s) {
        std::string text, upload;
        ASSERT_TRUE(s.ReadRequest(&text));
        ASSERT_TRUE(s.Accept());
        inputEnded = s.ReadInput(&upload, 1024, 5s) && upload.empty();
        s.WriteData(kModeText, "ok");
        s.WriteEnd();
    });
    ASSERT_EQ(ShMemOpen("d|s"), 1);
    char buf[16];
    int mode = 0;
    ASSERT_EQ(ShMemRead(&mode, sizeof buf, buf), 2);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(ShMemRead(&mode, sizeof buf, buf), 0);
    ShMemClose();
    EXPECT_TRUE(inputEnded);
}

TEST(Channel, FailuresReachTheCaller) {
    testing::TempRoot root;
    char buf[16];
    int mode;
    EXPECT_EQ(ShMemOpen("d|s|x"), 0) << "no server";
    EXPECT_EQ(ShMemRead(&mode, 16, buf), kErrNotOpen);
    EXPECT_EQ(ShMemWrite(2, 1, "x"), -1);
    EXPECT_EQ(ShMemOpen(""), 0);
    EXPECT_EQ(ShMemOpen(nullptr), 0);
    EXPECT_EQ(ShMemOpen(std::string(kMaxRequestText + 1, 'a').c_str()), 0);

    {  // refused
        OneShotServer server(root.path(), [](ServerSession& s) {
            std::string text;
            s.ReadRequest(&text);
            s.Accept(5);
        });
        EXPECT_EQ(ShMemOpen("d|s"), 0);
    }
    {  // server's own failure code, sticky
        OneShotServer server(root.path(), [](ServerSession& s) {
            RequestText req;
            std::string up;
            s.Receive(&req, &up);
            s.WriteData(kModeText, "part");
            s.WriteFailure(-7);
        });
        ASSERT_EQ(ShMemOpen("d|s"), 1);
        EXPECT_EQ(ShMemRead(&mode, 16, buf), 4);
        EXPECT_EQ(ShMemRead(&mode, 0, buf), kErrParameter);
        EXPECT_EQ(ShMemRead(&mode, 16, buf), -7);
        EXPECT_EQ(ShMemRead(&mode, 16, buf), -7);
        EXPECT_EQ(ShMemClose(), 1);
    }
    {  // server vanishes without an end
        OneShotServer server(root.path(), [](ServerSession& s) {
            RequestText req;
            std::string up;
            s.Receive(&req, &up);
            s.WriteData(kModeBinary, "abc");
        });
        ASSERT_EQ(ShMemOpen("d|s"), 1);
        EXPECT_EQ(ShMemRead(&mode, 16, buf), 3);
        EXPECT_EQ(mode, 2);
        EXPECT_EQ(ShMemRead(&mode, 16, buf), kErrBroken);
        ShMemClose();
    }
}

TEST(Channel, SilentServerTimesOut) {
    testing::TempRoot root;
    setenv("QM_RR_TIMEOUT_MS", "200", 1);
    Listener listener;
    ASSERT_EQ(listener.Open(root.path()), 0);
    std::thread t([&] {
        auto s = listener.Accept(5s);
        std::string text;
        s->ReadRequest(&text);
        s->Accept();
        std::this_thread::sleep_for(600ms);
    });
    ASSERT_EQ(ShMemOpen("d|s"), 1);
    char buf[4];
    int mode;
    EXPECT_EQ(ShMemRead(&mode, 4, buf), kErrTimeout);
    ShMemClose();
    t.join();
    unsetenv("QM_RR_TIMEOUT_MS");
}

TEST(Channel, ServerThatStopsReadingFailsTheUpload) {
    testing::TempRoot root;
    setenv("QM_RR_TIMEOUT_MS", "300", 1);
    Listener listener;
    ASSERT_EQ(listener.Open(root.path()), 0);
    std::atomic<bool> done{false};
    std::thread t([&] {
        auto s = listener.Accept(5s);
        std::string text;
        s->ReadRequest(&text);
        s->Accept();
        while (!done) std::this_thread::sleep_for(10ms);  // never reads the upload
    });
    ASSERT_EQ(ShMemOpen("d|s"), 1);
    std::string big(16 << 20, 'u');
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ShMemWrite(2, static_cast<int>(big.size()), big.data()), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    ShMemClose();
    done = true;
    t.join();
    unsetenv("QM_RR_TIMEOUT_MS");
}

TEST(Channel, LongInstallationRootStillWorks) {
    testing::TempRoot base;
    std::string root = base.path() + "/" + std::string(70, 'r') + "/" + std::string(70, 's');
    std::filesystem::create_directories(root);  // no run/ yet: the server makes it
    ASSERT_GT((root + "/run/QMRR.sock").size(), sizeof(sockaddr_un::sun_path));
    setenv("QM_ROOT", root.c_str(), 1);
    {
        OneShotServer server(root, [](ServerSession& s) {
            RequestText req;
            std::string up;
            s.Receive(&req, &up);
            s.WriteData(kModeText, req.service);
            s.WriteEnd();
        });
        EXPECT_TRUE(std::filesystem::exists(root + "/run/QMRR.sock"));
        ASSERT_EQ(ShMemOpen("d|longroot"), 1);
        char buf[16];
        int mode;
        ASSERT_EQ(ShMemRead(&mode, 16, buf), 8);
        EXPECT_EQ(std::string(buf, 8), "longroot");
        ShMemClose();
    }
    setenv("QM_ROOT", base.path().c_str(), 1);
}

TEST(Listener, OwnsItsSocketFile) {
    testing::TempRoot root;
    std::string sock = root / "run/QMRR.sock";
    {
        std::ofstream stale(sock);  // left over by a crashed server
    }
    Listener a;
    ASSERT_EQ(a.Open(root.path()), 0);
    struct stat st {};
    ASSERT_EQ(stat(sock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Listener b;
    EXPECT_EQ(b.Open(root.path()), 10048) << "a live server keeps its socket";
    // b's probe reaches a as a session without a request, which a simply drops.
    auto probe = a.Accept(1s);
    ASSERT_TRUE(probe.has_value());
    std::string text;
    EXPECT_FALSE(probe->ReadRequest(&text, 1s));
    a.Close();
    EXPECT_FALSE(std::filesystem::exists(sock));
}

TEST(ServerSession, DistrustsMalformedAndOversizedInput) {
    testing::TempRoot root;
    Listener listener;
    ASSERT_EQ(listener.Open(root.path()), 0);
    SocketAddress addr(root.path());
    auto connectRaw = [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd, addr.addr(), addr.length()), 0);
        return fd;
    };
    {  // wrong version byte
        int fd = connectRaw();
        unsigned char h[8] = {'Q', 0, 9, 0, 1, 0, 0, 0};
        ASSERT_EQ(write(fd, h, 8), 8);
        auto s = listener.Accept(1s);
        std::string text;
        EXPECT_FALSE(s->ReadRequest(&text, 1s));
        close(fd);
    }
    {  // a request length beyond the limit is refused before anything is allocated
        int fd = connectRaw();
        unsigned char h[8];
        EncodeHeader({FrameKind::kRequest, 0, 0xFFFFFFF0u}, h);
        ASSERT_EQ(write(fd, h, 8), 8);
        auto s = listener.Accept(1s);
        std::string text;
        EXPECT_FALSE(s->ReadRequest(&text, 1s));
        close(fd);
    }
    {  // upload beyond the session's limit
        std::thread client([&] {
            ASSERT_EQ(ShMemOpen("d|s"), 1);
            ShMemWrite(2, 10, "0123456789");
            ShMemWrite(2, 0, "");
            ShMemClose();
        });
        auto s = listener.Accept(1s);
        std::string text, up;
        ASSERT_TRUE(s->ReadRequest(&text));
        ASSERT_TRUE(s->Accept());
        EXPECT_FALSE(s->ReadInput(&up, 5, 1s));
        client.join();
    }
}

TEST(RequestText, SplitsTheFirstTwoFields) {
    RequestText r = SplitRequestText("/q/bin|qmintpr|A=1|B=|C");
    EXPECT_EQ(r.installDir, "/q/bin");
    EXPECT_EQ(r.service, "qmintpr");
    EXPECT_EQ(r.parameters, "A=1|B=|C");
    r = SplitRequestText("only");
    EXPECT_EQ(r.installDir, "only");
    EXPECT_EQ(r.service, "");
    EXPECT_EQ(r.parameters, "");
}

}  // namespace
}  // namespace qm::rrchannel
