// Decoding of the BER blocks that tag functions return into page values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "value.h"

namespace qm::intpr {

// Bytes that the first TLV of `block` claims (header plus content), or 0 when its header is
// malformed. Reads at most the header (up to 6 bytes), never past `available`.
size_t BerExtent(const uint8_t* block, size_t available);

// Decodes the first TLV of `block`: NULL; a SEQUENCE of SEQUENCEs (one row each); a SEQUENCE of
// elements (one row); or a single element. On failure `out` is NULL and false is returned. Never
// reads outside `block`.
bool DecodeBerResult(std::span<const uint8_t> block, Value& out);

}  // namespace qm::intpr
