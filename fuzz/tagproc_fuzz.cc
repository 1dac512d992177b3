// Fuzzes what a page or a device can hand the tag processor's helpers: device keys and OID
// lists from templates, value elements from agents, and OID texts for the result encoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "my_functions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qm::tag;
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 3;
    std::span<const uint8_t> rest(data + 1, size - 1);
    std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    if (mode == 0) {
        DeviceKey key;
        if (SetDevKeyInfo(text, &key) == 0) {
            // A parsed key never grows past its five limited fields.
            if (key.dbKey.size() > 8 + 15 + 20 + 12 + 8 + 4 || key.ip.size() > 15 || key.mac.size() > 12) std::abort();
        }
        for (const std::string& oid : SplitOidList(text)) (void)oid;
    } else if (mode == 1) {
        BerInfo info;
        if (GetBERInfo(rest, &info) == 0) {
            if (info.content.size() > rest.size()) std::abort();
            int32_t s;
            uint32_t u;
            DecodeINT(info.content, &s);
            DecodeUINT(info.content, &u);
            char small[8];
            int n = sizeof small;
            if (DecodeSTR(info.content, small, &n) == kBerBufferSmall) {
                std::vector<char> big(static_cast<size_t>(n));
                if (DecodeSTR(info.content, big.data(), &n) != 0) std::abort();
            }
        }
    } else {
        // OID texts from the input, each with a value element that is the input itself.
        std::vector<SeqEntry> entries;
        for (const std::string& oid : SplitOidList(text)) {
            SeqEntry e;
            if (!oid.empty()) e.oid = oid;
            e.value = {0x04, static_cast<uint8_t>(oid.size() & 0x7F)};
            e.value.insert(e.value.end(), oid.begin(), oid.begin() + (oid.size() & 0x7F));
            entries.push_back(std::move(e));
            if (entries.size() > 64) break;
        }
        int n = 0;
        if (CreateSEQ(entries, nullptr, &n) == kBerBufferSmall) {
            std::vector<uint8_t> out(static_cast<size_t>(n));
            int m = n;
            if (CreateSEQ(entries, out.data(), &m) != 0 || m != n) std::abort();
            BerInfo info;
            if (GetBERInfo(out, &info) != 0 || info.content.data() + info.content.size() != out.data() + out.size()) std::abort();
        }
    }
    return 0;
}
