// Appends page records in their on-disk form to a memory buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qmintpr/page_record.h"

namespace qm::intpr {

inline void AppendRecord(std::string& page, char code, std::string_view data = {}) {
    const auto n = static_cast<uint32_t>(data.size());
    const char header[QM_RECORD_HEADER_SIZE] = {code, static_cast<char>(n & 0xFF),
                                                static_cast<char>((n >> 8) & 0xFF),
                                                static_cast<char>((n >> 16) & 0xFF),
                                                static_cast<char>((n >> 24) & 0xFF)};
    page.append(header, sizeof header);
    page.append(data);
}

inline void AppendIntegerRecord(std::string& page, int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    const char data[4] = {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
                          static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 24) & 0xFF)};
    AppendRecord(page, QM_REC_INTEGER, std::string_view(data, 4));
}

}  // namespace qm::intpr
