// The frame of this library's exports: ExportFrame with the database's trace lines, the store
// every call works on, and the usual end of a call whose result is a store result.
#pragma once

#include <initializer_list>
#include <source_location>
#include <string>

#include "store.h"
#include "trace.h"

namespace qm::confdb {

// A text argument as the trace lines show it.
inline const char* Shown(const char* text) { return text ? text : "(null)"; }

class DbFrame : public ExportFrame {
public:
    explicit DbFrame(const char* function, int errorResult = -1)
        : ExportFrame(kDbTrace, function, errorResult) {}

    // The loaded store; null, after "[ER_OUT] nRet=-1", when the library could not load it.
    const StoreApi* Store(std::source_location at = std::source_location::current()) const {
        const StoreApi* s = confdb::Store();
        if (!s) Fail(platform::TraceFormat("nRet=%d", at), -1);
        return s;
    }
    // A text argument: traced, and checked as given and, with a width, fitting a field of that
    // many bytes with its terminator.
    struct TextArg {
        const char* name;
        const char* value;
        size_t width = 0;
    };
    // An argument the call writes through: checked as given, not traced.
    struct OutArg {
        const char* name;
        const void* value;
    };
    // The opening of a call of text arguments: "[IN] a=<a>, b=<b>", the checks of the texts and
    // then of the outputs in order, and the store. Null, after the failing check's or the
    // store's "[ER_OUT]" line, when the call cannot go on.
    const StoreApi* Begin(std::initializer_list<TextArg> texts, std::initializer_list<OutArg> outs = {},
                          std::source_location at = std::source_location::current()) const {
        if (QbGetTraceLevel() & kDbTrace.level) {
            std::string details;
            for (const TextArg& t : texts) {
                if (!details.empty()) details += ", ";
                details += std::string(t.name) + "=" + Shown(t.value);
            }
            In(platform::TraceFormat("%s", at), details.c_str());
        }
        for (const TextArg& t : texts) {
            if (t.width ? !Text(t.value, t.width, t.name, at) : !NotNull(t.value, t.name, at)) return nullptr;
        }
        for (const OutArg& o : outs) {
            if (!NotNull(o.value, o.name, at)) return nullptr;
        }
        return Store(at);
    }
    // "[OUT] Ret=0" and 0 for a store result of 0, else "[ER_OUT] nRet=<r>" and the error result.
    int Done(int r, std::source_location at = std::source_location::current()) const {
        if (r != 0) return Fail(platform::TraceFormat("nRet=%d", at), r);
        return Out(0, platform::TraceFormat("Ret=0", at));
    }
};

// Runs an export's body in its frame; the body gets the frame.
template <typename Body>
auto DbCall(const char* function, Body&& body, int errorResult = -1) {
    const DbFrame frame(function, errorResult);
    return frame.Run([&] { return body(frame); });
}

}  // namespace qm::confdb
