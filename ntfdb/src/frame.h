// Every export runs inside the platform's export frame: "QNTFDB: <name>[IN]", the body, then
// "[OUT] Ret=%d" for an answer or "[ER_OUT] nRet=%d" for a failure; an exception thrown by the
// body becomes -1 and never reaches the C caller.
#pragma once

#include "core.h"
#include "qm/platform/export_frame.h"

namespace qm::ntfdb {

inline const platform::ExportTrace kExportTrace{"QNTFDB", platform::ExportTrace::kBracket,
                                                "QNTFDB: "};

// Results that are answers rather than failures.
inline bool IsAnswer(int r) {
    return r >= 0 || r == -3 || r == -31 || r == -300 || r == -301;
}

template <typename Body>
int Export(const char* name, Body&& body) {
    platform::ExportFrame frame(kExportTrace, name, -1);
    frame.In();
    int r = frame.Run(std::forward<Body>(body));
    if (IsAnswer(r)) return frame.Out(r, "Ret=%d", r);
    frame.Fail("nRet=%d", r);
    return r;
}

}  // namespace qm::ntfdb
