// Macro substitution over template text.
#include "macros.h"

namespace qm::intpr {

bool MacroList::Substitute(std::string_view in, std::string& out, size_t limit) const {
    out.assign(in);
    std::string next;
    for (const auto& [name, replacement] : macros_) {
        // An empty name would match everywhere and never advance; it defines nothing.
        if (name.empty()) continue;
        size_t hit = out.find(name);
        if (hit == std::string::npos) continue;
        next.clear();
        size_t from = 0;
        while (hit != std::string::npos) {
            next.append(out, from, hit - from);
            next.append(replacement);
            if (next.size() > limit) return false;
            from = hit + name.size();
            hit = out.find(name, from);
        }
        next.append(out, from, std::string::npos);
        if (next.size() > limit) return false;
        out.swap(next);
    }
    return true;
}

}  // namespace qm::intpr
