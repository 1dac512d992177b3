// Trap recognition rides on the shared BER reader, which checks every length against what is
// left, so a hostile datagram can only be refused.
#include "trap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qm/snmp/ber.h"

namespace qm::monitor {

namespace snmp = qm::snmp;

bool IsV1Trap(std::span<const uint8_t> datagram) {
    using snmp::BerStatus;
    snmp::BerElement message, e;
    if (snmp::ReadElement(datagram, &message) != BerStatus::kOk ||
        message.tag != snmp::tag::kSequence) {
        return false;
    }
    snmp::BerReader top(message.content);
    int64_t version = -1;
    if (top.Expect(snmp::tag::kInteger, &e) != BerStatus::kOk ||
        snmp::DecodeInteger(e.content, &version) != BerStatus::kOk || version != 0) {
        return false;
    }
    if (top.Expect(snmp::tag::kOctetString, &e) != BerStatus::kOk) return false;
    snmp::BerElement pdu;
    if (top.Expect(0xA4, &pdu) != BerStatus::kOk) return false;
    snmp::BerReader fields(pdu.content);
    snmp::Oid enterprise;
    if (fields.Expect(snmp::tag::kOid, &e) != BerStatus::kOk ||
        snmp::DecodeOid(e.content, &enterprise) != BerStatus::kOk) {
        return false;
    }
    if (fields.Expect(snmp::tag::kIpAddress, &e) != BerStatus::kOk || e.content.size() != 4) {
        return false;
    }
    int64_t n;
    for (int i = 0; i < 2; ++i) {
        if (fields.Expect(snmp::tag::kInteger, &e) != BerStatus::kOk ||
            snmp::DecodeInteger(e.content, &n) != BerStatus::kOk) {
            return false;
        }
    }
    return true;
}

int TrapSocket::Open(int port, std::string* error) {
    fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!fd_) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        *error = "bind to UDP port " + std::to_string(port) + ": " + std::strerror(errno);
        fd_.reset();
        return -1;
    }
    return 0;
}

int TrapSocket::Receive(std::span<uint8_t> buffer, size_t* size, std::string* sender) {
    for (;;) {
        if (down_.load()) return -1;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        // A shut-down socket returns 0 bytes from no one: that is the stop.
        if (down_.load()) return -1;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        *sender = text;
        *size = static_cast<size_t>(n);
        return 0;
    }
}

void TrapSocket::Shutdown() {
    down_.store(true);
    if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
}

}  // namespace qm::monitor
