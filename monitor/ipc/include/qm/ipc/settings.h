// Reading the services' settings: registry values under HKEY_LOCAL_MACHINE and keys of the
// settings file ntccnf.ini.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::ipc {

inline constexpr size_t kRegistryTextSize = 512;

// One registry value read as text: a text value as it is, a number in decimal, any other type
// as empty text. Results: 0 success, 1 any failure.
class RegistryValue {
public:
    int Read(std::string_view keyPath, std::string_view valueName);
    int Write(std::string_view keyPath, std::string_view valueName, std::string_view text);
    int DeleteKey(std::string_view keyPath, std::string_view subkey);
    int DeleteValue(std::string_view keyPath, std::string_view valueName);
    int CreateKey(std::string_view keyPath);

    const std::string& text() const { return text_; }
    uint32_t type() const { return type_; }
    // The stored size in bytes, as the registry reports it (text length + 1 for a text).
    uint32_t size() const { return size_; }

private:
    std::string text_;
    uint32_t type_ = 0;
    uint32_t size_ = 0;
};

// A registry value as a number: `fallback` when it is missing, does not read as a number, or
// (where `zeroMeansDefault`) reads as 0.
long RegistryNumber(std::string_view keyPath, std::string_view valueName, long fallback,
                    bool zeroMeansDefault = false);

// A key of a settings file, at most 127 characters; `fallback` when the file or key is missing.
std::string ProfileText(std::string_view section, std::string_view key, std::string_view fallback,
                        const std::string& file);
// The same read as a decimal number; text that is not a number reads as 0.
long ProfileNumber(std::string_view section, std::string_view key, std::string_view fallback,
                   const std::string& file);

// Decimal conversion as the services do it: leading blanks, an optional sign, then digits;
// anything else ends the number, and no digits at all give 0.
long DecimalValue(std::string_view text);

}  // namespace qm::ipc
