// Trace lines of the configuration database: ordinary level 0x80, failures 0x8800. Every
// exported call runs in an ExportFrame with kDbTrace, which writes its "QMDBMGR: <call>[IN]",
// "[OUT]" and "[ER_OUT]" lines.
#pragma once

#include "QBUtil.h"
#include "qm/platform/export_frame.h"

#define DB_TRACE(...) QbTrace(0x80u, "QMDBMGR", __LINE__, __VA_ARGS__)
#define DB_ERROR(...) QbTrace(0x8800u, "QMDBMGR", __LINE__, __VA_ARGS__)

namespace qm::confdb {

using platform::ExportFrame;
inline constexpr platform::ExportTrace kDbTrace{"QMDBMGR", platform::ExportTrace::kBracket,
                                                "QMDBMGR: ", 0x80u, 0x8800u};

}  // namespace qm::confdb
