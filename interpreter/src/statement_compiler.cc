// The tokenizer and the translation of one statement tag into records.
#include <strings.h>

#include <cstring>

#include "compiler.h"
#include "record_writer.h"

namespace qm::intpr {

namespace {

constexpr std::string_view kDelimiters = "+-*/&|=!<>(),.[]";
constexpr size_t kMaxTargetName = 63;  // with the sigil; the variable table's limit

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDelimiter(char c) { return kDelimiters.find(c) != std::string_view::npos; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
int HexDigit(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}
bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

enum class Kind { End, String, Delimiter, Word };

struct Token {
    Kind kind = Kind::End;
    std::string_view text;
    size_t end = 0;  // position just after the token
    bool Is(char delimiter) const { return kind == Kind::Delimiter && text[0] == delimiter; }
};

class StatementParser {
public:
    StatementParser(std::string_view body, std::string& out, int maxDepth)
        : s_(body), out_(out), maxDepth_(maxDepth) {}

    bool Statement();
    bool tooDeep() const { return tooDeep_; }

private:
    void SkipSpace() {
        while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
    }

    // End of a string token: the next double quote not directly preceded by a backslash, or the
    // end of the tag body. Returns the position of the closing quote (or s_.size()).
    size_t StringClose(size_t open) const {
        for (size_t i = open + 1; i < s_.size(); ++i) {
            if (s_[i] == '"' && s_[i - 1] != '\\') return i;
        }
        return s_.size();
    }

    Token Peek() {
        SkipSpace();
        Token t;
        if (pos_ >= s_.size()) {
            t.end = pos_;
            return t;
        }
        const char c = s_[pos_];
        if (c == '"') {
            const size_t close = StringClose(pos_);
            t.kind = Kind::String;
            t.end = close < s_.size() ? close + 1 : close;
        } else if (IsDelimiter(c)) {
            t.kind = Kind::Delimiter;
            t.end = pos_ + 1;
        } else {
            size_t i = pos_;
            while (i < s_.size() && !IsSpace(s_[i]) && !IsDelimiter(s_[i])) ++i;
            t.kind = Kind::Word;
            t.end = i;
        }
        t.text = s_.substr(pos_, t.end - pos_);
        return t;
    }
    void Take(const Token& t) { pos_ = t.end; }
    bool Expect(char delimiter) {
        Token t = Peek();
        if (!t.Is(delimiter)) return false;
        Take(t);
        return true;
    }

    bool Expression();
    bool ExpressionBody();
    bool Operand();
    // An integer literal (digits, or a sign and a digit) starts at the current position.
    bool AtInteger() const;
    bool StringLiteral();
    bool IntegerLiteral();
    bool Variable();
    bool Call(std::string_view library, std::string_view function);
    // Recognises "name(" or "library.name(" at the current position without consuming it.
    bool LooksLikeCall(std::string_view& library, std::string_view& function, size_t& after);
    bool Literal();

    std::string_view s_;
    size_t pos_ = 0;
    std::string& out_;
    int maxDepth_;
    int depth_ = 0;  // expressions being translated, one inside the other
    bool tooDeep_ = false;
};

bool IsKeyword(std::string_view w) {
    static constexpr const char* kKeywords[] = {"IF",   "ELSE", "ENDIF",   "WHILE",     "ENDWHILE",
                                                "SWITCH", "CASE", "DEFAULT", "ENDSWITCH", ".VALUE",
                                                ".TAG"};
    for (const char* k : kKeywords) {
        if (EqualsNoCase(w, k)) return true;
    }
    return false;
}

bool StatementParser::StringLiteral() {
    const size_t close = StringClose(pos_);
    std::string text;
    for (size_t i = pos_ + 1; i < close; ++i) {
        if (s_[i] == '\\' && i + 1 < close && (s_[i + 1] == '"' || s_[i + 1] == '\\')) ++i;
        text.push_back(s_[i]);
    }
    pos_ = close < s_.size() ? close + 1 : close;
    AppendRecord(out_, QM_REC_STRING, text);
    return true;
}

bool StatementParser::IntegerLiteral() {
    uint32_t value = 0;
    if (s_.size() - pos_ >= 2 && s_[pos_] == '0' && (s_[pos_ + 1] == 'x' || s_[pos_ + 1] == 'X')) {
        pos_ += 2;
        for (int d; pos_ < s_.size() && (d = HexDigit(s_[pos_])) >= 0; ++pos_) value = value * 16u + static_cast<uint32_t>(d);
    } else {
        bool negative = false;
        if (s_[pos_] == '+' || s_[pos_] == '-') negative = s_[pos_++] == '-';
        for (; pos_ < s_.size() && IsDigit(s_[pos_]); ++pos_) value = value * 10u + static_cast<uint32_t>(s_[pos_] - '0');
        if (negative) value = 0u - value;
    }
    AppendIntegerRecord(out_, static_cast<int32_t>(value));
    return true;
}

bool StatementParser::Variable() {
    size_t i = pos_;
    while (i < s_.size() && !IsSpace(s_[i]) && !IsDelimiter(s_[i])) ++i;
    AppendRecord(out_, QM_REC_VARIABLE, s_.substr(pos_, i - pos_));
    pos_ = i;
    if (Peek().Is('[')) {
        Take(Peek());
        if (!Expression() || !Expect(']')) return false;
        if (Peek().Is('[')) {
            Take(Peek());
            if (!Expression() || !Expect(']')) return false;
        } else {
            AppendIntegerRecord(out_, 1);
            AppendRecord(out_, QM_REC_END);
        }
    }
    AppendRecord(out_, QM_REC_END);
    SkipSpace();
    char selector = 'V';
    const std::string_view rest = s_.substr(pos_);
    if (StartsWithNoCase(rest, ".VALUE")) {
        pos_ += 6;
    } else if (StartsWithNoCase(rest, ".TAG")) {
        pos_ += 4;
        selector = 'T';
    }
    AppendRecord(out_, QM_REC_SELECTOR, std::string_view(&selector, 1));
    return true;
}

bool StatementParser::LooksLikeCall(std::string_view& library, std::string_view& function, size_t& after) {
    const size_t saved = pos_;
    Token name = Peek();
    bool ok = false;
    if (name.kind == Kind::Word && IsLetter(name.text[0]) && !IsKeyword(name.text)) {
        Take(name);
        Token next = Peek();
        library = ".";
        function = name.text;
        if (next.Is('.')) {
            Take(next);
            Token fn = Peek();
            if (fn.kind == Kind::Word) {
                Take(fn);
                library = name.text;
                function = fn.text;
                next = Peek();
            } else {
                next = Token{};
            }
        }
        if (next.Is('(')) {
            Take(next);
            after = pos_;
            ok = true;
        }
    }
    pos_ = saved;
    return ok;
}

bool StatementParser::Call(std::string_view library, std::string_view function) {
    AppendRecord(out_, QM_REC_LIBRARY, library);
    AppendRecord(out_, QM_REC_FUNCTION, function);
    for (;;) {
        if (!Expression()) return false;  // also rejects an empty list "()"
        Token t = Peek();
        Take(t);
        if (t.Is(',')) continue;
        if (t.Is(')')) break;
        return false;
    }
    AppendRecord(out_, QM_REC_END);
    return true;
}

bool StatementParser::AtInteger() const {
    const char c = s_[pos_];
    return IsDigit(c) || ((c == '+' || c == '-') && pos_ + 1 < s_.size() && IsDigit(s_[pos_ + 1]));
}

bool StatementParser::Operand() {
    SkipSpace();
    if (pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == '"' || AtInteger()) return Literal();
    if (c == '$' || c == '%') return Variable();
    if (!IsLetter(c)) return false;
    std::string_view library, function;
    size_t after = 0;
    if (!LooksLikeCall(library, function, after)) return false;
    pos_ = after;
    return Call(library, function);
}

bool StatementParser::Expression() {
    // Index expressions and call arguments nest; the depth is bounded so that neither this
    // parser nor the executor recurses without limit (macros can build very deep nests).
    if (depth_ >= maxDepth_) {
        tooDeep_ = true;
        return false;
    }
    ++depth_;
    const bool ok = ExpressionBody();
    --depth_;
    return ok;
}

bool StatementParser::ExpressionBody() {
    if (!Operand()) return false;
    for (;;) {
        Token t = Peek();
        if (t.kind != Kind::Delimiter) break;
        char op = t.text[0];
        if (op == '=' || op == '!') {
            // Only "==" and "!=" are operators; a lone "=" or "!" cannot continue an expression.
            if (t.end >= s_.size() || s_[t.end] != '=') return false;
            t.end += 1;
        } else if (std::string_view("+-*/&|<>").find(op) == std::string_view::npos) {
            break;
        }
        Take(t);
        AppendRecord(out_, QM_REC_OPERATOR, std::string_view(&op, 1));
        if (!Operand()) return false;
    }
    AppendRecord(out_, QM_REC_END);
    return true;
}

bool StatementParser::Literal() {
    SkipSpace();
    if (pos_ >= s_.size()) return false;
    if (s_[pos_] == '"') return StringLiteral();
    if (AtInteger()) return IntegerLiteral();
    return false;
}

bool StatementParser::Statement() {
    Token first = Peek();
    const bool variable = first.kind == Kind::Word && (first.text[0] == '$' || first.text[0] == '%');
    if (first.kind == Kind::Word && !variable) {
        struct Simple {
            const char* word;
            char code;
            bool condition;
        };
        static constexpr Simple kStatements[] = {
            {"IF", QM_REC_IF, true},          {"ELSE", QM_REC_ELSE, false},
            {"ENDIF", QM_REC_ENDIF, false},   {"WHILE", QM_REC_WHILE, true},
            {"ENDWHILE", QM_REC_ENDWHILE, false}, {"SWITCH", QM_REC_SWITCH, true},
            {"DEFAULT", QM_REC_DEFAULT, false}, {"ENDSWITCH", QM_REC_ENDSWITCH, false},
        };
        bool matched = false;
        for (const auto& st : kStatements) {
            if (!EqualsNoCase(first.text, st.word)) continue;
            Take(first);
            AppendRecord(out_, st.code);
            if (st.condition && (!Expect('(') || !Expression() || !Expect(')'))) return false;
            matched = true;
            break;
        }
        if (!matched && EqualsNoCase(first.text, "CASE")) {
            Take(first);
            AppendRecord(out_, QM_REC_CASE);
            if (!Literal()) return false;
            matched = true;
        }
        if (!matched) {
            std::string_view library, function;
            size_t after = 0;
            if (!LooksLikeCall(library, function, after)) return false;
            pos_ = after;
            if (!Call(library, function)) return false;
        }
    } else if (variable) {
        // Assignment: a plain variable name, "=", then an expression.
        size_t i = pos_;
        while (i < s_.size() && !IsSpace(s_[i]) && !IsDelimiter(s_[i])) ++i;
        const std::string_view name = s_.substr(pos_, i - pos_);
        if (name.size() > kMaxTargetName) return false;
        pos_ = i;
        if (!Expect('=')) return false;
        AppendRecord(out_, QM_REC_VARIABLE, name);
        if (!Expression()) return false;
    } else {
        return false;
    }
    return Peek().kind == Kind::End;
}

}  // namespace

StatementResult CompileStatement(std::string_view body, std::string& records, int maxExpressionDepth) {
    StatementParser parser(body, records, maxExpressionDepth);
    if (parser.Statement()) return StatementResult::Ok;
    return parser.tooDeep() ? StatementResult::TooDeep : StatementResult::SyntaxError;
}

}  // namespace qm::intpr
