// The variable table of one request: names compare without regard to case.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "value.h"

namespace qm::intpr {

class VariableTable {
public:
    static constexpr size_t kMaxName = 63;  // bytes, sigil included

    // The variable, or nullptr when there is none.
    Value* Find(std::string_view name);
    // Defines the variable unless it exists (the first definition stays). Returns the entry, or
    // nullptr when the name is too long.
    Value* Define(std::string_view name, Value initial = {});

private:
    // Upper-cases into `key`; false when the name cannot be a variable name.
    static bool Key(std::string_view name, char (&key)[kMaxName + 1], size_t& length);

    std::map<std::string, Value, std::less<>> entries_;
};

}  // namespace qm::intpr
