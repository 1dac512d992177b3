// Reads page records from a compiled page held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "qmintpr/page_record.h"

namespace qm::intpr {

struct Record {
    char code = 0;
    std::string_view data;
};

// The whole page is read once and executed from memory; the record semantics stay those of the
// file: a record longer than QM_RECORD_MAX_DATA, or one cut short by the end of the page, reads
// as code 0 and ends execution there.
class PageReader {
public:
    explicit PageReader(std::string_view page) : page_(page) {}

    char Read(Record& r) {
        r = Record{};
        if (page_.size() - pos_ < QM_RECORD_HEADER_SIZE) return 0;
        const auto* p = reinterpret_cast<const unsigned char*>(page_.data() + pos_);
        const uint32_t length = p[1] | (p[2] << 8) | (p[3] << 16) | (static_cast<uint32_t>(p[4]) << 24);
        if (length > QM_RECORD_MAX_DATA || page_.size() - pos_ - QM_RECORD_HEADER_SIZE < length) return 0;
        r.code = static_cast<char>(p[0]);
        r.data = page_.substr(pos_ + QM_RECORD_HEADER_SIZE, length);
        pos_ += QM_RECORD_HEADER_SIZE + length;
        return r.code;
    }
    // The code of the next record without moving (0 when it cannot be read).
    char Peek() {
        const size_t saved = pos_;
        Record r;
        const char code = Read(r);
        pos_ = saved;
        return code;
    }

    size_t position() const { return pos_; }
    void Seek(size_t pos) { pos_ = pos; }

private:
    std::string_view page_;
    size_t pos_ = 0;
};

}  // namespace qm::intpr
