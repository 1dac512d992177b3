// nph-QMHTTPD: the HTTP server's administration pages, run by the server as a non-parsed-header
// CGI program for each request.
#include <cstdio>

#include "admin.h"

namespace {

qm::cgi::CgiRequest g_request;  // one per process; its destructor removes upload files

}  // namespace

int main() {
    qm::admin::Page out([](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    });
    try {
        qm::admin::Run(g_request, out);
    } catch (const std::exception&) {
        // Out of memory in the middle of a page: what was written stands, the page ends.
        return 1;
    }
    return 0;
}
