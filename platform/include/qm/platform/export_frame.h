// The frame around every exported C function of a module: the entry and exit trace lines
// written from the function's name, the argument checks, and the one place where a C++
// exception is stopped before it reaches a C caller.
//
// Contract: a frame lives on the stack of one exported call and is used by that call's thread
// only. The trace lines are byte for byte the module's documented ones: in the bracket style
// "<prefix><function>[IN] <details>", "[OUT]" and, at error level, "[ER_OUT]" (the details and
// the blank before them are left out when there are none); in the arrow style
// "IN : <function>\n" and "OUT : <function>\n". Run() turns any exception thrown by the body
// (std::bad_alloc above all) into the frame's documented error result after an "[ER_OUT]"
// line ("ER_OUT : <function>\n" in the arrow style), so nothing ever unwinds into C.
// Details are printf formats; a detail of no arguments is written as it stands.
#pragma once

#include <cstdio>
#include <exception>
#include <source_location>
#include <string>
#include <utility>

#include "QBUtil.h"

namespace qm::platform {

// How one module writes its frame lines.
struct ExportTrace {
    enum Style { kBracket, kArrow };
    const char* module;     // QbTrace's module name
    Style style;
    const char* prefix;     // bracket style: written before the function name ("QMDBMGR: ")
    unsigned level = QB_TRACE_INFO;           // [IN] and [OUT] lines
    unsigned errorLevel = QB_TRACE_ERROR;     // [ER_OUT] lines
};

// A format with the line of the code that wrote it, for the trace record's "(line)".
struct TraceFormat {
    const char* text;
    int line;
    TraceFormat(const char* t, std::source_location at = std::source_location::current())
        : text(t), line(static_cast<int>(at.line())) {}
};

class ExportFrame {
public:
    ExportFrame(const ExportTrace& trace, const char* function, int errorResult)
        : trace_(trace), function_(function), errorResult_(errorResult) {}
    ExportFrame(const ExportFrame&) = delete;
    ExportFrame& operator=(const ExportFrame&) = delete;

    int errorResult() const { return errorResult_; }
    const char* function() const { return function_; }

    template <typename... A>
    void In(TraceFormat details = TraceFormat(""), A&&... args) const {
        Write(trace_.level, "IN", details, std::forward<A>(args)...);
    }
    // Writes the [OUT] line and passes `result` on.
    template <typename... A>
    int Out(int result, TraceFormat details = TraceFormat(""), A&&... args) const {
        Write(trace_.level, "OUT", details, std::forward<A>(args)...);
        return result;
    }
    // Writes the [ER_OUT] line and returns the frame's error result.
    template <typename... A>
    int Fail(TraceFormat details, A&&... args) const {
        Write(trace_.errorLevel, "ER_OUT", details, std::forward<A>(args)...);
        return errorResult_;
    }

    // False, after "[ER_OUT] <name>=NULL", when `p` is null.
    bool NotNull(const void* p, const char* name,
                 std::source_location at = std::source_location::current()) const;
    // False, after "[ER_OUT] (SizeError) <name>=<text>", when `text` has `limit` or more
    // characters (so that it would not fit a field of `limit` bytes with its terminator).
    bool Fits(const char* text, size_t limit, const char* name,
              std::source_location at = std::source_location::current()) const;
    // A text argument that must be given and fit its field: NotNull, then Fits.
    bool Text(const char* text, size_t limit, const char* name,
              std::source_location at = std::source_location::current()) const {
        return NotNull(text, name, at) && Fits(text, limit, name, at);
    }

    // Runs the exported call's body; an exception becomes the error result (converted to the
    // body's result type, for exports that return a handle).
    template <typename Body>
    auto Run(Body&& body) const noexcept -> decltype(body()) {
        using Result = decltype(body());
        try {
            return std::forward<Body>(body)();
        } catch (const std::bad_alloc&) {
            Caught("out of memory");
        } catch (const std::exception& e) {
            Caught(e.what());
        } catch (...) {
            Caught("unknown exception");
        }
        return static_cast<Result>(errorResult_);
    }

private:
    template <typename... A>
    void Write(unsigned level, const char* mark, const TraceFormat& details, A&&... args) const {
        if ((QbGetTraceLevel() & level) == 0) return;
        if constexpr (sizeof...(A) == 0) {
            Emit(level, mark, details.line, details.text);
        } else {
            char small[512];
            int n = std::snprintf(small, sizeof small, details.text, args...);
            if (n < 0) return;
            if (static_cast<size_t>(n) < sizeof small) {
                Emit(level, mark, details.line, small);
            } else {
                std::string big(static_cast<size_t>(n) + 1, '\0');
                std::snprintf(big.data(), big.size(), details.text, args...);
                big.resize(static_cast<size_t>(n));
                Emit(level, mark, details.line, big.c_str());
            }
        }
    }
    void Emit(unsigned level, const char* mark, int line, const char* details) const;
    void Caught(const char* what) const noexcept;

    const ExportTrace& trace_;
    const char* function_;
    int errorResult_;
};

}  // namespace qm::platform
