// Macro substitution over template text.
#include "macros.h"

namespace qm::intpr {

bool MacroList::Substitute(std::string_view in, std::string& out, size_t limit, size_t& budget) const {
    out.assign(in);
    std::string next;
    // Every pass reads the whole text, and a pass that hits writes it again. Text that macros
    // have blown up to nearly `limit` bytes would otherwise cost that much once per macro, per
    // tag, per include: minutes for a template of a few kilobytes.
    auto spend = [&budget](size_t bytes) {
        if (bytes > budget) return false;
        budget -= bytes;
        return true;
    };
    for (const auto& [name, replacement] : macros_) {
        // An empty name would match everywhere and never advance; it defines nothing.
        if (name.empty()) continue;
        if (!spend(out.size())) return false;
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
        if (next.size() > limit || !spend(next.size())) return false;
        out.swap(next);
    }
    return true;
}

}  // namespace qm::intpr
