// Reads the gateway's settings from the installation's Setup key.
#include "settings.h"

#include <charconv>

#include "qm/platform/registry.h"

namespace qm::mibgw {

namespace {

// Numbers may be stored as 32-bit values or, by hand-edited registries, as decimal text.
bool ReadNumber(std::string_view name, long min, long max, long* out) {
    std::string text = platform::RegReadText(platform::RegRoot::LocalMachine, kSetupKey, name);
    if (text.empty()) return false;
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (value < min || value > max) return false;
    *out = value;
    return true;
}

}  // namespace

Settings LoadSettings() {
    Settings s;
    long v = 0;
    if (ReadNumber("SnmpPort", 1, 65535, &v)) s.port = static_cast<uint16_t>(v);
    if (ReadNumber("SnmpTimeout", 10, 60000, &v)) s.timeoutMs = static_cast<int>(v);
    if (ReadNumber("SnmpRetries", 0, 10, &v)) s.retries = static_cast<int>(v);
    if (ReadNumber("SnmpVersion", 0, 2, &v)) s.version = static_cast<int>(v);
    if (ReadNumber("SnmpMaxRepetitions", 1, 255, &v)) s.maxRepetitions = static_cast<int>(v);
    if (ReadNumber("SnmpMaxResponse", 65536, 64L << 20, &v)) s.maxResponse = static_cast<size_t>(v);
    std::string community =
        platform::RegReadText(platform::RegRoot::LocalMachine, kSetupKey, "SnmpProbeCommunity");
    if (!community.empty() && community.size() < 256) s.probeCommunity = community;
    return s;
}

}  // namespace qm::mibgw
