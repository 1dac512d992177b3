// The statement executor: expressions, blocks, output statements and tag library calls.
#include "executor.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "QBUtil.h"
#include "ber_decode.h"
#include "page_reader.h"
#include "qm/cgi/coding.h"

namespace qm::intpr {

namespace {

constexpr const char* kModule = "cintprrun";
constexpr int kMaxIndices = 3;
constexpr size_t kDumpBytes = 64;

enum class Eval { Value, EndMark, Fail };

bool IsAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr char kHex[] = "0123456789ABCDEF";

std::string_view UntilZero(std::string_view s) {
    // Most texts written are a few bytes long: a plain loop beats a library call here.
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\0') return s.substr(0, i);
    }
    return s;
}

// Copies a value; integers, the bulk of loop work, without touching the text machinery.
void CopyValue(Value& to, const Value& from) {
    if (from.type == kTagInteger && !from.table) {
        to.type = kTagInteger;
        to.number = from.number;
        if (!to.bytes.empty()) to.bytes.clear();
        if (to.table) to.table.reset();
        return;
    }
    to = from;
}

bool NameIs(std::string_view name, std::string_view upper) {
    if (name.size() != upper.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

std::string EncodeHtml(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : UntilZero(s)) {
        if (IsAlnum(c) || c == '.') {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

// "%" takes the next two characters as hexadecimal digits, unchecked, as the pages have always
// relied on; a "%" with fewer than two characters after it is copied as it is.
std::string DecodeHtml(std::string_view s) {
    s = UntilZero(s);
    auto digit = [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 'a' && u <= 'z') u = static_cast<unsigned char>(u - 'a' + 'A');
        return u < 'A' ? u - '0' : u - 'A' + 10;
    };
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out.push_back(' ');
        } else if (s[i] == '%' && i + 2 < s.size()) {
            out.push_back(static_cast<char>(digit(s[i + 1]) * 16 + digit(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string HexBytes(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
    return out;
}

// Counts one level of nesting for as long as it lives; `ok()` is false past the limit.
class DepthGuard {
public:
    DepthGuard(int& depth, int limit) : depth_(depth), ok_(++depth_ <= limit) {}
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    bool ok() const { return ok_; }

private:
    int& depth_;
    bool ok_;
};

class Executor {
public:
    Executor(PageContext& context, std::string_view page) : ctx_(context), in_(page) {}

    void Run() {
        const char stop = RunStatements();
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QMINTPR: EndTagCode = 0x%X(%c)",
                static_cast<unsigned char>(stop), stop);
    }

private:
    const PageOutput& out() const { return ctx_.output; }

    void TraceCode(int line, char code) {
        QbTrace(QB_TRACE_ERROR, kModule, line, "QMINTPR: ErrorTagCode = %c", code);
    }

    // Executes statements until one stops; the position is left at the record that stopped.
    char RunStatements() {
        char stop = 0;
        while (ExecuteStatement(stop)) {
        }
        return stop;
    }
    char SkipStatements() {
        char stop = 0;
        while (SkipStatement(stop)) {
        }
        return stop;
    }

    bool ExecuteStatement(char& stop);
    bool SkipStatement(char& stop);
    bool If();
    bool While();
    bool Switch();
    bool SkipBlock(char code);
    Eval SkipExpression();
    bool SkipVariable();
    bool SkipArguments();

    Eval Expression(Value& dst);
    Eval Operand(Value& dst);
    bool VariableReference(std::string_view name, Value& dst);
    bool Call(std::string_view library, Value& dst);
    bool OutputStatement(Value& dst);
    bool LibraryCall(std::string_view library, Value& dst);
    bool ReadCaseLiteral(Value& literal);

    // Variables by the name record that refers to them. A name record's bytes sit at a fixed
    // place in the page for the whole request and table entries are never removed, so the
    // address of the name is a safe key; loops then find their variables without comparing
    // names.
    Value* Find(std::string_view name) {
        Slot& slot = slots_[(reinterpret_cast<uintptr_t>(name.data()) >> 2) % kSlots];
        if (slot.name == name.data() && slot.length == name.size()) return slot.value;
        Value* v = ctx_.variables.Find(name);
        if (v) slot = Slot{name.data(), name.size(), v};
        return v;
    }
    Value* Define(std::string_view name) {
        if (Value* v = Find(name)) return v;
        return ctx_.variables.Define(name);
    }

    struct Slot {
        const char* name = nullptr;
        size_t length = 0;
        Value* value = nullptr;
    };
    static constexpr size_t kSlots = 64;

    PageContext& ctx_;
    PageReader in_;
    std::string scratch_;
    std::array<Slot, kSlots> slots_{};
    // Blocks and expressions run recursively. The compiler never nests deeper than these
    // limits; a page that does (a damaged or foreign cache file) is refused, not run into the
    // end of the stack.
    int blockDepth_ = 0;
    int expressionDepth_ = 0;
    bool TooDeep(DepthGuard& guard, int line) {
        if (guard.ok()) return false;
        QbTrace(QB_TRACE_ERROR, kModule, line, "QMINTPR: Nesting Too Deep");
        if (!reportedDepth_) out().Error({}, {}, Msg::TooDeep);
        reportedDepth_ = true;
        return true;
    }
    bool reportedDepth_ = false;
    Value assigned_;
    Value dropped_;
    Value condition_;  // a block's condition is tested before anything inside the block runs
};

bool Executor::ExecuteStatement(char& stop) {
    if (out().stopped()) {
        stop = 0;
        return false;
    }
    const size_t start = in_.position();
    Record r;
    const char code = in_.Read(r);
    bool ok = false;
    switch (code) {
        case QM_REC_HEADER: ok = true; break;
        case QM_REC_TEXT:
            out().Write(r.data);
            ok = true;
            break;
        case QM_REC_VARIABLE: {
            Value* var = Define(r.data);
            // Expressions never run statements, so one temporary serves every assignment.
            ok = var && Expression(assigned_) == Eval::Value;
            if (ok) CopyValue(*var, assigned_);
            break;
        }
        case QM_REC_LIBRARY:
            ok = Call(r.data, dropped_);  // statements never nest inside a call
            break;
        case QM_REC_IF: ok = If(); break;
        case QM_REC_WHILE: ok = While(); break;
        case QM_REC_SWITCH: ok = Switch(); break;
        default: break;
    }
    if (!ok) {
        in_.Seek(start);
        stop = code;
    }
    return ok;
}

bool Executor::If() {
    DepthGuard depth(blockDepth_, QM_PAGE_MAX_BLOCK_DEPTH);
    if (TooDeep(depth, __LINE__)) return false;
    if (Expression(condition_) != Eval::Value) return false;
    char stop;
    if (Truth(condition_)) {
        stop = RunStatements();
        if (stop == QM_REC_ELSE) {
            Record r;
            in_.Read(r);
            stop = SkipStatements();
        }
    } else {
        stop = SkipStatements();
        if (stop == QM_REC_ELSE) {
            Record r;
            in_.Read(r);
            stop = RunStatements();
        }
    }
    if (stop != QM_REC_ENDIF) {
        out().Error({}, "ENDIF", Msg::NotFound);
        TraceCode(__LINE__, stop);
        return false;
    }
    Record r;
    in_.Read(r);
    return true;
}

bool Executor::While() {
    DepthGuard depth(blockDepth_, QM_PAGE_MAX_BLOCK_DEPTH);
    if (TooDeep(depth, __LINE__)) return false;
    const size_t condition = in_.position();
    for (;;) {
        // A loop that never writes still ends when the host cancels the page.
        if (out().stopped()) return false;
        in_.Seek(condition);
        if (Expression(condition_) != Eval::Value) return false;
        if (!Truth(condition_)) {
            if (SkipStatements() != QM_REC_ENDWHILE) {
                out().Error({}, "ENDWHILE", Msg::NotFound);
                return false;
            }
            Record r;
            in_.Read(r);
            return true;
        }
        if (RunStatements() != QM_REC_ENDWHILE) {
            out().Error({}, "ENDWHILE", Msg::NotFound);
            return false;
        }
    }
}

bool Executor::ReadCaseLiteral(Value& literal) {
    Record r;
    switch (in_.Read(r)) {
        case QM_REC_STRING: literal = Value::Text(r.data); return true;
        case QM_REC_INTEGER: {
            if (r.data.size() != 4) return false;
            uint32_t u = 0;
            std::memcpy(&u, r.data.data(), 4);
            literal = Value::Integer(static_cast<int32_t>(u));
            return true;
        }
        default: TraceCode(__LINE__, r.code); return false;
    }
}

bool Executor::Switch() {
    DepthGuard depth(blockDepth_, QM_PAGE_MAX_BLOCK_DEPTH);
    if (TooDeep(depth, __LINE__)) return false;
    Value selector;
    if (Expression(selector) != Eval::Value) return false;
    for (bool matched = false; !matched;) {
        SkipStatements();
        Record r;
        switch (in_.Read(r)) {
            case QM_REC_CASE: {
                Value literal, equal;
                if (!ReadCaseLiteral(literal)) {
                    out().Error({}, "SWITCH", Msg::SyntaxError);
                    return false;
                }
                ApplyOperator('=', selector, literal, equal);
                matched = Truth(equal);
                break;
            }
            case QM_REC_DEFAULT: matched = true; break;
            case QM_REC_ENDSWITCH: return true;
            default: out().Error({}, "SWITCH", Msg::SyntaxError); return false;
        }
    }
    char stop = RunStatements();
    while (stop == QM_REC_CASE || stop == QM_REC_DEFAULT) {
        Record r;
        in_.Read(r);
        if (stop == QM_REC_CASE) {
            Value literal;
            if (!ReadCaseLiteral(literal)) break;
        }
        stop = SkipStatements();
    }
    if (in_.Peek() != QM_REC_ENDSWITCH || stop != QM_REC_ENDSWITCH) {
        out().Error({}, "ENDSWITCH", Msg::NotFound);
        return false;
    }
    Record r;
    in_.Read(r);
    return true;
}

bool Executor::SkipStatement(char& stop) {
    const size_t start = in_.position();
    Record r;
    const char code = in_.Read(r);
    bool ok = false;
    switch (code) {
        case QM_REC_VARIABLE: ok = SkipExpression() == Eval::Value; break;
        case QM_REC_TEXT: ok = true; break;
        case QM_REC_LIBRARY: {
            Record fn;
            ok = in_.Read(fn) == QM_REC_FUNCTION && SkipArguments();
            break;
        }
        case QM_REC_IF:
        case QM_REC_WHILE:
        case QM_REC_SWITCH: ok = SkipBlock(code); break;
        default: break;
    }
    if (!ok) {
        in_.Seek(start);
        stop = code;
    }
    return ok;
}

bool Executor::SkipBlock(char code) {
    DepthGuard depth(blockDepth_, QM_PAGE_MAX_BLOCK_DEPTH);
    if (TooDeep(depth, __LINE__)) return false;
    if (SkipExpression() != Eval::Value) return false;
    char stop = SkipStatements();
    Record r;
    switch (code) {
        case QM_REC_IF:
            if (stop == QM_REC_ELSE) {
                in_.Read(r);
                stop = SkipStatements();
            }
            if (stop != QM_REC_ENDIF) {
                out().Error({}, "ENDIF", Msg::NotFound);
                return false;
            }
            break;
        case QM_REC_WHILE:
            if (stop != QM_REC_ENDWHILE) {
                out().Error({}, "ENDWHILE", Msg::NotFound);
                return false;
            }
            break;
        default:
            while (stop == QM_REC_CASE || stop == QM_REC_DEFAULT) {
                in_.Read(r);
                if (stop == QM_REC_CASE) {
                    const char literal = in_.Read(r);
                    if (literal != QM_REC_STRING && literal != QM_REC_INTEGER) break;
                }
                stop = SkipStatements();
            }
            if (stop != QM_REC_ENDSWITCH || in_.Peek() != QM_REC_ENDSWITCH) {
                out().Error({}, "ENDSWITCH", Msg::NotFound);
                return false;
            }
            break;
    }
    in_.Read(r);
    return true;
}

bool Executor::SkipArguments() {
    for (;;) {
        switch (SkipExpression()) {
            case Eval::EndMark: return true;
            case Eval::Fail: return false;
            case Eval::Value: break;
        }
    }
}

bool Executor::SkipVariable() {
    for (int n = 0;; ++n) {
        const Eval e = SkipExpression();
        if (e == Eval::EndMark) break;
        if (e == Eval::Fail || n >= kMaxIndices) return false;
    }
    Record r;
    if (in_.Read(r) != QM_REC_SELECTOR) {
        TraceCode(__LINE__, r.code);
        return false;
    }
    return true;
}

Eval Executor::SkipExpression() {
    DepthGuard depth(expressionDepth_, QM_PAGE_MAX_EXPRESSION_DEPTH);
    if (TooDeep(depth, __LINE__)) return Eval::Fail;
    for (bool first = true;; first = false) {
        Record r;
        const char code = in_.Read(r);
        switch (code) {
            case QM_REC_STRING:
            case QM_REC_INTEGER: break;
            case QM_REC_VARIABLE:
                if (!SkipVariable()) return Eval::Fail;
                break;
            case QM_REC_LIBRARY: {
                Record fn;
                if (in_.Read(fn) != QM_REC_FUNCTION || !SkipArguments()) return Eval::Fail;
                break;
            }
            case QM_REC_END:
                if (first) return Eval::EndMark;
                [[fallthrough]];
            default: TraceCode(__LINE__, code); return Eval::Fail;
        }
        const char next = in_.Read(r);
        if (next == QM_REC_END) return Eval::Value;
        if (next != QM_REC_OPERATOR) {
            TraceCode(__LINE__, next);
            return Eval::Fail;
        }
    }
}

// Integer operands are by far the most common in loops; this does what ApplyOperator does
// for them without building a result value. False when `op` needs the general rules.
bool IntegerFastPath(char op, Value& acc, int32_t r) {
    const int32_t l = acc.number;
    const auto wrap = [](int64_t n) { return static_cast<int32_t>(static_cast<uint32_t>(n)); };
    switch (op) {
        case '+': acc.number = wrap(int64_t{l} + r); return true;
        case '-': acc.number = wrap(int64_t{l} - r); return true;
        case '*': acc.number = wrap(int64_t{l} * r); return true;
        case '&': acc.number = l & r; return true;
        case '|': acc.number = l | r; return true;
        case '=': acc.number = l == r; return true;
        case '!': acc.number = l != r; return true;
        case '<': acc.number = l < r; return true;
        case '>': acc.number = l > r; return true;
        default: return false;  // division has its own rules for 0 and -1
    }
}

Eval Executor::Expression(Value& dst) {
    DepthGuard depth(expressionDepth_, QM_PAGE_MAX_EXPRESSION_DEPTH);
    if (TooDeep(depth, __LINE__)) return Eval::Fail;
    // The destination is a fresh temporary of the caller, so it serves as the accumulator.
    const Eval first = Operand(dst);
    if (first != Eval::Value) return first;
    for (;;) {
        Record r;
        const char code = in_.Read(r);
        if (code == QM_REC_END) return Eval::Value;
        if (code != QM_REC_OPERATOR || r.data.size() != 1) {
            TraceCode(__LINE__, code);
            return Eval::Fail;
        }
        const char op = r.data[0];
        // An integer literal on the right of an integer needs no value of its own.
        if (dst.type == kTagInteger && !dst.table) {
            const size_t at = in_.position();
            Record literal;
            if (in_.Read(literal) == QM_REC_INTEGER && literal.data.size() == 4) {
                uint32_t u = 0;
                std::memcpy(&u, literal.data.data(), 4);
                if (IntegerFastPath(op, dst, static_cast<int32_t>(u))) continue;
            }
            in_.Seek(at);
        }
        Value right, result;
        if (Operand(right) != Eval::Value) return Eval::Fail;
        if (dst.type == kTagInteger && right.type == kTagInteger && !dst.table &&
            IntegerFastPath(op, dst, right.number)) {
            continue;
        }
        if (!ApplyOperator(op, dst, right, result)) return Eval::Fail;
        std::swap(dst, result);
    }
}

Eval Executor::Operand(Value& dst) {
    Record r;
    const char code = in_.Read(r);
    switch (code) {
        case QM_REC_STRING:
            dst.type = kTagOctetString;
            dst.bytes.assign(r.data);
            dst.table.reset();
            return Eval::Value;
        case QM_REC_INTEGER: {
            if (r.data.size() != 4) break;
            uint32_t u = 0;
            std::memcpy(&u, r.data.data(), 4);
            dst.type = kTagInteger;
            dst.number = static_cast<int32_t>(u);
            dst.bytes.clear();
            dst.table.reset();
            return Eval::Value;
        }
        case QM_REC_VARIABLE: return VariableReference(r.data, dst) ? Eval::Value : Eval::Fail;
        case QM_REC_LIBRARY: return Call(r.data, dst) ? Eval::Value : Eval::Fail;
        case QM_REC_END: return Eval::EndMark;
        default: break;
    }
    TraceCode(__LINE__, code);
    return Eval::Fail;
}

bool Executor::VariableReference(std::string_view name, Value& dst) {
    const Value* var = Find(name);
    if (!var) {
        out().Error({}, name, Msg::NotFound);
        return false;
    }
    std::array<int32_t, kMaxIndices> index{};
    int count = 0;
    if (in_.Peek() != QM_REC_END) {
        Value v;
        for (;;) {
            const Eval e = Expression(v);
            if (e == Eval::Fail) return false;
            if (e == Eval::EndMark) break;
            if (count == kMaxIndices) {
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: ErrorArray = %d", count + 1);
                return false;
            }
            index[count++] = IntegerForm(v);
        }
    } else {
        Record end;
        in_.Read(end);
    }
    Record sel;
    if (in_.Read(sel) != QM_REC_SELECTOR || sel.data.size() != 1) {
        TraceCode(__LINE__, sel.code);
        return false;
    }
    if (count == 0) {
        if (var->IsTable()) {
            out().Error({}, name, Msg::SyntaxError);
            return false;
        }
        CopyValue(dst, *var);
    } else if (count == 2) {
        if (!var->IsTable() && !var->IsNull()) {
            out().Error({}, name, Msg::SyntaxError);
            return false;
        }
        dst = var->Cell(index[0], index[1]);
    } else {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: ErrorArray = %d", count);
        return false;
    }
    if (sel.data[0] == 'T') dst = Value::Integer(dst.type);
    return true;
}

bool Executor::Call(std::string_view library, Value& dst) {
    if (library == ".") return OutputStatement(dst);
    return LibraryCall(library, dst);
}

bool Executor::OutputStatement(Value& dst) {
    dst.Reset();
    Record fn;
    if (in_.Read(fn) != QM_REC_FUNCTION) {
        TraceCode(__LINE__, fn.code);
        return false;
    }
    enum { Html, Escape, Encode, Decode, Hex } kind;
    if (NameIs(fn.data, "OUTHTML")) kind = Html;
    else if (NameIs(fn.data, "OUTENCODEHTML")) kind = Encode;
    else if (NameIs(fn.data, "OUTDECODEHTML")) kind = Decode;
    else if (NameIs(fn.data, "OUTHEXHTML")) kind = Hex;
    // Text as text: whatever a value holds (a form field, a printer's name), it never becomes
    // markup, inside element content or a quoted attribute alike.
    else if (NameIs(fn.data, "OUTESCAPEHTML")) kind = Escape;
    else {
        out().Error({}, fn.data, Msg::NotFound);
        return false;
    }
    Value arg;
    for (;;) {
        // A text literal that is a whole argument is written straight from the page.
        if (kind == Html && in_.Peek() == QM_REC_STRING) {
            const size_t at = in_.position();
            Record text, end;
            in_.Read(text);
            if (in_.Read(end) == QM_REC_END) {
                out().Write(UntilZero(text.data));
                continue;
            }
            in_.Seek(at);
        }
        const Eval e = Expression(arg);
        if (e == Eval::EndMark) return true;
        if (e == Eval::Fail) return false;
        if (arg.IsNull()) continue;
        const std::string_view text = TextForm(arg, scratch_);
        switch (kind) {
            case Html: out().Write(UntilZero(text)); break;
            case Escape: out().Write(cgi::HtmlEscape(UntilZero(text))); break;
            case Encode: out().Write(EncodeHtml(text)); break;
            case Decode: out().Write(DecodeHtml(text)); break;
            case Hex: out().Write(HexBytes(text)); break;
        }
    }
}

bool Executor::LibraryCall(std::string_view library, Value& dst) {
    dst.Reset();
    TagLibrary* lib = ctx_.libraries ? ctx_.libraries->Get(library) : nullptr;
    if (!lib) {
        out().Error({}, library, Msg::InitializeError);
        return false;
    }
    if (std::find(ctx_.called.begin(), ctx_.called.end(), lib) == ctx_.called.end()) ctx_.called.push_back(lib);
    Record fn;
    if (in_.Read(fn) != QM_REC_FUNCTION) {
        TraceCode(__LINE__, fn.code);
        return false;
    }
    QmTagFunction function;
    {
        std::lock_guard lock(lib->callLock);
        function = lib->Function(fn.data);
    }
    if (!function) {
        out().Error({}, fn.data, Msg::NotFound);
        return false;
    }
    std::vector<Value> args;
    for (;;) {
        Value v;
        const Eval e = Expression(v);
        if (e == Eval::Fail) return false;
        if (e == Eval::EndMark) break;
        if (args.size() == QM_TAG_MAX_ARGS) {
            TraceCode(__LINE__, QM_REC_END);
            return false;
        }
        args.push_back(std::move(v));
    }

    const std::string name(fn.data);
    std::array<void*, QM_TAG_MAX_ARGV> argv{};
    int32_t processor = lib->processor;
    const unsigned char* result = nullptr;
    argv[0] = &processor;
    argv[1] = &result;
    for (size_t i = 0; i < args.size(); ++i) {
        Value& a = args[i];
        switch (a.type) {
            case kTagInteger: argv[i + 2] = &a.number; break;
            case kTagOctetString: argv[i + 2] = a.bytes.data(); break;
            case kTagNull:
                QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QMINTPR: %s(NULL)", name.c_str());
                break;
            default:
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: ErrorTagCode = %c", a.type);
                return false;
        }
    }

    // A cancelled page starts no more tag calls: they may wait on the network.
    if (out().stopped()) return false;
    // The result stays the library's until its next call; unless the library keeps results
    // per thread, nobody else may call it before this one is decoded.
    std::unique_lock lock(lib->callLock, std::defer_lock);
    if (!lib->concurrent) lock.lock();
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QMINTPR: Calling %s()", name.c_str());
    const int32_t rc = function(static_cast<int32_t>(args.size() + 2), argv.data());
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QMINTPR: Called %s()", name.c_str());

    Value* level = ctx_.variables.Find("$ERROR_TAG_LEVEL");  // a literal: never cache by address
    if (!level) {
        out().Error({}, "$ERROR_TAG_LEVEL", Msg::NotFound);
        return false;
    }
    *level = Value::Integer(rc);
    if (rc < 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: TagProcessor Error (%s return %d)", name.c_str(), rc);
    } else if (!result) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: TagProcessor Error (%s return NULL)", name.c_str());
    } else {
        // The block is the library's; its own header says how long it is.
        const size_t extent = BerExtent(result, SIZE_MAX);
        if (extent == 0 || !DecodeBerResult({result, extent}, dst)) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: TagProcessor Error (%s return Unknown BER data)", name.c_str());
            QbDump(QB_TRACE_ERROR, kModule, __LINE__, result, static_cast<int>(std::min(kDumpBytes, std::max<size_t>(extent, 2))));
            dst = Value::Null();
        }
    }
    return true;
}

}  // namespace

void RunPage(PageContext& context, std::string_view page) {
    Executor(context, page).Run();
}

void EndRequest(PageContext& context) {
    for (TagLibrary* lib : context.called) {
        if (lib->endRequest) lib->endRequest(lib->processor);
    }
    context.called.clear();
}

}  // namespace qm::intpr
