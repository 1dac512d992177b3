// A test-side caller of the gateway that follows the documented call order and buffer sizing.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qmmibgw.h"

namespace qm::testsupport {

using Bytes = std::vector<unsigned char>;

class GatewayClient {
public:
    GatewayClient() : h(MIBInitialize()) {}
    explicit GatewayClient(int handle) : h(handle) {}
    ~GatewayClient() {
        MIBClose(h);
        MIBRelease(h);
    }
    GatewayClient(const GatewayClient&) = delete;
    GatewayClient& operator=(const GatewayClient&) = delete;

    // Channel and open for ip, with the given per-handle overrides.
    int Connect(const char* ip, int port, int version, int timeoutMs = 300, int retries = 0) {
        MIBSetOption(h, MIB_OPT_PORT, port);
        MIBSetOption(h, MIB_OPT_VERSION, version);
        MIBSetOption(h, MIB_OPT_TIMEOUT_MS, timeoutMs);
        MIBSetOption(h, MIB_OPT_RETRIES, retries);
        int rc = MIBGetChannelInfo(h, ip, "", channel);
        if (rc != MIB_OK) return rc;
        return MIBOpen(h, ip, "", channel);
    }

    // Builds, sends and receives one request of `kind`; the answer lands in `response`.
    int Ask(int kind, const std::vector<std::string>& oids, Bytes* response, int number = 1,
            const char* community = "tarlow") {
        std::vector<const char*> p;
        for (const auto& o : oids) p.push_back(o.c_str());
        int len = 0;
        int rc = MIBCreateGetRequestSNMPPacket(h, kind, number, community, static_cast<int>(p.size()), p.data(), &len, nullptr);
        if (rc != MIB_ERR_BUFFER) return rc;
        Bytes packet(static_cast<size_t>(len));
        rc = MIBCreateGetRequestSNMPPacket(h, kind, number, community, static_cast<int>(p.size()), p.data(), &len, packet.data());
        if (rc != MIB_OK) return rc;
        if ((rc = MIBSend(h, len, packet.data())) != MIB_OK) return rc;
        return Receive(response);
    }

    int Receive(Bytes* response) {
        int len = 0;
        int rc = MIBReceive(h, &len, nullptr);
        if (rc != MIB_ERR_BUFFER) return rc;
        response->resize(static_cast<size_t>(len));
        return MIBReceive(h, &len, response->data());
    }

    int Set(const std::string& oid, int type, const char* value, const char* community = "wixam") {
        int vlen = 0;
        int rc = MIBBEREncode(h, type, value, &vlen, nullptr);
        if (rc != MIB_ERR_BUFFER) return rc;
        Bytes element(static_cast<size_t>(vlen));
        if ((rc = MIBBEREncode(h, type, value, &vlen, element.data())) != MIB_OK) return rc;
        const char* oids[] = {oid.c_str()};
        const unsigned char* values[] = {element.data()};
        int len = 0;
        rc = MIBCreateSetRequestSNMPPacket(h, 1, community, 1, oids, values, &len, nullptr);
        if (rc != MIB_ERR_BUFFER) return rc;
        Bytes packet(static_cast<size_t>(len));
        if ((rc = MIBCreateSetRequestSNMPPacket(h, 1, community, 1, oids, values, &len, packet.data())) != MIB_OK) return rc;
        return MIBSend(h, len, packet.data());
    }

    // Every binding of a response as (OID text, value element), read until -104.
    int Bindings(const Bytes& response, std::vector<std::pair<std::string, Bytes>>* out) {
        out->clear();
        int n = static_cast<int>(response.size());
        for (int i = 0;; ++i) {
            int olen = 0;
            int rc = MIBGetchObjectIDFromSNMPPacket(h, i, n, response.data(), &olen, nullptr);
            if (rc == MIB_ERR_NO_BINDING) return MIB_OK;
            if (rc != MIB_ERR_BUFFER) return rc;
            std::string oid(static_cast<size_t>(olen), '\0');
            if ((rc = MIBGetchObjectIDFromSNMPPacket(h, i, n, response.data(), &olen, oid.data())) != MIB_OK) return rc;
            oid.resize(static_cast<size_t>(olen - 1));
            int vlen = 0;
            rc = MIBGetBERDataFromSNMPPacket(h, i, n, response.data(), &vlen, nullptr);
            if (rc != MIB_ERR_BUFFER) return rc;
            Bytes value(static_cast<size_t>(vlen));
            if ((rc = MIBGetBERDataFromSNMPPacket(h, i, n, response.data(), &vlen, value.data())) != MIB_OK) return rc;
            out->emplace_back(std::move(oid), std::move(value));
        }
    }

    int h;
    unsigned char channel[MIB_CHANNEL_SIZE] = {};
};

}  // namespace qm::testsupport
