// Measures one request/response exchange through libQMRR and its server helper against the
// same bytes over a bare Unix stream socket (the least any channel must cost), and the CGI
// request parsing of a typical form post and upload. Prints the channel/bare ratios at the end.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "QMRR.h"
#include "qm/cgi/cgi_request.h"
#include "qm/rrchannel/server.h"
#include "qm/testing/testing.h"

namespace {

using namespace std::chrono_literals;

std::atomic<std::size_t> g_answerSize{1024};

// The channel server: answers every request with g_answerSize bytes of text.
class ChannelServer {
public:
    explicit ChannelServer(const std::string& root) {
        listener_.Open(root);
        thread_ = std::thread([this] {
            std::string answer;
            while (!stop_) {
                auto s = listener_.Accept(20ms);
                if (!s) continue;
                qm::rrchannel::RequestText req;
                std::string upload;
                if (!s->Receive(&req, &upload)) continue;
                answer.assign(g_answerSize, 'a');
                s->WriteData(qm::rrchannel::kModeText, answer);
                s->WriteEnd();
            }
        });
    }
    ~ChannelServer() {
        stop_ = true;
        thread_.join();
    }

private:
    qm::rrchannel::Listener listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The bare peer: one connection per request, request bytes in, answer bytes out, close.
class BareServer {
public:
    explicit BareServer(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 64);
        thread_ = std::thread([this] {
            std::string answer;
            char buf[4096];
            for (;;) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0 || stop_) {
                    if (c >= 0) close(c);
                    break;
                }
                read(c, buf, sizeof buf);
                answer.assign(g_answerSize, 'a');
                for (std::size_t off = 0; off < answer.size();) {
                    ssize_t n = write(c, answer.data() + off, answer.size() - off);
                    if (n <= 0) break;
                    off += static_cast<std::size_t>(n);
                }
                close(c);
            }
        });
    }
    ~BareServer() {
        stop_ = true;
        Connect();  // wakes the accept
        thread_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    int Connect() const {
        int c = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
        connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        return c;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

const std::string kRequest =
    "/opt/q/bin|qmintpr|SERVER_ROOT=/srv/htdocs|PATH_INFO=/en/top.htm|REQUEST_METHOD=GET|"
    "LANGUAGE=en|TEMPLATE=top.htm";

void BM_ChannelExchange(benchmark::State& state) {
    qm::testing::TempRoot root;
    ChannelServer server(root.path());
    g_answerSize = static_cast<std::size_t>(state.range(0));
    char buf[1024];
    for (auto _ : state) {
        if (ShMemOpen(kRequest.c_str()) != 1) state.SkipWithError("open failed");
        int mode, n;
        std::size_t total = 0;
        while ((n = ShMemRead(&mode, sizeof buf, buf)) > 0) total += static_cast<std::size_t>(n);
        ShMemClose();
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ChannelExchange)->Arg(1024)->Arg(65536)->Arg(1 << 20)->UseRealTime();

void BM_BareSocketExchange(benchmark::State& state) {
    qm::testing::TempRoot root;
    BareServer server(root.path() + "/run/bare.sock");
    g_answerSize = static_cast<std::size_t>(state.range(0));
    // The bare client reads with a large buffer, its best case; the channel client reads
    // 1024 bytes per call, as Qmcgi does.
    static char buf[65536];
    for (auto _ : state) {
        int c = server.Connect();
        write(c, kRequest.data(), kRequest.size());
        ssize_t n;
        std::size_t total = 0;
        while ((n = read(c, buf, sizeof buf)) > 0) total += static_cast<std::size_t>(n);
        close(c);
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BareSocketExchange)->Arg(1024)->Arg(65536)->Arg(1 << 20)->UseRealTime();

void Parse(benchmark::State& state, const std::map<std::string, std::string>& env,
           const std::string& body) {
    for (auto _ : state) {
        std::size_t pos = 0;
        qm::cgi::CgiRequest req([&](const char* n) -> const char* {
            auto it = env.find(n);
            return it == env.end() ? nullptr : it->second.c_str();
        });
        req.ReadRequest([&](char* buf, std::size_t max) {
            std::size_t n = std::min(max, body.size() - pos);
            std::copy_n(body.data() + pos, n, buf);
            pos += n;
            return n;
        });
        benchmark::DoNotOptimize(req.GetValue("last"));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}

void BM_ParseFormPost(benchmark::State& state) {
    std::string body;
    for (int i = 0; i < 100; ++i) body += "field" + std::to_string(i) + "=some+value%21&";
    body += "last=1";
    Parse(state, {{"REQUEST_METHOD", "POST"},
                  {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                  {"CONTENT_LENGTH", std::to_string(body.size())}},
          body);
}
BENCHMARK(BM_ParseFormPost);

void BM_ParseGifUpload(benchmark::State& state) {
    std::string body;
    for (int i = 0; i < 5; ++i) {
        body += "--BND\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) +
                "\"\r\n\r\nvalue\r\n";
    }
    body += "--BND\r\nContent-Disposition: form-data; name=\"ImageFile\"; filename=\"a.gif\"\r\n"
            "Content-Type: image/gif\r\n\r\n" + std::string(64 * 1024, 'g') + "\r\n--BND--\r\n";
    qm::testing::TempRoot root;  // uploads go to the current folder
    std::string old = std::filesystem::current_path();
    std::filesystem::current_path(root.path());
    Parse(state, {{"REQUEST_METHOD", "POST"},
                  {"CONTENT_TYPE", "multipart/form-data; boundary=BND"},
                  {"CONTENT_LENGTH", std::to_string(body.size())}},
          body);
    std::filesystem::current_path(old);
}
BENCHMARK(BM_ParseGifUpload);

// Keeps the real time per run so the channel/bare ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        for (const char* arg : {"1024", "65536", "1048576"}) {
            auto a = times_.find(std::string("BM_ChannelExchange/") + arg + "/real_time");
            auto b = times_.find(std::string("BM_BareSocketExchange/") + arg + "/real_time");
            if (a != times_.end() && b != times_.end() && b->second > 0) {
                std::printf("ratio channel/bare socket, %s-byte answer: %.2f\n", arg,
                            a->second / b->second);
            }
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
