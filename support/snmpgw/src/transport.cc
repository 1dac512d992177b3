// UDP socket handling for the gateway: connect, send, receive with a deadline.
#include "transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::mibgw {

namespace {
bool NoRoute(int error) {
    return error == ENETUNREACH || error == EHOSTUNREACH || error == EHOSTDOWN || error == EADDRNOTAVAIL;
}
}  // namespace

bool UdpPeer::Open(uint32_t address, uint16_t port) {
    Close();
    unreachable_ = false;
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        unreachable_ = NoRoute(errno);
        Close();
        return false;
    }
    return true;
}

void UdpPeer::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool UdpPeer::Send(std::span<const uint8_t> datagram) {
    if (fd_ < 0) return false;
    unreachable_ = false;
    ssize_t n;
    do {
        n = ::send(fd_, datagram.data(), datagram.size(), 0);
    } while (n < 0 && errno == EINTR);
    // A refusal left over from an earlier datagram is reported here by some kernels; the
    // datagram itself went out, so it is no failure of this send.
    if (n < 0 && errno == ECONNREFUSED) {
        n = ::send(fd_, datagram.data(), datagram.size(), 0);
    }
    if (n < 0) unreachable_ = NoRoute(errno);
    return n == static_cast<ssize_t>(datagram.size());
}

UdpPeer::Wait UdpPeer::Receive(std::vector<uint8_t>* buffer,
                               std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) return Wait::kError;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Wait::kTimeout;
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0) {
            if (errno == EINTR) continue;
            return Wait::kError;
        }
        if (r == 0) return Wait::kTimeout;
        buffer->resize(65535);
        ssize_t n = ::recv(fd_, buffer->data(), buffer->size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            if (errno == ECONNREFUSED) return Wait::kRefused;
            return Wait::kError;
        }
        buffer->resize(static_cast<size_t>(n));
        return Wait::kDatagram;
    }
}

}  // namespace qm::mibgw
