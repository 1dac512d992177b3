// The registry: hierarchical keys holding text and 32-bit number values, kept in the file
// <root>/registry. Key paths and value names compare without regard to case but keep the case
// they were first written with. Writers in several processes serialise on a lock file and
// replace the file atomically, so a reader never sees half a write and a crash never
// corrupts it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

namespace qm::platform {

enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine, Users };

inline constexpr uint32_t kRegSz = 1;     // REG_SZ
inline constexpr uint32_t kRegDword = 4;  // REG_DWORD

struct RegValue {
    std::string name;
    uint32_t type = kRegSz;
    std::string text;     // kRegSz
    uint32_t number = 0;  // kRegDword
};

// "HKEY_LOCAL_MACHINE" (also "HKLM") and the other roots; false for anything else.
bool ParseRegRoot(std::string_view text, RegRoot* root);
const char* RegRootName(RegRoot root);

// All results: 0 on success, 2 when the key or value does not exist, 87 for a bad path,
// 5 when the registry file cannot be written.
int RegCreateKey(RegRoot root, std::string_view keyPath);
int RegOpenKey(RegRoot root, std::string_view keyPath);  // existence test
int RegGetValue(RegRoot root, std::string_view keyPath, std::string_view name, RegValue* out);
// Writing into a missing key fails with 2 unless createKey is set (RegSetValueEx needs an
// opened key; the tools create it).
int RegSetString(RegRoot root, std::string_view keyPath, std::string_view name,
                 std::string_view text, bool createKey = false);
int RegSetNumber(RegRoot root, std::string_view keyPath, std::string_view name, uint32_t number,
                 bool createKey = false);
int RegDeleteValue(RegRoot root, std::string_view keyPath, std::string_view name);
// Deletes a key with all that lies below it.
int RegDeleteKey(RegRoot root, std::string_view keyPath);
int RegListSubkeys(RegRoot root, std::string_view keyPath, std::vector<std::string>* names);
int RegListValues(RegRoot root, std::string_view keyPath, std::vector<RegValue>* values);

// Reads a value as text the way the services do: text as is, numbers in decimal.
// Returns `fallback` when the value is missing.
std::string RegReadText(RegRoot root, std::string_view keyPath, std::string_view name,
                        std::string_view fallback = {});

// The ";"-lists some values hold: ";a1;b1;a2;b2;" (the server's alias and type lists). Empty
// fields are skipped on reading; pairs are fields taken two at a time (an odd last field is
// dropped), at most `maxPairs` of them, as the administration pages keep them.
using RegPair = std::pair<std::string, std::string>;
std::vector<std::string> RegSplitList(std::string_view text);
std::string RegJoinList(const std::vector<std::string>& fields);
std::vector<RegPair> RegSplitPairs(std::string_view text, size_t maxPairs = 128);
std::string RegJoinPairs(const std::vector<RegPair>& pairs);

// The registry file of the current installation root.
std::string RegistryFilePath();

}  // namespace qm::platform
