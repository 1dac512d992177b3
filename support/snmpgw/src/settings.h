// The gateway's settings: defaults, and the values an installation overrides in its registry.
#pragma once

#include <cstdint>
#include <string>

namespace qm::mibgw {

struct Settings {
    uint16_t port = 161;
    int timeoutMs = 1000;
    int retries = 2;
    int version = 0;  // 0 probe, 1 SNMPv1, 2 SNMPv2c
    int maxRepetitions = 25;
    std::string probeCommunity = "tarlow";
    size_t maxResponse = 4u << 20;
};

// Key under HKEY_LOCAL_MACHINE that holds the values.
inline constexpr const char* kSetupKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";

// Defaults overlaid with the installation's registry values; values out of range keep the
// default rather than making the gateway unusable.
Settings LoadSettings();

}  // namespace qm::mibgw
