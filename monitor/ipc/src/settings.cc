// Registry and settings-file reads with the services' conventions on top of the platform's.
#include "qm/ipc/settings.h"

#include <cctype>
#include <climits>

#include "qm/platform/profile.h"
#include "qm/platform/registry.h"

namespace qm::ipc {

namespace reg = qm::platform;
constexpr auto kRoot = reg::RegRoot::LocalMachine;

int RegistryValue::Read(std::string_view keyPath, std::string_view valueName) {
    text_.clear();
    type_ = 0;
    size_ = 0;
    reg::RegValue v;
    if (reg::RegGetValue(kRoot, keyPath, valueName, &v) != 0) return 1;
    type_ = v.type;
    if (v.type == reg::kRegSz) {
        size_ = static_cast<uint32_t>(v.text.size() + 1);
        text_ = v.text.substr(0, kRegistryTextSize - 1);
    } else if (v.type == reg::kRegDword) {
        size_ = 4;
        text_ = std::to_string(v.number);
    }
    return 0;
}

int RegistryValue::Write(std::string_view keyPath, std::string_view valueName,
                         std::string_view text) {
    return reg::RegSetString(kRoot, keyPath, valueName, text) == 0 ? 0 : 1;
}

int RegistryValue::DeleteKey(std::string_view keyPath, std::string_view subkey) {
    if (reg::RegOpenKey(kRoot, keyPath) != 0) return 1;
    std::string full(keyPath);
    full += "\\";
    full += subkey;
    return reg::RegDeleteKey(kRoot, full) == 0 ? 0 : 1;
}

int RegistryValue::DeleteValue(std::string_view keyPath, std::string_view valueName) {
    return reg::RegDeleteValue(kRoot, keyPath, valueName) == 0 ? 0 : 1;
}

int RegistryValue::CreateKey(std::string_view keyPath) {
    return reg::RegCreateKey(kRoot, keyPath) == 0 ? 0 : 1;
}

long DecimalValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        int d = text[i] - '0';
        // Saturate rather than overflow: a hostile settings file must not be undefined behaviour.
        value = value > (LONG_MAX - d) / 10 ? LONG_MAX : value * 10 + d;
    }
    return negative ? -value : value;
}

long RegistryNumber(std::string_view keyPath, std::string_view valueName, long fallback,
                    bool zeroMeansDefault) {
    RegistryValue v;
    if (v.Read(keyPath, valueName) != 0 || v.text().empty()) return fallback;
    long n = DecimalValue(v.text());
    return (zeroMeansDefault && n == 0) ? fallback : n;
}

std::string ProfileText(std::string_view section, std::string_view key, std::string_view fallback,
                        const std::string& file) {
    return reg::ReadProfileString(section, key, fallback, file);
}

long ProfileNumber(std::string_view section, std::string_view key, std::string_view fallback,
                   const std::string& file) {
    return DecimalValue(ProfileText(section, key, fallback, file));
}

}  // namespace qm::ipc
