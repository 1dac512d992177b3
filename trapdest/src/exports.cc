// The library's two exports: thin C adapters over the printer steps.
#include <exception>

#include "QBUtil.h"
#include "qntrap.h"
#include "registration.h"

#define QNTRAP_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kModule = "qntrap";

template <typename Step>
int Guarded(const char* name, const char* printer, Step step) {
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN : %s(%s)\n", name, printer ? printer : "(null)");
    int rc = QNTRAP_ERR_CHANNEL;
    try {
        rc = step(printer);
    } catch (const std::exception& e) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: %s: %s\n", name, e.what());
    }
    QbTrace(rc == 0 ? QB_TRACE_INFO : QB_TRACE_ERROR, kModule, __LINE__, "OUT : %s = %d\n", name, rc);
    return rc;
}

}  // namespace

QNTRAP_EXPORT int QnConfigSetTrapIP(const char* printerAddress) {
    return Guarded("QnConfigSetTrapIP", printerAddress, qm::trapdest::SetTrapDestination);
}

QNTRAP_EXPORT int QnConfigReSetTrapIP(const char* printerAddress) {
    return Guarded("QnConfigReSetTrapIP", printerAddress, qm::trapdest::ResetTrapDestination);
}
