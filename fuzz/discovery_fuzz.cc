// Fuzz target: a search list as settings or a page could hand it over, and a run of agent
// answers fed to one device's recognition steps in the order they arrive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "QBAPI.h"
#include "device.h"
#include "params.h"
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qm::discovery;
    if (size < 1) return 0;
    uint8_t mode = data[0];
    std::vector<uint8_t> rest(data + 1, data + size);  // exact-size copy: over-reads are caught

    if ((mode & 1) == 0) {
        std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
        std::vector<LocalSegment> local = {{0x0A4D0001u, 0xFFFFFF00u}, {0xC0A80509u, 0xFFFFFFFCu}};
        std::vector<Destination> out;
        if (BuildDestinations(text, (mode & 2) != 0, local, &out)) {
            // Each address once; sweeps are bounded by the /16 limit per entry.
            if (out.size() > (rest.size() + 2) * 65536) std::abort();
        }
        DecodeParams(static_cast<unsigned long>(mode) * 0x01010101ul);
        return 0;
    }

    // Answers: [2-byte length][message] ... ; a zero length stands for a time-out.
    Device device(0x7F00000Bu);
    size_t at = 0;
    int steps = 0;
    while (at + 2 <= rest.size() && device.step() != Step::kDone && device.step() != Step::kDropped) {
        size_t len = (static_cast<size_t>(rest[at]) << 8) | rest[at + 1];
        at += 2;
        if (len == 0) {
            device.GiveUp();
        } else {
            if (len > rest.size() - at) len = rest.size() - at;
            std::vector<uint8_t> datagram(rest.begin() + static_cast<long>(at), rest.begin() + static_cast<long>(at + len));
            at += len;
            qm::snmp::Message m;
            if (qm::snmp::DecodeMessage(datagram, &m) == qm::snmp::BerStatus::kOk) device.Absorb(m);
        }
        (void)device.NextAsk();
        if (++steps > 10000) std::abort();
    }
    if (device.step() == Step::kDone) {
        std::string text = device.ResultText();
        if (text.size() >= 64) std::abort();  // the size QBStartDiscovery promises
        if (device.DeviceType() < QB_DEVTYPE_PRINTER_MIB || device.DeviceType() > QB_DEVTYPE_HOST_PRINTER) std::abort();
    }
    return 0;
}
