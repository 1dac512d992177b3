// Qmcgi as a real CGI process against a channel server of the test's own installation root.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "cgi_process.h"
#include "qm/rrchannel/server.h"
#include "qm/testing/testing.h"

namespace qm::cgigw::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using rrchannel::ServerSession;

const std::string kHeaders = "Content-type: text/html\nPragma: no-cache\n\n";

// Accepts requests until destroyed, records the last one, and answers with `answer`.
class TestServer {
public:
    using Answer = std::function<void(ServerSession&)>;
    TestServer(const std::string& root, Answer answer) : answer_(std::move(answer)) {
        EXPECT_EQ(listener_.Open(root), 0);
        thread_ = std::thread([this] {
            while (!stop_) {
                auto s = listener_.Accept(50ms);
                if (!s) continue;
                rrchannel::RequestText req;
                std::string upload, text;
                if (!s->ReadRequest(&text) || !s->Accept() || !s->ReadInput(&upload)) continue;
                {
                    std::lock_guard lock(mu_);
                    text_ = text;
                    upload_ = upload;
                    ++count_;
                }
                answer_(*s);
            }
        });
    }
    ~TestServer() {
        stop_ = true;
        thread_.join();
    }
    std::string Text() {
        std::lock_guard lock(mu_);
        return text_;
    }
    std::string Upload() {
        std::lock_guard lock(mu_);
        return upload_;
    }
    int Count() {
        std::lock_guard lock(mu_);
        return count_;
    }

private:
    rrchannel::Listener listener_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::string text_, upload_;
    int count_ = 0;
};

void Says(ServerSession& s, std::string_view text) {
    s.WriteData(rrchannel::kModeText, text);
    s.WriteEnd();
}

class Qmcgi : public ::testing::Test {
protected:
    void SetUp() override {
        program_ = root_ / "bin/Qmcgi";
        fs::copy_file(BuiltProgram("Qmcgi"), program_);
        std::ofstream(root_ / "bin/InstallData.txt")
            << "Quinsward installation\n<!-- the next line -->\n" << root_ / "bin" << "\n";
        work_ = root_ / "work";
        fs::create_directories(work_);
        // A real CGI environment; no QM_ROOT: the program finds its root from its own folder.
        env_ = {{"GATEWAY_INTERFACE", "CGI/1.1"},
                {"SERVER_PROTOCOL", "HTTP/1.1"},
                {"SERVER_NAME", "printhost"},
                {"SERVER_PORT", "8080"},
                {"SERVER_SOFTWARE", "qmhttpd/1.0"},
                {"REMOTE_ADDR", "127.0.0.1"},
                {"HTTP_HOST", "127.0.0.1:8080"},
                {"HTTP_ACCEPT", "text/html"},
                {"HTTP_USER_AGENT", "Mozilla/5.0 (X11)"},
                {"HTTP_ACCEPT_LANGUAGE", "en"},
                {"SCRIPT_NAME", "/cgi-bin/Qmcgi"},
                {"PATH_INFO", "/en/page.htm"},
                {"PATH_TRANSLATED", root_ / "htdocs/en/page.htm"}};
    }
    CgiResult Get(const std::string& query) {
        Env env = env_;
        env["REQUEST_METHOD"] = "GET";
        env["QUERY_STRING"] = query;
        return RunCgi(program_, env, "", work_);
    }
    CgiResult Post(const std::string& type, const std::string& body, const std::string& query = "") {
        Env env = env_;
        env["REQUEST_METHOD"] = "POST";
        env["CONTENT_TYPE"] = type;
        env["CONTENT_LENGTH"] = std::to_string(body.size());
        env["QUERY_STRING"] = query;
        return RunCgi(program_, env, body, work_);
    }
    // The fixed head of the request text for a GET with `query`.
    std::string GetHead(const std::string& service, const std::string& query) const {
        return root_ / "bin" + "|" + service + "|SERVER_ROOT=" + root_ / "htdocs" +
               "|PATH_INFO=/en/page.htm|PATH_TRANSLATED=" + root_ / "htdocs/en/page.htm" +
               "|GATEWAY_INTERFACE=CGI/1.1|HTTP_ACCEPT=text/html"
               "|HTTP_USER_AGENT=Mozilla/5.0 (X11)|HTTP_ACCEPT_LANGUAGE=en"
               "|HTTP_HOST=127.0.0.1:8080|HTTP_REFERER=|REMOTE_ADDR=127.0.0.1|REMOTE_HOST="
               "|SCRIPT_NAME=/cgi-bin/Qmcgi|SERVER_NAME=printhost|SERVER_PROTOCOL=HTTP/1.1"
               "|SERVER_PORT=8080|SERVER_SOFTWARE=qmhttpd/1.0|CONTENT_TYPE=|CONTENT_LENGTH="
               "|REQUEST_METHOD=GET|QUERY_STRING=" + query + "|AUTH_TYPE=|";
    }
    std::size_t FilesInWork() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(work_), {}));
    }

    qm::testing::TempRoot root_;
    std::string program_, work_;
    Env env_;
};

TEST_F(Qmcgi, SendsTheRequestTextAndCopiesTextAndBinaryChunks) {
    const std::string binary("GIF\r\n\0\x01\n\r", 9);
    TestServer server(root_.path(), [&](ServerSession& s) {
        s.WriteData(rrchannel::kModeText, "<p>line\r\nnext\n");
        s.WriteData(rrchannel::kModeBinary, binary);
        s.WriteData(rrchannel::kModeText, std::string(3000, 't'));
        s.WriteEnd();
    });
    auto r = Post("application/x-www-form-urlencoded", "LANGUAGE=en&service=qmx&v=a%7Cb+c&bare",
                  "TEMPLATE=top.htm&SERVICE=other");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kHeaders + "<p>line\r\nnext\n" + binary + std::string(3000, 't') + "\n\n");
    std::string head = GetHead("qmx", "TEMPLATE=top.htm&SERVICE=other");
    head.replace(head.find("CONTENT_TYPE=|CONTENT_LENGTH=|REQUEST_METHOD=GET"),
                 std::string("CONTENT_TYPE=|CONTENT_LENGTH=|REQUEST_METHOD=GET").size(),
                 "CONTENT_TYPE=application/x-www-form-urlencoded|CONTENT_LENGTH=38|"
                 "REQUEST_METHOD=POST");
    // Body pairs, then URL pairs; every "service" pair left out; values decoded, unescaped.
    EXPECT_EQ(server.Text(), head + "LANGUAGE=en|v=a|b c|bare=bare|TEMPLATE=top.htm");
    EXPECT_EQ(server.Upload(), "");
}

TEST_F(Qmcgi, GetUsesTheDefaultService) {
    TestServer server(root_.path(), [](ServerSession& s) { Says(s, "ok"); });
    auto r = Get("LANGUAGE=en&TEMPLATE=a.htm");
    EXPECT_EQ(r.output, kHeaders + "ok\n\n");
    EXPECT_EQ(server.Text(), GetHead("qmintpr", "LANGUAGE=en&TEMPLATE=a.htm") +
                                 "LANGUAGE=en|TEMPLATE=a.htm");
}

TEST_F(Qmcgi, StreamsThePostfileUploadAndRemovesIt) {
    std::string file;
    for (int i = 0; i < 5000; ++i) file.push_back(static_cast<char>(i * 7));
    file += "\r\n--notquite\r\n";
    TestServer server(root_.path(), [](ServerSession& s) { Says(s, "stored"); });
    std::string body = "--b0undary\r\nContent-Disposition: form-data; name=\"TEMPLATE\"\r\n\r\n"
                       "up.htm\r\n--b0undary\r\nContent-Disposition: form-data; name=\"postfile\";"
                       " filename=\"c:\\data\\x.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
                       file + "\r\n--b0undary--\r\n";
    auto r = Post("multipart/form-data; boundary=b0undary", body);
    EXPECT_EQ(r.output, kHeaders + "stored\n\n");
    EXPECT_EQ(server.Upload(), file);
    std::string text = server.Text();
    EXPECT_NE(text.find("|TEMPLATE=up.htm|postfile=c:\\data\\x.bin"), std::string::npos) << text;
    EXPECT_EQ(FilesInWork(), 0u) << "the temporary upload is gone";
}

TEST_F(Qmcgi, TerminatedWhileWaitingItLeavesNoUpload) {
    // The server ends the CGI the way an HTTP server does when its client goes away.
    TestServer server(root_.path(), [](ServerSession& s) {
        ucred peer{};
        socklen_t len = sizeof peer;
        ASSERT_EQ(getsockopt(s.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &len), 0);
        kill(peer.pid, SIGTERM);
        std::this_thread::sleep_for(200ms);
    });
    std::string body = "--B\r\nContent-Disposition: form-data; name=\"postfile\"; filename=\"f\"\r\n"
                       "\r\nDATA\r\n--B--\r\n";
    auto r = Post("multipart/form-data; boundary=B", body);
    EXPECT_EQ(r.status, -SIGTERM);
    EXPECT_EQ(server.Upload(), "DATA");
    EXPECT_EQ(FilesInWork(), 0u);
}

TEST_F(Qmcgi, OversizedMultipartIsAnOrdinaryNoRequest) {
    TestServer server(root_.path(), [](ServerSession& s) { Says(s, "never"); });
    std::string body;
    for (int i = 0; i < 300; ++i) {
        body += "--B\r\nContent-Disposition: form-data; name=\"postfile\"; filename=\"f" +
                std::to_string(i) + "\"\r\n\r\nDATA\r\n";
    }
    auto r = Post("multipart/form-data; boundary=B", body + "--B--\r\n", "a=1");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Qmcgi Error: Failed to get the cgi data."), std::string::npos);
    EXPECT_EQ(server.Count(), 0);
    EXPECT_EQ(FilesInWork(), 0u);
}

TEST_F(Qmcgi, RequestTextLimitIs204799Characters) {
    TestServer server(root_.path(), [](ServerSession& s) { Says(s, "ok"); });
    // Measure the fixed part once (CONTENT_LENGTH keeps six digits throughout).
    Post("application/x-www-form-urlencoded", "v=" + std::string(100000, 'x'));
    std::size_t head = server.Text().size() - 100002;
    std::string body = "v=" + std::string(204799 - head - 2, 'x');
    auto fits = Post("application/x-www-form-urlencoded", body);
    EXPECT_EQ(fits.output, kHeaders + "ok\n\n");
    EXPECT_EQ(server.Text().size(), 204799u);
    body.push_back('x');
    auto over = Post("application/x-www-form-urlencoded", body);
    EXPECT_EQ(over.status, 0);
    EXPECT_EQ(over.output, kHeaders + "CGI Parameter is too long to process this request.\n");
    EXPECT_EQ(server.Count(), 2) << "the long request never reached the server";
}

TEST_F(Qmcgi, ErrorLinesBeforeTheChannel) {
    auto none = Get("");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.output, kHeaders + "<html>\n<head>\n<title>CGI: CGI R/R test</title>\n</head>\n"
                                      "<body>\nQmcgi Error: Failed to get the cgi data.\n</body>\n"
                                      "</html>\n");
    EXPECT_EQ(Get("a=1").output, kHeaders + "ShMemOpen ERROR\n") << "no server running";

    fs::copy_file(root_ / "bin/InstallData.txt", root_ / "InstallData.keep");
    fs::remove(root_ / "bin/InstallData.txt");
    EXPECT_EQ(Get("a=1").output, kHeaders + "Cannot open InstallData file.\n");
    fs::rename(root_ / "InstallData.keep", root_ / "bin/InstallData.txt");

    // A library of that name that is no QMRR: loading fails, nothing else happens.
    std::ofstream(root_ / "bin/libQMRR.so") << "not a library";
    EXPECT_EQ(Get("a=1").output, kHeaders + "LoadDll ERROR\n");
    fs::copy_file(BuiltProgram("libqmplatform.so"), root_ / "bin/libQMRR.so",
                  fs::copy_options::overwrite_existing);
    EXPECT_EQ(Get("a=1").output, kHeaders + "LoadDll ERROR\n") << "no ShMem calls in it";
}

TEST_F(Qmcgi, StopsAShortUploadAndReportsAFailedClose) {
    fs::copy_file(BuiltProgram("libFakeQMRR.so"), root_ / "bin/libQMRR.so");
    std::string body = "--B\r\nContent-Disposition: form-data; name=\"postfile\"; filename=\"f\"\r\n"
                       "\r\n" + std::string(5000, 'u') + "\r\n--B--\r\n";
    auto r = Post("multipart/form-data; boundary=B", body);
    EXPECT_EQ(r.output, kHeaders + "\n\nShMemClose ERROR\n");
    std::ifstream log(work_ + "/qmrr-calls.txt");
    std::stringstream calls;
    calls << log.rdbuf();
    EXPECT_EQ(calls.str(), "open\nwrite 2 1024\nwrite 2 1024\nwrite 2 0\nread\nclose\n");
}

TEST_F(Qmcgi, ReadFailuresAndIllegalModesEndTheAnswer) {
    int round = 0;
    TestServer server(root_.path(), [&](ServerSession& s) {
        s.WriteData(rrchannel::kModeText, "before\n");
        if (round++ == 0) {
            s.WriteData(3, "never shown");
        } else {
            s.WriteFailure(-7);
        }
    });
    EXPECT_EQ(Get("a=1").output, kHeaders + "before\nError: Illegal data mode 3\n\n\n");
    EXPECT_EQ(Get("a=1").output, kHeaders + "before\nError: Something error in ShMemRead().\n"
                                            "Error: Error code -7\n\n\n");
}

}  // namespace
}  // namespace qm::cgigw::testing
