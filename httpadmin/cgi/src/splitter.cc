// The generic string splitter.
#include "qm/cgi/splitter.h"

namespace qm::cgi {

StringSplitter::StringSplitter(std::string_view text, std::string_view separator) {
    if (separator.empty()) {
        pieces_.push_back(text);
        return;
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) break;
        pieces_.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    pieces_.push_back(text.substr(start));
}

}  // namespace qm::cgi
