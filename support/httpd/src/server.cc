// Routing and answering HTTP requests.
#include "server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "access_check.h"
#include "cgi_runner.h"
#include "qm/platform/paths.h"
#include "request_text.h"
#include "router.h"
#include "qm/platform/owners.h"

namespace qm::httpd {

namespace {

constexpr size_t kMaxBody = 64u * 1024 * 1024;
// Where the raw multipart content type is kept, so the body reaches CGI programs unparsed.
constexpr const char* kRawContentType = "X-Qmhttpd-Raw-Content-Type";

std::string HttpDate(std::time_t t) {
    tm g{};
    gmtime_r(&t, &g);
    char buf[64];
    return std::string(buf, std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &g));
}

std::string ContentType(const httplib::Request& req) {
    if (req.has_header(kRawContentType)) return req.get_header_value(kRawContentType);
    return req.get_header_value("Content-Type");
}

std::string QueryOf(const httplib::Request& req) {
    auto q = req.target.find('?');
    return q == std::string::npos ? std::string() : req.target.substr(q + 1);
}

const char* Reason(int status) {
    switch (status) {
        case 301: return "Moved Permanently";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 413: return "Payload Too Large";
        case 414: return "URI Too Long";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: return "Error";
    }
}

// The CGI/1.1 variables, in the order the CGI library captures them, plus every request header
// as HTTP_*.
CgiVariables MakeVariables(const Settings& s, const httplib::Request& req, int port,
                           const std::string& scriptName, const std::string& scriptFile,
                           const std::string& pathInfo, const std::string& pathTranslated) {
    CgiVariables v;
    auto add = [&](const char* n, std::string value) { v.values.emplace_back(n, std::move(value)); };
    std::string auth = req.get_header_value("Authorization");
    add("AUTH_TYPE", auth.size() > 6 && strncasecmp(auth.c_str(), "Basic ", 6) == 0 ? "Basic" : "");
    add("PATH", "/usr/local/bin:/usr/bin:/bin");
    add("PATH_INFO", pathInfo);
    add("PATH_TRANSLATED", pathTranslated);
    add("GATEWAY_INTERFACE", "CGI/1.1");
    add("REMOTE_ADDR", req.remote_addr);
    add("REMOTE_HOST", req.remote_addr);
    add("REMOTE_PORT", std::to_string(req.remote_port));
    add("SCRIPT_FILENAME", scriptFile);
    add("SCRIPT_NAME", scriptName);
    std::string host = req.get_header_value("Host");
    add("SCRIPT_URI", "http://" + (host.empty() ? s.hostName : host) + scriptName);
    add("SCRIPT_URL", scriptName);
    add("SERVER_ADMIN", s.serverAdmin);
    add("SERVER_NAME", s.hostName);
    add("SERVER_ROOT", s.serverRoot);
    add("SERVER_PROTOCOL", req.version.empty() ? "HTTP/1.0" : req.version);
    add("SERVER_PORT", std::to_string(port));
    add("SERVER_SOFTWARE", s.software);
    add("CONTENT_TYPE", ContentType(req));
    add("CONTENT_LENGTH", req.body.empty() ? "" : std::to_string(req.body.size()));
    add("REQUEST_METHOD", req.method);
    add("QUERY_STRING", QueryOf(req));
    for (const auto& [name, value] : req.headers) {
        if (strcasecmp(name.c_str(), kRawContentType) == 0 ||
            strcasecmp(name.c_str(), "Content-Type") == 0 ||
            strcasecmp(name.c_str(), "Content-Length") == 0) {
            continue;
        }
        std::string key = "HTTP_";
        for (char c : name) key += c == '-' ? '_' : static_cast<char>(std::toupper(c));
        bool seen = false;
        for (const auto& existing : v.values) seen = seen || existing.first == key;
        if (!seen) v.values.emplace_back(key, value);
    }
    return v;
}

// Address text and port of a socket address, as the HTTP library reports them.
bool AddressOf(const sockaddr_storage& a, std::string* text, int* port) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(a);
        if (!inet_ntop(AF_INET, &in.sin_addr, buf, sizeof buf)) return false;
        *port = ntohs(in.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
        if (!inet_ntop(AF_INET6, &in6.sin6_addr, buf, sizeof buf)) return false;
        *port = ntohs(in6.sin6_port);
    } else {
        return false;
    }
    *text = buf;
    return true;
}

// The descriptor of the request's connection, or -1: the socket whose two ends are the
// request's addresses. The HTTP library does not hand it out, but it stays open on this thread
// until the answer is written, and a page needs it to notice a client that went away while
// the page writes nothing.
int ConnectionFd(const httplib::Request& req) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == ::dirfd(dir)) continue;
        struct stat st {};
        if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage local{}, peer{};
        socklen_t ll = sizeof local, pl = sizeof peer;
        if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &ll) != 0 ||
            ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &pl) != 0) {
            continue;
        }
        std::string la, pa;
        int lp = 0, pp = 0;
        if (AddressOf(local, &la, &lp) && AddressOf(peer, &pa, &pp) && lp == req.local_port &&
            pp == req.remote_port && la == req.local_addr && pa == req.remote_addr) {
            found = static_cast<int>(fd);
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace

void ProtectHtml(httplib::Response& res) {
    // Pages print what printers report (descriptions, names) and the template language has no
    // HTML escaping; the pages need no scripts, so a hostile device's text cannot run as one.
    static constexpr const char* kPolicy =
        "default-src 'self'; script-src 'none'; object-src 'none'; base-uri 'none'; "
        "frame-ancestors 'none'";
    const std::string type = res.get_header_value("Content-Type");
    if (strncasecmp(type.c_str(), "text/html", 9) != 0) return;
    // A CGI program's own policy may stay beside ours: a browser enforces every policy it is
    // given, so a second one can only narrow ours, never widen it.
    bool ours = false;
    auto range = res.headers.equal_range("Content-Security-Policy");
    for (auto it = range.first; it != range.second; ++it) ours = ours || it->second == kPolicy;
    if (!ours) res.headers.emplace("Content-Security-Policy", kPolicy);
    res.headers.erase("X-Content-Type-Options");
    res.headers.emplace("X-Content-Type-Options", "nosniff");
}

HttpServer::HttpServer(Settings settings, PageHost* pages, ServiceLog* serviceLog)
    : settings_(std::move(settings)), live_(std::make_shared<const Settings>(settings_)),
      pages_(pages), serviceLog_(serviceLog),
      http_(std::make_unique<httplib::Server>()) {
    std::string logDir = platform::RootPath("log");
    accessLog_ = std::make_unique<DailyLog>(logDir, settings_.accessLog, settings_.accessLogPeriod);
    errorLog_ = std::make_unique<DailyLog>(logDir, settings_.errorLog, settings_.errorLogPeriod);

    size_t threads = static_cast<size_t>(settings_.maxThreads);
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http_->set_read_timeout(settings_.timeoutSeconds);
    http_->set_write_timeout(settings_.timeoutSeconds);
    // Headers and body leave in separate writes; without this, delayed ACKs stall each answer.
    http_->set_tcp_nodelay(true);
    http_->set_keep_alive_timeout(5);
    http_->set_keep_alive_max_count(10000);
    http_->set_payload_max_length(kMaxBody);

    http_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        res.set_header("Server", settings_.software);
        if (paused_.load()) {
            res.status = 503;
            res.set_content("<html><body><h1>503 Service Unavailable</h1>"
                            "<p>The server is paused.</p></body></html>",
                            "text/html");
            return httplib::Server::HandlerResponse::Handled;
        }
        // The library would parse multipart bodies into parts; CGI programs need the raw bytes,
        // so hide the type from it and hand the original to the program.
        std::string type = req.get_header_value("Content-Type");
        if (strncasecmp(type.c_str(), "multipart/", 10) == 0) {
            auto& mutableReq = const_cast<httplib::Request&>(req);
            mutableReq.headers.erase("Content-Type");
            mutableReq.headers.emplace(kRawContentType, type);
            mutableReq.headers.emplace("Content-Type", "application/octet-stream");
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); };
    http_->Get(".*", handler);
    http_->Post(".*", handler);
    http_->Put(".*", handler);
    http_->Delete(".*", handler);
    http_->Options(".*", handler);
    http_->Patch(".*", handler);
    http_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty() && !static_cast<bool>(res.content_provider_)) {
            std::string code = std::to_string(res.status);
            res.set_content("<html><head><title>" + code + " " + Reason(res.status) +
                                "</title></head><body><h1>" + code + " " + Reason(res.status) +
                                "</h1></body></html>\n",
                            "text/html");
        }
    });
    // Every HTML answer (pages, CGI output, error and pause pages) carries the no-script policy:
    // pages print what printers and clients send, so none of it may ever run as a script.
    http_->set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        ProtectHtml(res);
    });
    http_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        LogAccess(req, res);
    });
}

HttpServer::~HttpServer() = default;

bool HttpServer::Bind(const std::string& host, std::string* error) {
    // The HTTP library listens with a queue of five connections. A burst beyond that overflows
    // it: the kernel drops the clients' handshakes, and they stall for seconds and then fail on
    // their first read. Listening again on the same socket only enlarges its queue, so the
    // socket is noted when it is made (with the library's usual options) and given a full one.
    int listening = -1;
    http_->set_socket_options([&listening](int sock) {
        httplib::default_socket_options(sock);
        listening = sock;
    });
    const bool bound = http_->bind_to_port(host, settings_.port);
    http_->set_socket_options(httplib::default_socket_options);  // `listening` ends here
    if (bound && listening >= 0 && ::listen(listening, SOMAXCONN) != 0) {
        *error = "cannot listen on " + host + ":" + std::to_string(settings_.port) + ": " + std::strerror(errno);
        return false;
    }
    if (!bound) {
        *error = "cannot listen on " + host + ":" + std::to_string(settings_.port) +
                 " (error 10048: the address is in use or not allowed)";
        return false;
    }
    port_ = settings_.port;
    return true;
}

void HttpServer::Serve() { http_->listen_after_bind(); }

void HttpServer::Stop() {
    // Pages end at their next statement; the listener then ends when its workers are free.
    if (pages_) pages_->CancelAll();
    http_->stop();
}

void HttpServer::LogAccess(const httplib::Request& req, const httplib::Response& res) {
    std::time_t now = std::time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    char when[64];
    std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &t);
    std::string size = static_cast<bool>(res.content_provider_) ? "-" : std::to_string(res.body.size());
    // The request line is the client's: kept to one line in the log, whatever it holds.
    std::string line = req.remote_addr + " - - [" + when + "] \"" +
                       ServiceLog::OneLine(req.method + " " + req.target + " " + req.version) +
                       "\" " + std::to_string(res.status) + " " + size;
    accessLog_->Write(line);
    if (res.status >= 500) errorLog_->Write(line);
}

std::shared_ptr<const Settings> HttpServer::Live() const {
    std::lock_guard<std::mutex> lock(liveLock_);
    return live_;
}

void HttpServer::Reload(Settings settings) {
    auto fresh = std::make_shared<const Settings>(std::move(settings));
    std::lock_guard<std::mutex> lock(liveLock_);
    live_ = std::move(fresh);
}

bool HttpServer::Admitted(const Settings& s, const Target& t, const httplib::Request& req,
                          httplib::Response& res) {
    // Pages run templates of html/<LANGUAGE>/, so they are closed like that folder; Qmcgi runs
    // the same templates, so it answers to both its own folder's files and the template's.
    std::vector<std::string> paths;
    std::string language = req.get_param_value("LANGUAGE");
    switch (t.kind) {
        case Target::Page: paths.push_back(TemplateAliasPath(language)); break;
        case Target::Cgi: {
            paths.push_back(FolderAliasPath(req.path));
            std::string name = t.file.substr(t.file.rfind('/') + 1);
            if (strcasecmp(name.c_str(), "Qmcgi") == 0) paths.push_back(TemplateAliasPath(language));
            break;
        }
        case Target::Static: paths.push_back(FolderAliasPath(req.path)); break;
        default: return true;
    }
    std::string auth = req.get_header_value("Authorization");
    for (const auto& p : paths) {
        AccessDecision d = CheckAccess(s, p, req.remote_addr, auth);
        if (d.kind == AccessDecision::kForbidden) {
            res.status = 403;
            return false;
        }
        if (d.kind == AccessDecision::kUnauthorized) {
            std::string realm;
            for (char c : d.realm) {
                if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) realm += c;
            }
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"" + realm + "\"");
            return false;
        }
    }
    return true;
}

void HttpServer::Handle(const httplib::Request& req, httplib::Response& res) {
    std::shared_ptr<const Settings> live = Live();
    Target t = Route(*live, req.path);
    if (!Admitted(*live, t, req, res)) return;
    switch (t.kind) {
        case Target::Page: return ServePage(req, res);
        case Target::Cgi: return ServeCgi(t, req, res);
        case Target::Static:
            if (req.method != "GET" && req.method != "HEAD") {
                res.status = 405;
                res.set_header("Allow", "GET, HEAD");
                return;
            }
            return ServeStatic(t.file, t.mimeType, req, res);
        case Target::Redirect: {
            std::string q = QueryOf(req);
            res.set_redirect(t.location + (q.empty() ? "" : "?" + q), 301);
            return;
        }
        case Target::Forbidden: res.status = 403; return;
        case Target::NotFound: res.status = 404; return;
    }
}

void HttpServer::ServeStatic(const std::string& file, const std::string& mime,
                             const httplib::Request& req, httplib::Response& res) {
    platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        res.status = 404;
        return;
    }
    std::string modified = HttpDate(st.st_mtime);
    res.set_header("Last-Modified", modified);
    if (req.get_header_value("If-Modified-Since") == modified) {
        res.status = 304;
        return;
    }
    // Streamed in pieces from the open file: a large file costs one buffer, not its size, and
    // the descriptor stays valid for the whole answer even if the name is replaced meanwhile.
    auto handle = std::make_shared<platform::UniqueFd>(std::move(fd));
    res.status = 200;
    res.set_content_provider(
        static_cast<size_t>(st.st_size), mime,
        [handle](size_t offset, size_t length, httplib::DataSink& sink) {
            char buf[64 * 1024];
            ssize_t n;
            do {
                n = ::pread(handle->get(), buf, std::min(length, sizeof buf), static_cast<off_t>(offset));
            } while (n < 0 && errno == EINTR);
            // A file that shrank while being sent cannot fill its announced length: end the
            // connection rather than send a short body as if it were whole.
            if (n <= 0) return false;
            return sink.write(buf, static_cast<size_t>(n));
        });
}

void HttpServer::ServeCgi(const Target& t, const httplib::Request& req, httplib::Response& res) {
    CgiVariables vars = MakeVariables(*Live(), req, port_, t.scriptName, t.file, t.pathInfo,
                                      t.pathTranslated);
    CgiLaunch launch;
    launch.program = t.file;
    launch.body = req.body;
    launch.timeoutSeconds = settings_.timeoutSeconds;
    launch.nph = t.nph;
    launch.stderrFile = platform::RootPath("log") + "/cgi-stderr.log";
    for (const auto& [n, v] : vars.values) launch.env.push_back(n + "=" + v);
    launch.env.push_back("QM_ROOT=" + platform::InstallRoot());

    auto proc = std::make_shared<CgiProcess>();
    if (int rc = proc->Start(launch); rc != 0) {
        errorLog_->Write("cannot start " + t.file + ": " + std::strerror(rc));
        res.status = 500;
        return;
    }
    auto head = std::make_shared<CgiHead>();
    int rc = proc->ReadHead(head.get());
    if (rc != 0) {
        errorLog_->Write(t.file + (rc == 504 ? ": no answer within the time-out, killed"
                                             : ": did not write a valid header block"));
        res.status = rc;
        return;
    }
    res.status = head->status;
    std::string type = "text/html";
    for (const auto& [n, v] : head->headers) {
        if (strcasecmp(n.c_str(), "Content-Type") == 0) {
            type = v;
        } else if (strcasecmp(n.c_str(), "Content-Length") == 0 ||
                   strcasecmp(n.c_str(), "Transfer-Encoding") == 0 ||
                   strcasecmp(n.c_str(), "Connection") == 0) {
            continue;  // we frame the body ourselves
        } else {
            res.set_header(n.c_str(), v);
        }
    }
    if (req.method == "HEAD") return;
    res.set_chunked_content_provider(type, [proc, head](size_t, httplib::DataSink& sink) {
        if (!head->bodyStart.empty() && !sink.write(head->bodyStart.data(), head->bodyStart.size())) {
            proc->Kill();
            return false;
        }
        char buf[16384];
        for (;;) {
            ssize_t n = proc->ReadBody(buf, sizeof buf);
            if (n == 0) break;
            if (n < 0) break;  // time-out: the program is killed, the page ends here
            if (!sink.write(buf, static_cast<size_t>(n))) {
                proc->Kill();  // the client has gone
                return false;
            }
        }
        sink.done();
        return true;
    });
}

void HttpServer::ServePage(const httplib::Request& req, httplib::Response& res) {
    if (!pages_ || !pages_->loaded()) {
        res.status = 503;
        res.set_content("<html><body><h1>503 Service Unavailable</h1>"
                        "<p>The page interpreter is not loaded; see servicelog.txt.</p>"
                        "</body></html>",
                        "text/html");
        return;
    }
    CgiVariables vars = MakeVariables(*Live(), req, port_, kPageRoute, "", "", "");
    auto pairs = ParseFormPairs(QueryOf(req));
    if (req.method == "POST" &&
        strncasecmp(ContentType(req).c_str(), "application/x-www-form-urlencoded", 33) == 0) {
        auto body = ParseFormPairs(req.body);
        pairs.insert(pairs.end(), body.begin(), body.end());
    }
    auto params = std::make_shared<std::string>(BuildParameterText(vars, pairs));
    res.status = 200;
    res.set_header("Pragma", "no-cache");
    res.set_header("Cache-Control", "no-cache");
    if (req.method == "HEAD") {
        res.set_header("Content-Type", "text/html");  // what the page would be
        return;
    }
    PageHost* pages = pages_;
    const int fd = ConnectionFd(req);
    std::string target = req.target;
    res.set_chunked_content_provider("text/html", [this, pages, params, fd, target](size_t, httplib::DataSink& sink) {
        PageStop why = PageStop::None;
        pages->Run(*params, [&sink](std::string_view piece) { return sink.write(piece.data(), piece.size()); }, fd,
                   &why);
        if (why == PageStop::Timeout) {
            errorLog_->Write(target + ": page ran past Timeout (" + std::to_string(settings_.timeoutSeconds) +
                             " s), stopped");
        }
        if (why == PageStop::ClientGone) return false;
        sink.done();
        return true;
    });
}

}  // namespace qm::httpd
