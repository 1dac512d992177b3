// Serving channel requests. The page interpreter is the only service hosted in this process;
// a request for any other service gets a text chunk saying so, then a normal end, so the CGI
// shows a readable page instead of a transport error.
//
// Uploads (the bytes a CGI forwards after the request) are stored in a temporary file under
// run/ (owner-only) for the length of the request; the file's path is appended to the
// parameters as QM_UPLOAD_FILE so a page can hand it to a tag library, and the file is removed
// when the request ends. The interpreter itself never reads it.
#include "channel.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "qm/cgi/coding.h"
#include "qm/platform/paths.h"
#include "qm/rrchannel/server.h"
#include "qm/platform/owners.h"

namespace qm::httpd {

namespace {

std::string KeepUpload(const std::string& folder, const std::string& bytes) {
    std::string path = folder + "/upload-XXXXXX";
    platform::UniqueFd fd(mkstemp(path.data()));
    if (!fd) return {};
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::write(fd.get(), bytes.data() + off, bytes.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    // A failed close can lose what was written: the upload is then not kept either.
    if (off < bytes.size() || fd.close() != 0) {
        ::unlink(path.c_str());
        return {};
    }
    return path;
}

}  // namespace

ChannelServer::ChannelServer(PageHost* pages, ServiceLog* serviceLog, int maxSessions)
    : pages_(pages), serviceLog_(serviceLog), maxSessions_(maxSessions > 0 ? maxSessions : 1),
      listener_(std::make_unique<rrchannel::Listener>()) {}

ChannelServer::~ChannelServer() { Stop(); }

int ChannelServer::Start(const std::string& root) {
    uploadFolder_ = root + "/run";
    int rc = listener_->Open(root);
    if (rc != 0) return rc;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return 0;
}

void ChannelServer::Stop() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    std::unique_lock<std::mutex> lk(lock_);
    // Sessions in flight finish their page; each is bounded by its own time-outs.
    idle_.wait(lk, [this] { return active_ == 0; });
    listener_->Close();
}

void ChannelServer::AcceptLoop() {
    while (!stopping_.load()) {
        auto session = listener_->Accept(std::chrono::milliseconds(200));
        if (!session) continue;
        std::unique_lock<std::mutex> lk(lock_);
        // More sessions than workers wait here, as HTTP clients wait for a worker thread.
        idle_.wait(lk, [this] { return active_ < maxSessions_ || stopping_.load(); });
        ++active_;
        lk.unlock();
        std::thread([this, s = std::move(*session)]() mutable {
            Serve(std::move(s));
            std::lock_guard<std::mutex> g(lock_);
            --active_;
            idle_.notify_all();
        }).detach();
    }
}

void ChannelServer::Serve(rrchannel::ServerSession session) {
    rrchannel::RequestText request;
    std::string upload;
    if (!session.Receive(&request, &upload)) return;  // the client went away or spoke nonsense
    if (strcasecmp(request.service.c_str(), "qmintpr") != 0 || !pages_->loaded()) {
        // Logged before the answer goes out, so that whoever got the answer finds the line.
        serviceLog_->Error("channel request for the unavailable service \"" + request.service +
                           "\"");
        // The name is the client's: it goes into the page as text, never as markup.
        session.WriteData(rrchannel::kModeText,
                          "<p>qmhttpd: the service \"" + cgi::HtmlEscape(request.service) +
                              "\" is not available on this server.</p>\n");
        session.WriteEnd();
        return;
    }
    std::string uploadFile;
    if (!upload.empty()) {
        uploadFile = KeepUpload(uploadFolder_, upload);
        if (!uploadFile.empty()) request.parameters += "|QM_UPLOAD_FILE=" + uploadFile;
    }
    bool open = true;
    pages_->Run(request.parameters, [&](std::string_view piece) {
        open = open && session.WriteData(rrchannel::kModeText, piece);
        return open;
    });
    if (open) session.WriteEnd();
    if (!uploadFile.empty()) ::unlink(uploadFile.c_str());
}

}  // namespace qm::httpd
