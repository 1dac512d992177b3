// The macro list of one compile run and the substitution applied to every text and tag body.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::intpr {

class MacroList {
public:
    // Every compile run starts with the two selectors that make $X[i].OID and $X[i].TYPE work.
    MacroList() : macros_{{".OID", "[0].VALUE"}, {".TYPE", "[1].TAG"}} {}

    size_t size() const { return macros_.size(); }
    void Define(std::string name, std::string replacement) {
        macros_.emplace_back(std::move(name), std::move(replacement));
    }

    // Each macro in list order replaces every occurrence of its name, left to right, resuming
    // after the inserted text. False when the result would exceed `limit` bytes, or when the
    // bytes read and written would exceed what is left of `budget` (out of memory either way).
    // `budget` is the whole compile run's: it falls by the work done.
    bool Substitute(std::string_view in, std::string& out, size_t limit, size_t& budget) const;

private:
    std::vector<std::pair<std::string, std::string>> macros_;
};

}  // namespace qm::intpr
