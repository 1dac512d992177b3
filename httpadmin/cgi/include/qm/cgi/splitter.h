// Splits a text at every occurrence of a separator string (not a set of characters).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace qm::cgi {

// Views into the caller's text, which must outlive the splitter. There is always at least one
// piece: the count is the number of separator occurrences plus one.
class StringSplitter {
public:
    StringSplitter(std::string_view text, std::string_view separator);

    std::size_t Count() const { return pieces_.size(); }
    // An index at or past the count wraps around (piece i % Count()): a piece without the
    // separator therefore answers its own text for index 1.
    std::string_view operator[](std::size_t i) const { return pieces_[i % pieces_.size()]; }
    auto begin() const { return pieces_.begin(); }
    auto end() const { return pieces_.end(); }

private:
    std::vector<std::string_view> pieces_;
};

}  // namespace qm::cgi
