// Matching an agent's answer to its request, with time-out and retries.
#include "exchange.h"

#include <chrono>
#include <random>

#include "qmmibgw.h"

namespace qm::mibgw {

namespace {
constexpr uint32_t kFirstId = 0x01000000u;
constexpr uint32_t kLastId = 0x7FFFFFFFu;
}  // namespace

RequestIds::RequestIds() {
    std::random_device rd;
    next_ = kFirstId + rd() % (kLastId - kFirstId);
}

int32_t RequestIds::Next() {
    uint32_t id = next_;
    next_ = next_ >= kLastId ? kFirstId : next_ + 1;
    return static_cast<int32_t>(id);
}

int Exchange(UdpPeer& peer, std::span<const uint8_t> request, const Expected& expected,
             const Timing& timing, bool alreadySent, std::vector<uint8_t>* answer, int* detail) {
    bool sawMalformed = false;
    for (int attempt = 0; attempt <= timing.retries; ++attempt) {
        if (attempt > 0 || !alreadySent) {
            if (!peer.Send(request)) {
                *detail = peer.Unreachable() ? MIB_ERR_NO_ANSWER : MIB_ERR_SOCKET;
                return MIB_ERR_FAILED;
            }
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timing.timeoutMs);
        while (true) {
            UdpPeer::Wait w = peer.Receive(answer, deadline);
            if (w == UdpPeer::Wait::kTimeout) break;
            if (w == UdpPeer::Wait::kRefused) {
                // Nothing listens on the agent port: waiting longer cannot help.
                *detail = MIB_ERR_NO_ANSWER;
                return MIB_ERR_FAILED;
            }
            if (w == UdpPeer::Wait::kError) {
                *detail = MIB_ERR_SOCKET;
                return MIB_ERR_FAILED;
            }
            snmp::Message header;
            if (snmp::DecodeHeader(*answer, &header) != snmp::BerStatus::kOk) {
                sawMalformed = true;  // cannot even tell whose it is: keep waiting for ours
                continue;
            }
            if (header.type != snmp::pdu::kResponse || header.requestId != expected.requestId ||
                header.version != expected.version || header.community != expected.community) {
                continue;  // a late answer to an earlier request, or not for us
            }
            snmp::Message full;
            if (snmp::DecodeMessage(*answer, &full) != snmp::BerStatus::kOk) {
                *detail = MIB_ERR_MALFORMED;
                return MIB_ERR_FAILED;
            }
            *detail = MIB_OK;
            return MIB_OK;
        }
    }
    *detail = sawMalformed ? MIB_ERR_MALFORMED : MIB_ERR_NO_ANSWER;
    return MIB_ERR_FAILED;
}

}  // namespace qm::mibgw
