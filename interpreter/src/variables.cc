// Variable lookup by upper-cased name.
#include "variables.h"

namespace qm::intpr {

bool VariableTable::Key(std::string_view name, char (&key)[kMaxName + 1], size_t& length) {
    if (name.size() > kMaxName) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        key[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    length = name.size();
    return true;
}

Value* VariableTable::Find(std::string_view name) {
    char key[kMaxName + 1];
    size_t n = 0;
    if (!Key(name, key, n)) return nullptr;
    auto it = entries_.find(std::string_view(key, n));
    return it == entries_.end() ? nullptr : &it->second;
}

Value* VariableTable::Define(std::string_view name, Value initial) {
    char key[kMaxName + 1];
    size_t n = 0;
    if (!Key(name, key, n)) return nullptr;
    auto it = entries_.find(std::string_view(key, n));
    if (it != entries_.end()) return &it->second;
    return &entries_.emplace(std::string(key, n), std::move(initial)).first->second;
}

}  // namespace qm::intpr
