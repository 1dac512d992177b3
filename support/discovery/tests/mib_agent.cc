// Map-backed SNMP agents on loopback addresses, answering from one thread.
#include "mib_agent.h"

#include "fake_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::testsupport {

namespace {

std::vector<uint8_t> Element(uint8_t tagByte, std::span<const uint8_t> content) {
    snmp::BerWriter w;
    w.AddOctets(content, tagByte);
    return w.Take();
}

}  // namespace

uint32_t Ip(const char* dotted) {
    in_addr a{};
    ::inet_pton(AF_INET, dotted, &a);
    return ntohl(a.s_addr);
}

void SetText(Mib& mib, const char* oid, const std::string& text) {
    snmp::Oid o;
    snmp::ParseOidText(oid, &o);
    snmp::BerWriter w;
    w.AddText(text);
    mib[o] = w.Take();
}

void SetInteger(Mib& mib, const char* oid, int64_t value) {
    snmp::Oid o;
    snmp::ParseOidText(oid, &o);
    snmp::BerWriter w;
    w.AddInteger(value);
    mib[o] = w.Take();
}

void SetOid(Mib& mib, const char* oid, const char* value) {
    snmp::Oid o;
    snmp::ParseOidText(oid, &o);
    snmp::BerWriter w;
    w.AddOidText(value);
    mib[o] = w.Take();
}

void SetOctets(Mib& mib, const char* oid, const std::vector<uint8_t>& bytes) {
    snmp::Oid o;
    snmp::ParseOidText(oid, &o);
    mib[o] = Element(snmp::tag::kOctetString, bytes);
}

Mib PrinterMib(uint32_t index, const std::string& mac, bool privateArc) {
    Mib mib;
    std::string i = std::to_string(index);
    SetText(mib, "1.3.6.1.2.1.1.1.0", "Test printer");
    SetInteger(mib, "1.3.6.1.2.1.2.2.1.1.1", 1);
    SetInteger(mib, "1.3.6.1.2.1.2.2.1.3.1", 6);
    std::vector<uint8_t> bytes;
    for (size_t k = 0; k + 1 < mac.size(); k += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(mac.substr(k, 2), nullptr, 16)));
    SetOctets(mib, "1.3.6.1.2.1.2.2.1.6.1", bytes);
    SetOid(mib, ("1.3.6.1.2.1.25.3.2.1.2." + i).c_str(), "1.3.6.1.2.1.25.3.1.5");
    SetInteger(mib, ("1.3.6.1.2.1.43.5.1.1.1." + i).c_str(), 4);
    if (privateArc) SetText(mib, "1.3.6.1.4.1.40404.1.1.3.1.4.4.0", "Private");
    return mib;
}

std::vector<uint8_t> Respond(const Mib& mib, const snmp::Message& request) {
    std::vector<std::pair<snmp::Oid, std::vector<uint8_t>>> out;
    bool v1 = request.version == snmp::SnmpVersion::kV1;
    auto echo = [&](int status, size_t index) {
        std::vector<std::pair<snmp::Oid, std::vector<uint8_t>>> same;
        for (const auto& b : request.bindings) same.push_back({b.oid, {snmp::tag::kNull, 0}});
        return Answer(request, same, status, static_cast<int>(index));
    };
    for (size_t k = 0; k < request.bindings.size(); ++k) {
        const snmp::Oid& oid = request.bindings[k].oid;
        const bool get = request.type == snmp::pdu::kGet;
        if (!get && request.type != snmp::pdu::kGetNext) return {};
        auto it = get ? mib.find(oid) : mib.upper_bound(oid);
        if (it != mib.end()) {
            out.push_back(*it);
        } else if (v1) {
            return echo(snmp::errstat::kNoSuchName, k + 1);
        } else {
            out.push_back({oid, {get ? snmp::tag::kNoSuchInstance : snmp::tag::kEndOfMibView, 0}});
        }
    }
    return Answer(request, out, 0, 0);
}

MibAgents::~MibAgents() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& a : agents_) ::close(a.fd);
}

bool MibAgents::Add(uint32_t address, Mib mib) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    agents_.push_back({fd, std::move(mib)});
    return true;
}

void MibAgents::Start() {
    thread_ = std::thread([this] { Loop(); });
}

void MibAgents::Loop() {
    std::vector<pollfd> fds;
    for (const auto& a : agents_) fds.push_back({a.fd, POLLIN, 0});
    std::vector<uint8_t> buf(65535);
    while (!stop_) {
        if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
        for (size_t k = 0; k < fds.size(); ++k) {
            if ((fds[k].revents & POLLIN) == 0) continue;
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n = ::recvfrom(fds[k].fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n <= 0) break;
                ++requests_;
                if (dropsLeft_.load() > 0) {
                    --dropsLeft_;
                    continue;
                }
                snmp::Message m;
                if (snmp::DecodeMessage(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)), &m) != snmp::BerStatus::kOk) {
                    continue;
                }
                std::vector<uint8_t> answer = Respond(agents_[k].mib, m);
                if (!answer.empty()) {
                    ::sendto(fds[k].fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
                }
            }
        }
    }
}

}  // namespace qm::testsupport
