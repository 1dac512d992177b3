// Decodes the search parameter's bit fields; zero fields take the documented defaults.
#include "params.h"

#include "QBAPI.h"

namespace qm::discovery {

SearchParams DecodeParams(unsigned long param) {
    SearchParams p;
    uint32_t v = static_cast<uint32_t>(param);
    uint32_t tenths = v & QB_PARAM_TIMEOUT_MASK;
    p.timeout = std::chrono::milliseconds(tenths == 0 ? 1000 : tenths * 100);
    p.retries = static_cast<int>((v & QB_PARAM_RETRY_MASK) >> 8);
    p.sweep = (v & QB_PARAM_SWEEP) != 0;
    p.v2c = (v & QB_PARAM_V2C) != 0;
    uint32_t seconds = (v & QB_PARAM_BUDGET_MASK) >> 16;
    p.budget = std::chrono::milliseconds((seconds == 0 ? 60 : seconds) * 1000);
    p.sendsPerMs = static_cast<int>((v & QB_PARAM_PACE_MASK) >> 24) + 1;
    return p;
}

}  // namespace qm::discovery
