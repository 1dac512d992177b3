// Fuzz target: any datagram on the monitor's trap port, read as the trap thread reads it. The
// thread receives at most 1023 bytes into its buffer, so longer input is cut there; the bytes
// are an exact-size heap copy, so the sanitizers see any read past them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "trap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> datagram(data, data + std::min<size_t>(size, 1023));
    if (qm::monitor::IsV1Trap(datagram)) {
        // Accepted: a SEQUENCE whose version is the INTEGER 0 and whose PDU is a Trap-PDU.
        const bool shaped = datagram.size() >= 8 && datagram[0] == 0x30 &&
                            std::find(datagram.begin(), datagram.end(), 0xA4) != datagram.end();
        if (!shaped) std::abort();
    }
    return 0;
}
