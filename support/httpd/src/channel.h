// qmhttpd's end of the request/response channel: Qmcgi (and script hosts) hand requests in
// over run/QMRR.sock; each is run by the service named in its second field and the output goes
// back as text chunks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "logs.h"
#include "page_host.h"

namespace qm::rrchannel {
class Listener;
class ServerSession;
}  // namespace qm::rrchannel

namespace qm::httpd {

class ChannelServer {
public:
    ChannelServer(PageHost* pages, ServiceLog* serviceLog, int maxSessions);
    ~ChannelServer();

    // Listens on the installation's channel socket; 0, or the Windows error number
    // (10048 when another server already answers on it).
    int Start(const std::string& root);
    void Stop();

private:
    void AcceptLoop();
    void Serve(rrchannel::ServerSession session);

    PageHost* pages_;
    ServiceLog* serviceLog_;
    int maxSessions_;
    std::unique_ptr<rrchannel::Listener> listener_;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::condition_variable idle_;
    int active_ = 0;
    std::string uploadFolder_;
};

}  // namespace qm::httpd
