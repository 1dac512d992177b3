// The library's exports: the service object, one request, and release.
#include <memory>
#include <new>
#include <string>

#include "cache.h"
#include "executor.h"
#include "libraries.h"
#include "qmintpr/qmintpr.h"
#include "request.h"

namespace qm::intpr {
namespace {

struct ServiceObject {
    ServiceObject(void* context, void* value, QmOutputCallback output)
        : hostContext(context), output(output), libraries(context, value, output) {}
    void* hostContext;
    QmOutputCallback output;
    LibraryTable libraries;
};

}  // namespace
}  // namespace qm::intpr

using qm::intpr::ServiceObject;

extern "C" QMINTPR_API void* ServiceInitialize(void* hostContext, void* hostValue, QmOutputCallback output) {
    return new (std::nothrow) ServiceObject(hostContext, hostValue, output);
}

extern "C" QMINTPR_API int32_t ServiceWithCancel(void* service, char* params, const int32_t* cancel) {
    auto* svc = static_cast<ServiceObject*>(service);
    if (!svc) return 0;
    std::unique_ptr<qm::intpr::PageContext> context;
    try {
        context.reset(new qm::intpr::PageContext{
            qm::intpr::PageOutput(svc->hostContext, svc->output, cancel), &svc->libraries, {}});
        if (qm::intpr::IntprInitialize(*context, params)) {
            if (auto page = qm::intpr::ObtainCompiledPage(*context)) qm::intpr::RunPage(*context, *page);
        }
    } catch (const std::bad_alloc&) {
        // Out of memory in the middle of a page: the page just ends here.
    }
    // Whatever stopped the page, what it opened in the tag libraries ends with it.
    if (context) qm::intpr::EndRequest(*context);
    return qm::intpr::PageOutput(svc->hostContext, svc->output).End();
}

extern "C" QMINTPR_API int32_t Service(void* service, char* params) {
    return ServiceWithCancel(service, params, nullptr);
}

extern "C" QMINTPR_API int32_t ServiceRelease(void* service) {
    delete static_cast<ServiceObject*>(service);
    return 0;
}
