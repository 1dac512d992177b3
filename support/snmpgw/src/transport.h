// A UDP/IPv4 socket connected to one agent, with deadline-bounded receives.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace qm::mibgw {

class UdpPeer {
public:
    enum class Wait { kDatagram, kTimeout, kRefused, kError };

    UdpPeer() = default;
    ~UdpPeer() { Close(); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // Connecting the socket makes the kernel drop datagrams from any other address and port,
    // and turns an ICMP "port unreachable" into a refusal we can report at once.
    bool Open(uint32_t address, uint16_t port);  // host order
    // True when the last failed Open or Send failed because no route leads to the device:
    // for callers that is a device that does not answer, not a fault of this host.
    bool Unreachable() const { return unreachable_; }
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    bool Send(std::span<const uint8_t> datagram);
    // Receives one datagram (up to 65535 bytes) into `buffer`, or reports why none came.
    Wait Receive(std::vector<uint8_t>* buffer, std::chrono::steady_clock::time_point deadline);

private:
    int fd_ = -1;
    bool unreachable_ = false;
};

}  // namespace qm::mibgw
