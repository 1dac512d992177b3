// Arbitrary bytes as an acknowledgement and as a received datagram. The parsers must stay
// inside the bytes given (the buffer here is exactly the input, so ASan sees any overread) and
// must accept an acknowledgement only for the sequence number its first field spells.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qm/notifier/datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> bytes(data, data + size);
    const char* p = bytes.empty() ? "" : bytes.data();
    for (int32_t sequence : {0, 1, 7, 2147483647}) {
        if (qm::notifier::IsAcknowledgement(p, size, sequence)) {
            // Accepted: the first field must be exactly that number.
            std::string first(p, strnlen(p, size));
            first = first.substr(0, first.find(','));
            if (std::to_string(sequence) != first.substr(first.find_first_not_of('0') == std::string::npos
                                                            ? first.size() - 1
                                                            : first.find_first_not_of('0')))
                std::abort();
        }
    }
    std::vector<std::string> fields;
    if (qm::notifier::SplitDatagram(std::string_view(p, size), &fields) && fields.size() != 19) std::abort();
    // A record built from hostile bytes never runs past the record or the datagram buffer.
    if (size >= qm::notifier::kSendRecordSize) {
        auto f = qm::notifier::ReadSendRecord(p);
        std::string text = qm::notifier::WithSequence(
            1, qm::notifier::NoticeBody(qm::notifier::BacklogKind(f), 7001, f, "x"));
        if (text.size() > qm::notifier::kDatagramBuffer - 1) std::abort();
    }
    return 0;
}
