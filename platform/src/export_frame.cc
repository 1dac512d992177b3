// Trace lines of the export frame.
#include "qm/platform/export_frame.h"

#include <cstring>

namespace qm::platform {

void ExportFrame::Emit(unsigned level, const char* mark, int line, const char* details) const {
    if (trace_.style == ExportTrace::kArrow) {
        QbTrace(level, trace_.module, line, "%s : %s\n", mark, function_);
    } else if (details == nullptr || details[0] == '\0') {
        QbTrace(level, trace_.module, line, "%s%s[%s]", trace_.prefix, function_, mark);
    } else {
        QbTrace(level, trace_.module, line, "%s%s[%s] %s", trace_.prefix, function_, mark, details);
    }
}

bool ExportFrame::NotNull(const void* p, const char* name, std::source_location at) const {
    if (p) return true;
    if (trace_.style == ExportTrace::kArrow) {
        Emit(trace_.errorLevel, "ER_OUT", static_cast<int>(at.line()), nullptr);
    } else {
        Write(trace_.errorLevel, "ER_OUT", TraceFormat("%s=NULL", at), name);
    }
    return false;
}

bool ExportFrame::Fits(const char* text, size_t limit, const char* name, std::source_location at) const {
    if (text && strnlen(text, limit) < limit) return true;
    if (trace_.style == ExportTrace::kArrow) {
        Emit(trace_.errorLevel, "ER_OUT", static_cast<int>(at.line()), nullptr);
    } else {
        Write(trace_.errorLevel, "ER_OUT", TraceFormat("(SizeError) %s=%s", at), name,
              text ? text : "(null)");
    }
    return false;
}

void ExportFrame::Caught(const char* what) const noexcept {
    try {
        if (trace_.style == ExportTrace::kArrow) {
            Emit(trace_.errorLevel, "ER_OUT", __LINE__, nullptr);
            QbTrace(trace_.errorLevel, trace_.module, __LINE__, "%s: %s\n", function_, what);
        } else {
            Write(trace_.errorLevel, "ER_OUT", TraceFormat("nRet=%d (%s)"), errorResult_, what);
        }
    } catch (...) {
        // Tracing is best effort; the caller still gets its error result.
    }
}

}  // namespace qm::platform
