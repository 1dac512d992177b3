// Helpers on the group file shared by the group, sub-group and member calls.
#pragma once

#include <cstdint>
#include <string>

#include "files.h"

namespace qm::confdb {

constexpr int kGroupNumberOffset = 4, kGroupNameOffset = 8, kGroupNameWidth = 65;
constexpr const char* kAllDevices = "All Devices";

// Opens QMGROUP; with `createRoot`, a missing file is created holding the root group.
int OpenGroups(File& f, bool createRoot);
// Exact lookups on the group file by name (index 2) or number (index 1).
int GroupByName(File& f, const char* name, unsigned char* rec);
int GroupByNumber(File& f, uint32_t number, unsigned char* rec);
// A key of index `k` made of group numbers (and zeroed text), in comparable form.
struct NumberKey {
    unsigned char bytes[72] = {};
    NumberKey(File& f, int k, uint32_t first, uint32_t second = 0, bool withSecond = false);
    NumberKey(File& f, int k, uint32_t group, const char* text);
};

}  // namespace qm::confdb
