// qmhttpd: the suite's HTTP server. Serves the document root, runs CGI programs, hosts the page
// interpreter and answers the service-control objects.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "channel.h"
#include "logs.h"
#include "page_host.h"
#include "qm/platform/paths.h"
#include "qm/platform/tool_options.h"
#include "server.h"
#include "settings.h"

namespace {

constexpr const char* kUsage =
    "usage: qmhttpd [--root DIR] [--port N] [--listen ADDR] [--seed-registry] [--check]\n"
    "Serves the installation's pages over HTTP/1.1 with the settings under\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Httpd.\n"
    "  --root DIR        installation root (default: $QM_ROOT, else the parent of bin/)\n"
    "  --port N          listen on port N instead of the registry's Port\n"
    "  --listen ADDR     address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)\n"
    "  --seed-registry   store default settings for missing values, then exit\n"
    "  --check           read the settings, report problems, then exit\n"
    "Stop it with Ctrl-C, SIGTERM, or the control helpers (__STOP__QNQuinsward_Httpd): running\n"
    "pages are cancelled, and the server ends within 10 s even when requests are stuck.\n";

// After a stop request the server ends within this, stuck requests or not: pages are cancelled
// at once, idle keep-alive connections end within 5 s, and whatever still runs then (a CGI
// program inside its Timeout, a tag call waiting on a printer) is abandoned with the process.
constexpr auto kStopBound = std::chrono::seconds(10);

// Whether the server has finished stopping; kept outside main so the watch over the stop
// never outlives what it looks at.
std::mutex gStopMu;
std::condition_variable gStopCv;
bool gStopped = false;

// Ends the process when the stop takes longer than its bound.
void GuardStop(qm::httpd::ServiceLog* log) {
    std::unique_lock lock(gStopMu);
    if (gStopCv.wait_for(lock, kStopBound, [] { return gStopped; })) return;
    log->Error("requests still running 10 s after the stop request; ending anyway");
    std::fflush(nullptr);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1";
    int port = 0;
    bool seed = false, check = false;
    qm::platform::ToolOptions options("qmhttpd", kUsage);
    options.Text("listen", &listen)
        .Value("port",
               [&port](const char* v) {
                   char* end = nullptr;
                   long p = std::strtol(v, &end, 10);
                   if (end == v || *end != '\0' || p < 1 || p > 65535) return false;
                   port = static_cast<int>(p);
                   return true;
               })
        .Flag("seed-registry", &seed)
        .Flag("check", &check);
    if (auto done = options.Parse(argc, argv)) return *done;
    if (!options.operands().empty()) return options.Usage("unexpected operand " + options.operands()[0]);
    std::string root = qm::platform::InstallRoot();
    setenv("QM_ROOT", root.c_str(), 1);  // CGI programs and libraries find the same root

    if (seed) {
        std::string password;
        int rc = qm::httpd::SeedRegistry(root, &password);
        if (rc != 0) std::fprintf(stderr, "qmhttpd: cannot write the registry (error %d)\n", rc);
        // Shown this once: only its Base64 form is stored. The Special page changes it.
        if (!password.empty()) {
            std::printf("qmhttpd: administration pages (/cgi-bin/nph-QMHTTPD.exe): user admin, "
                        "administrator password: %s\n", password.c_str());
        }
        return rc == 0 ? 0 : 1;
    }
    std::vector<std::string> problems;
    qm::httpd::Settings settings = qm::httpd::LoadSettings(&problems);
    if (port) settings.port = port;
    for (const auto& p : problems) std::fprintf(stderr, "qmhttpd: %s\n", p.c_str());
    if (check) {
        std::printf("root %s\nport %d\nthreads %d\ntimeout %d\ndocument root %s\n", root.c_str(),
                    settings.port, settings.maxThreads, settings.timeoutSeconds,
                    settings.serverRoot.c_str());
        return problems.empty() ? 0 : 1;
    }

    // The web side's paths ("..\\html\\", "..\\cache\\", "..\\conf\\") are relative to bin/.
    std::string bin = root + "/bin";
    if (chdir(bin.c_str()) != 0) {
        std::fprintf(stderr, "qmhttpd: no bin folder in %s\n", root.c_str());
        return 1;
    }
    // Block the stop signals in every thread; one thread takes them with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    qm::httpd::ServiceLog serviceLog(settings.installationPath);
    qm::platform::ServiceControl control;
    std::string error;
    auto fail = [&serviceLog](const std::string& msg) {
        serviceLog.Error(msg);
        std::fprintf(stderr, "qmhttpd: %s\n", msg.c_str());
        return 1;
    };
    if (!control.Claim(qm::httpd::kServiceName, "qmhttpd", &error)) {
        std::fprintf(stderr, "qmhttpd: %s\n", error.c_str());
        return 1;
    }
    for (const auto& p : problems) serviceLog.Error(p);

    // The control mutex tells the control helpers that the server runs, so it is created only
    // once the port is bound and the interpreter is loaded: a start that fails on either is
    // never reported as running.
    qm::httpd::PageHost pages;
    qm::httpd::HttpServer server(settings, &pages, &serviceLog);
    if (!server.Bind(listen, &error)) return fail(error);
    if (!pages.Load("qmintpr", &error)) return fail("page interpreter: " + error);
    qm::httpd::ChannelServer channel(&pages, &serviceLog, settings.maxThreads);
    if (int rc = channel.Start(root); rc != 0) {
        return fail("cannot serve the request channel in " + root + "/run (error " +
                    std::to_string(rc) + ")");
    }
    pages.SetTimeout(std::chrono::seconds(settings.timeoutSeconds));
    std::once_flag stopOnce;
    auto requestStop = [&server, &serviceLog, &stopOnce](const std::string& why) {
        std::call_once(stopOnce, [&] {
            {
                std::lock_guard lock(gStopMu);
                if (gStopped) return;
            }
            serviceLog.Info(why);
            std::thread(GuardStop, &serviceLog).detach();
            server.Stop();
        });
    };
    if (!control.Announce(&error)) return fail(error);
    control.Watch([&requestStop] { requestStop("stop requested"); },
                  [&server, &serviceLog](bool paused) {
                      // Continuing reads the settings again, so a save in the administration
                      // pages followed by their Restart takes effect without a new start.
                      if (!paused) {
                          std::vector<std::string> problems;
                          server.Reload(qm::httpd::LoadSettings(&problems));
                          for (const auto& p : problems) serviceLog.Error(p);
                      }
                      server.SetPaused(paused);
                      serviceLog.Info(paused ? "paused" : "continued");
                  });
    std::thread signals([&requestStop, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        if (sig == SIGINT || sig == SIGTERM) requestStop(std::string("signal ") + strsignal(sig) + ": stopping");
    });
    serviceLog.Info("started on " + listen + ":" + std::to_string(server.port()) + ", root " +
                    root);
    std::fprintf(stderr, "qmhttpd: serving %s on http://%s:%d/\n", root.c_str(),
                 listen.c_str(), server.port());
    server.Serve();
    channel.Stop();
    control.Shutdown();
    pages.Release();
    serviceLog.Info("stopped");
    {
        std::lock_guard lock(gStopMu);
        gStopped = true;
    }
    gStopCv.notify_all();
    // The signal thread may still wait; wake it so the process can end cleanly.
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    return 0;
}
