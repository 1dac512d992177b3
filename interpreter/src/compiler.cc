// Template segmentation, directives and includes of the compiler.
#include "compiler.h"

#include <strings.h>

#include <cstring>

#include <algorithm>
#include <vector>

#include "page_reader.h"
#include "record_writer.h"
#include "utf8.h"

namespace qm::intpr {

namespace {

constexpr size_t kChunk = 4096;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view SkipSpace(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    return s.substr(i);
}

bool IsPrintable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// Splits a directive into words. A quoted word runs to its closing quote (\" and \\ do not
// close it) and keeps its quotes; in text that is not valid UTF-8 (Shift-JIS) a byte that is not
// printable ASCII carries the next byte with it, as the lead byte of a two-byte character does.
// A UTF-8 character never contains an ASCII byte, so there every byte stands alone.
std::vector<std::string_view> DirectiveWords(std::string_view body) {
    std::vector<std::string_view> words;
    const bool twoByte = !IsValidUtf8(body);
    size_t i = 0;
    while (i < body.size()) {
        while (i < body.size() && IsSpace(body[i])) ++i;
        if (i >= body.size()) break;
        const size_t start = i;
        auto step = [&](size_t at) {
            if (twoByte && !IsPrintable(static_cast<unsigned char>(body[at])) && at + 1 < body.size()) {
                return size_t{2};
            }
            return size_t{1};
        };
        if (body[i] == '"') {
            ++i;
            while (i < body.size()) {
                if (body[i] == '\\' && i + 1 < body.size() && (body[i + 1] == '"' || body[i + 1] == '\\')) {
                    i += 2;
                } else if (body[i] == '"') {
                    ++i;
                    break;
                } else {
                    i += step(i);
                }
            }
        } else {
            while (i < body.size() && !IsSpace(body[i])) i += step(i);
        }
        if (i > body.size()) i = body.size();
        words.push_back(body.substr(start, i - start));
    }
    return words;
}

// #DEFINE takes a quoted word without its quotes: the text after the first quote and before the
// last one.
std::string Unquote(std::string_view w) {
    if (w.empty() || w.front() != '"') return std::string(w);
    size_t last = w.rfind('"');
    if (last == 0) return std::string(w.substr(1));
    return std::string(w.substr(1, last - 1));
}

bool StartsWithCommentTag(std::string_view chunk) {
    if (!chunk.starts_with("<!--")) return false;
    return SkipSpace(chunk.substr(4)).starts_with("COMMENT:");
}

}  // namespace

bool Compiler::CompileTemplate(std::string_view name, std::string& page) {
    std::string text;
    if (!loader_(name, text)) {
        out_.Error({}, name, Msg::NotFound);
        return false;
    }
    return CompileText(name, text, 0, page);
}

bool Compiler::CompileText(std::string_view name, std::string_view text, int depth, std::string& page) {
    std::string substituted;
    size_t p = 0;
    while (p < text.size()) {
        // The template is consumed in chunks of at most 4096 bytes; a tag or a COMMENT: comment
        // is only recognised at the start of a chunk and must close inside it.
        const std::string_view chunk = text.substr(p, kChunk);
        if (chunk.starts_with("[%")) {
            const size_t close = chunk.find("%]", 2);
            if (close == std::string_view::npos) {
                out_.Error(name, "%]", Msg::NotFound);
                return false;
            }
            p += close + 2;
            if (!macros_.Substitute(chunk.substr(2, close - 2), substituted, limits_.maxText, substitutionLeft_)) {
                out_.Error(name, "makeTemporary()", Msg::OutOfMemory);
                return false;
            }
            if (!CompileTag(name, text, p - close - 2, SkipSpace(substituted), depth, page)) return false;
            continue;
        }
        if (StartsWithCommentTag(chunk)) {
            const size_t close = chunk.find("-->", 4);
            if (close == std::string_view::npos) {
                out_.Error(name, "-->", Msg::NotFound);
                return false;
            }
            p += close + 3;
            continue;
        }
        size_t from = 0;
        if (chunk.starts_with("<!--")) from = chunk.size() - SkipSpace(chunk.substr(4)).size();
        size_t end = std::min(chunk.find("[%"), chunk.find("<!--", from));
        if (end == std::string_view::npos) {
            const size_t lf = chunk.rfind('\n');
            end = lf == std::string_view::npos ? chunk.size() : lf + 1;
        }
        if (!macros_.Substitute(chunk.substr(0, end), substituted, limits_.maxText, substitutionLeft_)) {
            out_.Error(name, "makeTemporary()", Msg::OutOfMemory);
            return false;
        }
        // Macros can make a text longer than one record may be; the executor would refuse the
        // record and end the page without a word, so the template is refused here instead.
        if (substituted.size() > QM_RECORD_MAX_DATA) {
            out_.Error(WhereIs(name, text, p), {}, Msg::TooLong);
            return false;
        }
        AppendRecord(page, QM_REC_TEXT, substituted);
        if (page.size() > limits_.maxPage) {
            out_.Error(name, "makeTemporary()", Msg::OutOfMemory);
            return false;
        }
        p += end;
    }
    return true;
}

std::string Compiler::WhereIs(std::string_view name, std::string_view text, size_t at) {
    const auto line = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(std::min(at, text.size())), '\n') + 1;
    return std::string(name) + " line " + std::to_string(line);
}

bool Compiler::CompileTag(std::string_view name, std::string_view text, size_t at,
                          std::string_view body, int depth, std::string& page) {
    if (body.empty()) return true;
    if (body.front() == '#') return CompileDirective(name, body, depth, page);
    std::string records;
    switch (CompileStatement(body, records, limits_.maxExpressionDepth)) {
        case StatementResult::Ok: break;
        case StatementResult::SyntaxError: out_.Error(name, body, Msg::SyntaxError); return false;
        case StatementResult::TooDeep: out_.Error(WhereIs(name, text, at), body, Msg::TooDeep); return false;
    }
    // Every record must be one the executor reads: macros can make a literal or a name longer.
    PageReader reader(records);
    for (Record r; reader.position() < records.size();) {
        if (reader.Read(r) == 0) {
            out_.Error(WhereIs(name, text, at), body, Msg::TooLong);
            return false;
        }
    }
    // Blocks nest across tags (and included files); the executor runs them recursively, so
    // their depth is bounded here, where the error can name the line.
    switch (records.empty() ? 0 : records[0]) {
        case QM_REC_IF:
        case QM_REC_WHILE:
        case QM_REC_SWITCH:
            if (++blockDepth_ > limits_.maxBlockDepth) {
                out_.Error(WhereIs(name, text, at), body, Msg::TooDeep);
                return false;
            }
            break;
        case QM_REC_ENDIF:
        case QM_REC_ENDWHILE:
        case QM_REC_ENDSWITCH:
            // Unbalanced blocks are the executor's to report; only the depth matters here.
            if (blockDepth_ > 0) --blockDepth_;
            break;
        default: break;
    }
    page.append(records);
    if (page.size() > limits_.maxPage) {
        out_.Error(name, "makeTemporary()", Msg::OutOfMemory);
        return false;
    }
    return true;
}

bool Compiler::CompileDirective(std::string_view name, std::string_view body, int depth,
                                std::string& page) {
    const auto words = DirectiveWords(body);
    const std::string_view first = words.empty() ? std::string_view() : words[0];
    auto is = [&](const char* keyword) {
        return first.size() == strlen(keyword) && strncasecmp(first.data(), keyword, first.size()) == 0;
    };
    if (is("#INCLUDE") && words.size() >= 2) {
        for (size_t i = 1; i < words.size(); ++i) {
            if (!CompileInclude(name, body, words[i], depth, page)) return false;
        }
        return true;
    }
    if (is("#DEFINE") && words.size() == 3 && macros_.size() < limits_.maxMacros) {
        macros_.Define(Unquote(words[1]), Unquote(words[2]));
        return true;
    }
    out_.Error(name, body, Msg::MacroError);
    return false;
}

bool Compiler::CompileInclude(std::string_view including, std::string_view body,
                              std::string_view file, int depth, std::string& page) {
    if (depth + 1 > limits_.maxIncludeDepth || ++includes_ > limits_.maxIncludes) {
        out_.Error(including, body, Msg::MacroError);
        return false;
    }
    std::string text;
    if (!loader_(file, text)) {
        out_.Error({}, file, Msg::NotFound);
        return false;
    }
    return CompileText(file, text, depth + 1, page);
}

}  // namespace qm::intpr
