// Fuzzes the decoder of tag results: any block must decode or fail without reading outside it,
// and a decoded table must index safely.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "ber_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::intpr::Value v;
    const bool ok = qm::intpr::DecodeBerResult(std::span<const uint8_t>(data, size), v);
    if (!ok && !v.IsNull()) std::abort();
    const size_t extent = qm::intpr::BerExtent(data, size);
    (void)extent;
    if (ok && v.IsTable()) {
        for (int row = 0; row < 4; ++row) {
            for (int element = 0; element < 4; ++element) {
                qm::intpr::Value cell = v.Cell(row, element);
                std::string scratch;
                (void)qm::intpr::TextForm(cell, scratch);
                (void)qm::intpr::IntegerForm(cell);
            }
        }
    }
    // Whatever came out must work as an operand.
    qm::intpr::Value out;
    qm::intpr::ApplyOperator('+', v, v, out);
    qm::intpr::ApplyOperator('-', v, qm::intpr::Value::Text("1.3"), out);
    qm::intpr::ApplyOperator('<', v, qm::intpr::Value::Tagged(qm::intpr::kTagOid, "1.3.6"), out);
    return 0;
}
