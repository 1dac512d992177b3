// Human-readable text of one SNMP value, in the "TYPE: value" style admins know from other
// SNMP tools.
#pragma once

#include <span>
#include <string>

#include "qm/snmp/ber.h"

namespace qm::snmptool {

// Text of a complete BER value element; undecodable elements are shown as hex.
std::string FormatValue(std::span<const uint8_t> element);

}  // namespace qm::snmptool
