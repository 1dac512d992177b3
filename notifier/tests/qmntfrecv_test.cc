// The receiver tool as a process: what it acknowledges it has written out first, so that a
// receiver killed at any moment has recorded every notice the service was told it got.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "qm/platform/owners.h"
#include "qm/testing/testing.h"

namespace {

using qm::platform::UniqueFd;

constexpr char kNotice[] =
    "41,1,7001,10,127.0.0.21,,001122334455,1,2026/01/02 03:04:05,7,4,4,11,4,0,1104,Black toner low,0,desk 3";

// qmntfrecv with its standard output on a pipe of the test's.
class Receiver {
public:
    Receiver() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        out_.reset(fds[0]);
        writeEnd_.reset(fds[1]);
        // The smallest pipe, so that the test can fill it quickly.
        fcntl(writeEnd_.get(), F_SETPIPE_SZ, 4096);
        const std::string program = qm::testing::BuildBinFolder() + "/qmntfrecv";
        const int w = writeEnd_.get();
        child_ = std::make_unique<qm::testing::Child>([&] {
            dup2(w, 1);
            execl(program.c_str(), program.c_str(), "--port", "0", static_cast<char*>(nullptr));
            return 127;
        });
    }
    // Text from the pipe until it holds `what`, or nothing within `ms`.
    bool ReadUntil(const std::string& what, int ms = 30000) {
        while (text_.find(what) == std::string::npos) {
            pollfd p{out_.get(), POLLIN, 0};
            if (poll(&p, 1, ms) != 1) return false;
            char buf[8192];
            ssize_t n = read(out_.get(), buf, sizeof buf);
            if (n <= 0) return false;
            text_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    int port() const {
        auto at = text_.find("listening on 127.0.0.1:");
        return at == std::string::npos ? 0 : std::atoi(text_.c_str() + at + 23);
    }
    // Fills the pipe through a second, non-blocking opening of its write end (the child's own
    // stays blocking): the receiver's next write then waits for the test to read.
    size_t Fill() {
        const std::string self = "/proc/self/fd/" + std::to_string(writeEnd_.get());
        UniqueFd extra(open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (extra.get() < 0) return 0;
        const std::string filler(512, '#');
        size_t written = 0;
        for (;;) {
            ssize_t n = write(extra.get(), filler.data(), filler.size());
            if (n <= 0) break;
            written += static_cast<size_t>(n);
        }
        return errno == EAGAIN ? written : 0;
    }
    const std::string& text() const { return text_; }

private:
    UniqueFd out_, writeEnd_;
    std::unique_ptr<qm::testing::Child> child_;
    std::string text_;
};

// A socket of the "service": sends a notice and waits for the acknowledgement.
class Sender {
public:
    Sender() {
        fd_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    void Send(int port, const std::string& text) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(fd_.get(), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(text.size()));
    }
    std::string Answer(int ms) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return {};
        char buf[256];
        ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    UniqueFd fd_;
};

TEST(QmntfRecv, AcknowledgesANoticeOnlyOnceItIsWrittenOut) {
    Receiver receiver;
    ASSERT_TRUE(receiver.ReadUntil("\n")) << receiver.text();
    const int port = receiver.port();
    ASSERT_GT(port, 0) << receiver.text();
    Sender sender;

    // Output flowing: the notice is printed and acknowledged.
    sender.Send(port, kNotice);
    EXPECT_EQ(sender.Answer(30000), "41,8");
    ASSERT_TRUE(receiver.ReadUntil("seq 41 alert")) << receiver.text();
    EXPECT_NE(receiver.text().find("seq 41 alert from port 7001 device 10;127.0.0.21;;001122334455;1 at "
                                   "2026/01/02 03:04:05 alert 7 severity 4 training 4 group 11.4 location 0 "
                                   "code 1104 printer-time 0 \"Black toner low\" text \"desk 3\""),
              std::string::npos)
        << receiver.text();

    // Output stuck (a full pipe, as a slow disk or reader would leave it): no acknowledgement
    // while the line cannot be written, and it comes once the line is out.
    ASSERT_GT(receiver.Fill(), 0u);
    std::string second = kNotice;
    second.replace(0, 2, "42");
    sender.Send(port, second);
    EXPECT_EQ(sender.Answer(1500), "") << "acknowledged before it was written";
    ASSERT_TRUE(receiver.ReadUntil("seq 42 alert")) << receiver.text().substr(receiver.text().size() - 200);
    EXPECT_EQ(sender.Answer(30000), "42,8");
}

}  // namespace
