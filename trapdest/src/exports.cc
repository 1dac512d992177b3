// The library's two exports: thin C adapters over the printer steps.
#include "qm/platform/export_frame.h"
#include "qntrap.h"
#include "registration.h"

#define QNTRAP_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using qm::platform::ExportFrame;
using qm::platform::ExportTrace;

constexpr ExportTrace kTrace{"qntrap", ExportTrace::kBracket, "QNTRAP: "};

// A missing address can open no channel, hence -1; an exception escaping a printer step (out
// of memory) is reported the same way.
template <typename Step>
int Framed(const char* function, const char* printer, Step step) {
    ExportFrame frame(kTrace, function, QNTRAP_ERR_CHANNEL);
    frame.In("%s", printer ? printer : "(null)");
    if (!frame.NotNull(printer, "printerAddress")) return frame.errorResult();
    int rc = frame.Run([&] { return step(printer); });
    return rc == QNTRAP_OK ? frame.Out(rc, "nRet=%d", rc) : (frame.Fail("nRet=%d", rc), rc);
}

}  // namespace

QNTRAP_EXPORT int QnConfigSetTrapIP(const char* printerAddress) {
    return Framed("QnConfigSetTrapIP", printerAddress, qm::trapdest::SetTrapDestination);
}

QNTRAP_EXPORT int QnConfigReSetTrapIP(const char* printerAddress) {
    return Framed("QnConfigReSetTrapIP", printerAddress, qm::trapdest::ResetTrapDestination);
}
