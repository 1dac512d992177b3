// Fuzz target: a hostile agent's answer, read the way every caller of the gateway reads it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qm/snmp/ber.h"
#include "qm/snmp/message.h"
#include "qmmibgw.h"

namespace {
int Handle() {
    static int h = MIBInitialize();
    return h;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qm::snmp;
    std::vector<uint8_t> copy(data, data + size);  // exact-size heap copy: over-reads are caught
    Message m;
    if (DecodeMessage(copy, &m) == BerStatus::kOk) {
        for (const Binding& b : m.bindings) {
            int64_t s;
            uint64_t u;
            Oid oid;
            DecodeInteger(b.value.content, &s);
            DecodeUnsigned(b.value.content, &u);
            DecodeOid(b.value.content, &oid);
            OidToText(b.oid);
        }
    }
    DecodeHeader(copy, &m);

    // The gateway's binding readers with the two-call sizing, until "no such binding".
    if (size == 0 || size > 1 << 20) return 0;
    int h = Handle();
    const int n = static_cast<int>(size);
    for (int i = 0; i < 64; ++i) {
        int len = 0;
        int rc = MIBGetchObjectIDFromSNMPPacket(h, i, n, copy.data(), &len, nullptr);
        if (rc == MIB_ERR_BUFFER) {
            std::vector<char> text(static_cast<size_t>(len));
            MIBGetchObjectIDFromSNMPPacket(h, i, n, copy.data(), &len, text.data());
        }
        int vlen = 0;
        int vrc = MIBGetBERDataFromSNMPPacket(h, i, n, copy.data(), &vlen, nullptr);
        if (vrc == MIB_ERR_BUFFER) {
            std::vector<unsigned char> value(static_cast<size_t>(vlen));
            MIBGetBERDataFromSNMPPacket(h, i, n, copy.data(), &vlen, value.data());
            BerElement e;
            ReadElement(value, &e);
        }
        if (rc != MIB_ERR_BUFFER && vrc != MIB_ERR_BUFFER) break;
    }
    return 0;
}
