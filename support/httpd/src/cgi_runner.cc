// Spawning and talking to CGI programs.
#include "cgi_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qm::httpd {

namespace {

constexpr size_t kMaxHead = 64 * 1024;

std::string Trim(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return std::string(s);
}

// Where the header block ends: after "\n\n" or "\r\n\r\n" (programs use either).
size_t HeadEnd(const std::string& s, size_t* bodyAt) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\n') continue;
        if (i + 1 < s.size() && s[i + 1] == '\n') {
            *bodyAt = i + 2;
            return i;
        }
        if (i + 2 < s.size() && s[i + 1] == '\r' && s[i + 2] == '\n') {
            *bodyAt = i + 3;
            return i;
        }
    }
    return std::string::npos;
}

}  // namespace

CgiProcess::~CgiProcess() {
    Kill();
}

int CgiProcess::Start(const CgiLaunch& launch) {
    int inFds[2], outFds[2];
    if (pipe2(inFds, O_CLOEXEC) != 0) return errno;
    platform::UniqueFd inRead(inFds[0]), inWrite(inFds[1]);
    if (pipe2(outFds, O_CLOEXEC) != 0) return errno;
    platform::UniqueFd outRead(outFds[0]), outWrite(outFds[1]);
    // The program runs in its own folder, as CGI programs expect.
    auto slash = launch.program.rfind('/');
    std::string dir = slash == 0 || slash == std::string::npos
                          ? std::string(1, '/')
                          : launch.program.substr(0, slash);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, inRead.get(), 0);
    posix_spawn_file_actions_adddup2(&fa, outWrite.get(), 1);
    if (launch.stderrFile.empty()) {
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&fa, 2, launch.stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0640);
    }
    // The server's sockets and files must not leak into the program.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t dfl;
    sigemptyset(&dfl);
    sigaddset(&dfl, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &dfl);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(launch.program.c_str()), nullptr};
    std::vector<char*> envp;
    for (const auto& e : launch.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, launch.program.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        pid_ = -1;
        return rc;
    }
    in_ = std::move(inWrite);
    out_ = std::move(outRead);
    fcntl(in_.get(), F_SETFL, O_NONBLOCK);
    fcntl(out_.get(), F_SETFL, O_NONBLOCK);
    body_ = launch.body;
    bodyOff_ = 0;
    nph_ = launch.nph;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(launch.timeoutSeconds);
    if (body_.empty()) in_.reset();
    return 0;
}

bool CgiProcess::Pump(bool wantOutput) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline_ - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd fds[2];
        int n = 0;
        if (out_ && wantOutput) fds[n++] = {out_.get(), POLLIN, 0};
        int inIndex = -1;
        if (in_) {
            inIndex = n;
            fds[n++] = {in_.get(), POLLOUT, 0};
        }
        if (n == 0) return true;
        int r = poll(fds, n, static_cast<int>(std::min<long long>(left, 1000)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (inIndex >= 0 && fds[inIndex].revents) {
            ssize_t w = ::write(in_.get(), body_.data() + bodyOff_, body_.size() - bodyOff_);
            if (w > 0) bodyOff_ += static_cast<size_t>(w);
            if (w < 0 && errno != EAGAIN && errno != EINTR) bodyOff_ = body_.size();
            if (bodyOff_ >= body_.size()) {
                in_.reset();  // end of the body for the program
            }
        }
        if (wantOutput && out_ && fds[0].revents) return true;
        if (!wantOutput && !in_) return true;
    }
}

int CgiProcess::ReadHead(CgiHead* head) {
    size_t bodyAt = 0, end = std::string::npos;
    char buf[8192];
    while ((end = HeadEnd(pending_, &bodyAt)) == std::string::npos) {
        if (pending_.size() > kMaxHead) return 502;
        if (!Pump(true)) {
            Kill();
            return 504;
        }
        ssize_t r = ::read(out_.get(), buf, sizeof buf);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) {
            eof_ = true;
            return 502;  // ended (or failed) before finishing its header block
        }
        pending_.append(buf, static_cast<size_t>(r));
    }
    std::string block = pending_.substr(0, end + 1);
    head->bodyStart = pending_.substr(bodyAt);
    pending_.clear();
    size_t pos = 0;
    bool first = true;
    bool sawStatus = false, sawLocation = false;
    while (pos < block.size()) {
        size_t nl = block.find('\n', pos);
        std::string line = Trim(std::string_view(block).substr(pos, nl - pos));
        pos = nl + 1;
        if (line.empty()) continue;
        if (first && nph_) {
            first = false;
            // "HTTP/1.0 200 OK"
            if (line.compare(0, 5, "HTTP/") != 0) return 502;
            auto sp = line.find(' ');
            if (sp == std::string::npos) return 502;
            head->status = std::atoi(line.c_str() + sp + 1);
            auto sp2 = line.find(' ', sp + 1);
            head->reason = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
            sawStatus = true;
            continue;
        }
        first = false;
        auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return 502;
        std::string name = Trim(std::string_view(line).substr(0, colon));
        std::string value = Trim(std::string_view(line).substr(colon + 1));
        if (strcasecmp(name.c_str(), "Status") == 0 && !nph_) {
            head->status = std::atoi(value.c_str());
            auto sp = value.find(' ');
            head->reason = sp == std::string::npos ? "" : value.substr(sp + 1);
            sawStatus = true;
            continue;
        }
        if (strcasecmp(name.c_str(), "Location") == 0) sawLocation = true;
        head->headers.emplace_back(std::move(name), std::move(value));
    }
    if (sawLocation && !sawStatus) head->status = 302;
    if (head->status < 100 || head->status > 999) return 502;
    return 0;
}

ssize_t CgiProcess::ReadBody(char* buffer, size_t capacity) {
    if (eof_ || !out_) return 0;
    for (;;) {
        if (!Pump(true)) {
            Kill();
            return -1;
        }
        ssize_t r = ::read(out_.get(), buffer, capacity);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) {
            eof_ = true;
            Reap();
            return 0;
        }
        return r;
    }
}

void CgiProcess::Reap() {
    in_.reset();
    out_.reset();
    if (pid_ > 0) {
        // The program has closed its output; give it a moment to exit before forcing it.
        for (int i = 0; i < 50; ++i) {
            int status;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                pid_ = -1;
                return;
            }
            usleep(2000);
        }
        ::kill(-pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

void CgiProcess::Kill() {
    if (pid_ > 0) ::kill(-pid_, SIGKILL);
    Reap();
}

}  // namespace qm::httpd
