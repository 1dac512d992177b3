// qmhttpd's HTTP side: one HTTP/1.1 listener (cpp-httplib) whose single handler routes every
// request to a file, a CGI program or the page interpreter.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "logs.h"
#include "page_host.h"
#include "settings.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace qm::httpd {

// Adds the no-script content policy and "nosniff" to an answer whose type is HTML.
void ProtectHtml(httplib::Response& res);

class HttpServer {
public:
    HttpServer(Settings settings, PageHost* pages, ServiceLog* serviceLog);
    ~HttpServer();

    // Binds 127.0.0.1/0.0.0.0:port. False with `error` set when the port cannot be bound.
    bool Bind(const std::string& host, std::string* error);
    int port() const { return port_; }
    // Serves until Stop(); returns when the listener has ended.
    void Serve();
    void Stop();
    void SetPaused(bool paused) { paused_ = paused; }

private:
    void Handle(const httplib::Request& req, httplib::Response& res);
    void ServeStatic(const std::string& file, const std::string& mime,
                     const httplib::Request& req, httplib::Response& res);
    void ServeCgi(const struct Target& target, const httplib::Request& req,
                  httplib::Response& res);
    void ServePage(const httplib::Request& req, httplib::Response& res);
    void LogAccess(const httplib::Request& req, const httplib::Response& res);

    Settings settings_;
    PageHost* pages_;
    ServiceLog* serviceLog_;
    std::unique_ptr<httplib::Server> http_;
    std::unique_ptr<DailyLog> accessLog_, errorLog_;
    std::atomic<bool> paused_{false};
    int port_ = 0;
};

}  // namespace qm::httpd
