// The exported tag functions: processor handles, the checks made before a processor is
// touched, and the IN/OUT trace around every call.
#include <memory>

#include "QBUtil.h"
#include "qm/platform/export_frame.h"
#include "qm/platform/handle_table.h"
#include "processor.h"
#include "qmtag.h"

namespace qm::tag {
namespace {

const platform::ExportTrace kTagTrace{"TagProcessor", platform::ExportTrace::kArrow, "",
                                      QB_TRACE_INFO, QB_TRACE_ERROR};

// Handles are small numbers, not addresses: the interpreter keeps them in 32 bits.
platform::HandleTable<CTagProcessor>& Processors() {
    static platform::HandleTable<CTagProcessor> table;
    return table;
}

using Method = int (CTagProcessor::*)(int, void**);

int Call(const char* name, int32_t argc, void** argv, Method method) {
    const platform::ExportFrame frame(kTagTrace, name, -1);
    return frame.Run([&] {
        frame.In();
        if (argc <= 1 || argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) return -2;
        std::shared_ptr<CTagProcessor> p = Processors().Find(*static_cast<const int32_t*>(argv[0]));
        if (!p) return -2;
        int code;
        {
            // No processor-wide lock: calls of other requests run meanwhile (processor.h).
            const CTagProcessor::CallScope scope(*p);
            code = ((*p).*method)(argc - 1, argv + 1);
        }
        return frame.Out(code);
    });
}

}  // namespace
}  // namespace qm::tag

using namespace qm::tag;

extern "C" {

int32_t TAGInitialize(void* hostContext, void* hostValue, QmOutputCallback output, int32_t reserved) {
    const qm::platform::ExportFrame frame(kTagTrace, "TAGInitialize", -1);
    return frame.Run([&]() -> int32_t {
        frame.In();
        auto p = std::make_shared<CTagProcessor>(hostContext, hostValue, output, reserved);
        if (!p->ok()) return -1;  // the processor is destroyed here, releasing what did start
        int32_t handle = Processors().Add(std::move(p));
        if (handle == 0) return -1;
        return frame.Out(handle);
    });
}

int32_t TAGRelease(int32_t handle) {
    // A call still running on another thread keeps its own reference; the processor ends
    // with the last one.
    return Processors().Remove(handle) ? 0 : -2;
}

int32_t TAGConcurrentCalls(void) { return 1; }

int32_t TAGEndRequest(int32_t handle) {
    const qm::platform::ExportFrame frame(kTagTrace, "TAGEndRequest", -1);
    return frame.Run([&] {
        frame.In();
        std::shared_ptr<CTagProcessor> p = Processors().Find(handle);
        if (!p) return -2;
        int code;
        {
            const CTagProcessor::CallScope scope(*p);
            code = p->EndRequest();
            p->DropThreadResult();
        }
        return frame.Out(code);
    });
}

// Every tag is the same thin export over the processor method of its name.
#define QM_TAG_EXPORT(name) \
    int32_t TAG##name(int32_t argc, void** argv) { return Call("TAG" #name, argc, argv, &CTagProcessor::name); }

QM_TAG_EXPORT(GetLastError)
QM_TAG_EXPORT(GetMIBData)
QM_TAG_EXPORT(GetNextMIBData)
QM_TAG_EXPORT(GetEntryMIBData)
QM_TAG_EXPORT(SetMIBData)
QM_TAG_EXPORT(GetPrinterType)
QM_TAG_EXPORT(GetPrinterColor)
QM_TAG_EXPORT(GetSignalType)
QM_TAG_EXPORT(GetPaperType)
QM_TAG_EXPORT(GetDeviceName)
QM_TAG_EXPORT(GetStorageSize)

QM_TAG_EXPORT(GetQMInfo)
QM_TAG_EXPORT(GetGroupInfo)
QM_TAG_EXPORT(GetDeviceInfo)
QM_TAG_EXPORT(GetGroupNameList)
QM_TAG_EXPORT(GetIPHostName)
QM_TAG_EXPORT(GetModelInfo)
QM_TAG_EXPORT(CreateHTMLGroupList)

QM_TAG_EXPORT(StartDeviceDiscovery)
QM_TAG_EXPORT(GetDiscoveryResult)
QM_TAG_EXPORT(EndDeviceDiscovery)

QM_TAG_EXPORT(OpenGroupLog)
QM_TAG_EXPORT(ReadGroupLog)
QM_TAG_EXPORT(CloseGroupLog)
QM_TAG_EXPORT(OpenDeviceLog)
QM_TAG_EXPORT(ReadDeviceLog)
QM_TAG_EXPORT(CloseDeviceLog)

#undef QM_TAG_EXPORT

}  // extern "C"
