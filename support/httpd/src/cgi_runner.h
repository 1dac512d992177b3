// Runs one CGI/1.1 program: environment and body in, header block and streamed body out, all
// bounded by the request time-out. The program runs in its own process group so that a time-out
// kills it with everything it started.
#pragma once

#include "qm/platform/owners.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace qm::httpd {

struct CgiLaunch {
    std::string program;              // absolute path
    std::vector<std::string> env;     // "NAME=value"
    std::string body;                 // request body, written to standard input
    int timeoutSeconds = 60;
    bool nph = false;                 // the program writes its own status line
    std::string stderrFile;           // where the program's standard error goes ("" = discard)
};

struct CgiHead {
    int status = 200;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string bodyStart;  // body bytes read together with the header block
};

class CgiProcess {
public:
    CgiProcess() = default;
    ~CgiProcess();
    CgiProcess(const CgiProcess&) = delete;
    CgiProcess& operator=(const CgiProcess&) = delete;

    // 0 when started; an errno value when the program could not be started.
    int Start(const CgiLaunch& launch);
    // Reads the header block. 0 on success; 504 when the time-out ran out first; 502 when the
    // program ended or wrote something that is not a header block.
    int ReadHead(CgiHead* head);
    // Next piece of the body: >0 bytes, 0 at the end, -1 on time-out (the program is killed).
    ssize_t ReadBody(char* buffer, size_t capacity);
    void Kill();
    pid_t pid() const { return pid_; }

private:
    // Writes pending body bytes and waits for output; false on time-out.
    bool Pump(bool wantOutput);
    void Reap();

    pid_t pid_ = -1;
    platform::UniqueFd in_, out_;
    std::string body_;
    size_t bodyOff_ = 0;
    bool nph_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::string pending_;  // output read while looking for the end of the header block
    bool eof_ = false;
};

}  // namespace qm::httpd
