// The scripted test agent and a map-backed MIB it can serve.
#include "fake_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qm::testsupport {

FakeAgent::FakeAgent(Handler handler, const char* address, uint16_t port) : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("fake agent: not a loopback address");
    }
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("fake agent: bind failed");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Loop(); });
}

FakeAgent::~FakeAgent() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

void FakeAgent::Loop() {
    std::vector<uint8_t> buf(65535);
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        ++requests_;
        std::span<const uint8_t> raw(buf.data(), static_cast<size_t>(n));
        snmp::Message m;
        if (snmp::DecodeMessage(raw, &m) != snmp::BerStatus::kOk) continue;
        for (const Datagram& d : handler_(m, raw)) {
            ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
}

Datagram Answer(const snmp::Message& request, const std::vector<std::pair<snmp::Oid, Datagram>>& bindings,
                int errorStatus, int errorIndex, int32_t requestId) {
    snmp::BerWriter w;
    const snmp::PduMarks marks =
        snmp::OpenPdu(w, request.version, request.community, snmp::pdu::kResponse,
                      requestId == -1 ? request.requestId : requestId, errorStatus, errorIndex);
    for (const auto& [oid, value] : bindings) {
        size_t vb = w.Open(snmp::tag::kSequence);
        w.AddOid(oid);
        w.AddRaw(value);
        w.Close(vb);
    }
    snmp::ClosePdu(w, marks);
    return w.Take();
}

void FakeMib::Set(const char* oid, Datagram value) {
    snmp::Oid o;
    snmp::ParseOidText(oid, &o);
    objects[o] = std::move(value);
}

std::vector<Datagram> FakeMib::Respond(const snmp::Message& request) const {
    std::vector<std::pair<snmp::Oid, Datagram>> out;
    const Datagram endOfMib{snmp::tag::kEndOfMibView, 0};
    const Datagram noSuch{snmp::tag::kNoSuchObject, 0};
    auto next = [&](const snmp::Oid& from) { return objects.upper_bound(from); };
    bool v1 = request.version == snmp::SnmpVersion::kV1;
    if (request.type == snmp::pdu::kGet) {
        for (const auto& b : request.bindings) {
            auto it = objects.find(b.oid);
            if (it == objects.end()) {
                if (v1) return {Answer(request, {}, snmp::errstat::kNoSuchName, 1)};
                out.push_back({b.oid, noSuch});
            } else {
                out.push_back(*it);
            }
        }
    } else if (request.type == snmp::pdu::kGetNext) {
        for (const auto& b : request.bindings) {
            auto it = next(b.oid);
            if (it == objects.end()) {
                if (v1) return {Answer(request, {}, snmp::errstat::kNoSuchName, 1)};
                out.push_back({b.oid, endOfMib});
            } else {
                out.push_back(*it);
            }
        }
    } else if (request.type == snmp::pdu::kGetBulk && !request.bindings.empty()) {
        snmp::Oid cursor = request.bindings[0].oid;
        for (int i = 0; i < request.errorIndex; ++i) {
            auto it = next(cursor);
            if (it == objects.end()) {
                out.push_back({cursor, endOfMib});
                break;
            }
            out.push_back(*it);
            cursor = it->first;
        }
    }
    return {Answer(request, out)};
}

}  // namespace qm::testsupport
