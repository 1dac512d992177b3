// The search parameter: one 32-bit number whose bit fields set time-outs, retries, sweeping,
// SNMP version, the time budget and the pacing of a search (layout in QBAPI.h).
#pragma once

#include <chrono>
#include <cstdint>

namespace qm::discovery {

struct SearchParams {
    std::chrono::milliseconds timeout{1000};
    int retries = 0;
    bool sweep = false;
    bool v2c = false;
    std::chrono::milliseconds budget{60000};
    int sendsPerMs = 1;
};

SearchParams DecodeParams(unsigned long param);

}  // namespace qm::discovery
