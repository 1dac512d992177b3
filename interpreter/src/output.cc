// The interpreter's message table and the error-line layout.
#include "output.h"

namespace qm::intpr {

std::string_view MessageText(Msg id) {
    switch (id) {
        case Msg::OutOfMemory: return "Out of memory !";
        case Msg::NotFound: return "Not Found !";
        case Msg::NotCreate: return "Not Create !";
        case Msg::MacroError: return "Macro Error !";
        case Msg::Error: return "Error !";
        case Msg::SyntaxError: return "Syntax Error !";
        case Msg::DiskWriteError: return "DISK Write Error !";
        case Msg::DiskReadError: return "DISK Read Error !";
        case Msg::InitializeError: return "Initialize Error !";
        case Msg::TooDeep: return "Nesting Too Deep !";
        case Msg::TooLong: return "Record Too Long !";
    }
    return "Error !";
}

std::string ErrorLine(std::string_view first, std::string_view second, Msg id) {
    // The original line buffer held 324 bytes; a long template name must not make it grow.
    constexpr size_t kMaxLine = 324;
    constexpr size_t kMaxSecond = 64;
    std::string line;
    if (!first.empty()) {
        line.append(first);
        line.append(": ");
    }
    if (!second.empty()) {
        line.append(second.substr(0, kMaxSecond));
        line.push_back(' ');
    }
    line.append(MessageText(id));
    if (line.size() > kMaxLine) line.resize(kMaxLine);
    return line;
}

}  // namespace qm::intpr
