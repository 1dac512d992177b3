// Key layout of an index: how record bytes become the comparable key the store orders by.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qmisam.h"

namespace qm::isam {

struct IndexLayout {
    int keyLength = 0;
    bool duplicates = false;
    unsigned char padding = 0;
    std::vector<IsamSegment> segments;

    // Bytes the segments fill (without padding or the appended position).
    int SegmentBytes() const;
};

struct Layout {
    int recordLength = 0;
    std::vector<IndexLayout> indexes;

    // Checks a definition handed in by a caller; false when it cannot describe a file set.
    static bool FromDefinition(const IsamFileSet& def, Layout& out);
    // Canonical text of the layout, stored in the file so that an opener can be checked
    // against what the file holds and an administrator can read it.
    std::string Describe() const;
    // Reads back what Describe wrote (the checking tool rebuilds keys from it); false when the
    // text is not such a layout.
    static bool FromDescription(const std::string& text, Layout& out);
};

// The comparable key of index `ix` for a record stored at `position`.
std::string KeyFromRecord(const IndexLayout& ix, std::span<const unsigned char> record,
                          int64_t position);

// Turns a key laid out as in the record (segments back to back) into comparable form.
void TransformKey(const IndexLayout& ix, unsigned char* key);

// The smallest byte string greater than every string starting with `prefix`; empty when
// there is none (the prefix is all 0xFF).
std::string PrefixUpperBound(std::string prefix);

}  // namespace qm::isam
