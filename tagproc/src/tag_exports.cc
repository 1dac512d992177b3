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

int32_t TAGGetLastError(int32_t argc, void** argv) { return Call("TAGGetLastError", argc, argv, &CTagProcessor::GetLastError); }
int32_t TAGGetMIBData(int32_t argc, void** argv) { return Call("TAGGetMIBData", argc, argv, &CTagProcessor::GetMIBData); }
int32_t TAGGetNextMIBData(int32_t argc, void** argv) {
    return Call("TAGGetNextMIBData", argc, argv, &CTagProcessor::GetNextMIBData);
}
int32_t TAGGetEntryMIBData(int32_t argc, void** argv) {
    return Call("TAGGetEntryMIBData", argc, argv, &CTagProcessor::GetEntryMIBData);
}
int32_t TAGSetMIBData(int32_t argc, void** argv) { return Call("TAGSetMIBData", argc, argv, &CTagProcessor::SetMIBData); }
int32_t TAGGetPrinterType(int32_t argc, void** argv) {
    return Call("TAGGetPrinterType", argc, argv, &CTagProcessor::GetPrinterType);
}
int32_t TAGGetPrinterColor(int32_t argc, void** argv) {
    return Call("TAGGetPrinterColor", argc, argv, &CTagProcessor::GetPrinterColor);
}
int32_t TAGGetSignalType(int32_t argc, void** argv) {
    return Call("TAGGetSignalType", argc, argv, &CTagProcessor::GetSignalType);
}
int32_t TAGGetPaperType(int32_t argc, void** argv) { return Call("TAGGetPaperType", argc, argv, &CTagProcessor::GetPaperType); }
int32_t TAGGetDeviceName(int32_t argc, void** argv) {
    return Call("TAGGetDeviceName", argc, argv, &CTagProcessor::GetDeviceName);
}
int32_t TAGGetStorageSize(int32_t argc, void** argv) {
    return Call("TAGGetStorageSize", argc, argv, &CTagProcessor::GetStorageSize);
}

int32_t TAGGetQMInfo(int32_t argc, void** argv) { return Call("TAGGetQMInfo", argc, argv, &CTagProcessor::GetQMInfo); }
int32_t TAGGetGroupInfo(int32_t argc, void** argv) { return Call("TAGGetGroupInfo", argc, argv, &CTagProcessor::GetGroupInfo); }
int32_t TAGGetDeviceInfo(int32_t argc, void** argv) { return Call("TAGGetDeviceInfo", argc, argv, &CTagProcessor::GetDeviceInfo); }
int32_t TAGGetGroupNameList(int32_t argc, void** argv) { return Call("TAGGetGroupNameList", argc, argv, &CTagProcessor::GetGroupNameList); }
int32_t TAGGetIPHostName(int32_t argc, void** argv) { return Call("TAGGetIPHostName", argc, argv, &CTagProcessor::GetIPHostName); }
int32_t TAGGetModelInfo(int32_t argc, void** argv) { return Call("TAGGetModelInfo", argc, argv, &CTagProcessor::GetModelInfo); }
int32_t TAGCreateHTMLGroupList(int32_t argc, void** argv) { return Call("TAGCreateHTMLGroupList", argc, argv, &CTagProcessor::CreateHTMLGroupList); }

int32_t TAGStartDeviceDiscovery(int32_t argc, void** argv) { return Call("TAGStartDeviceDiscovery", argc, argv, &CTagProcessor::StartDeviceDiscovery); }
int32_t TAGGetDiscoveryResult(int32_t argc, void** argv) { return Call("TAGGetDiscoveryResult", argc, argv, &CTagProcessor::GetDiscoveryResult); }
int32_t TAGEndDeviceDiscovery(int32_t argc, void** argv) { return Call("TAGEndDeviceDiscovery", argc, argv, &CTagProcessor::EndDeviceDiscovery); }

int32_t TAGOpenGroupLog(int32_t argc, void** argv) { return Call("TAGOpenGroupLog", argc, argv, &CTagProcessor::OpenGroupLog); }
int32_t TAGReadGroupLog(int32_t argc, void** argv) { return Call("TAGReadGroupLog", argc, argv, &CTagProcessor::ReadGroupLog); }
int32_t TAGCloseGroupLog(int32_t argc, void** argv) { return Call("TAGCloseGroupLog", argc, argv, &CTagProcessor::CloseGroupLog); }
int32_t TAGOpenDeviceLog(int32_t argc, void** argv) { return Call("TAGOpenDeviceLog", argc, argv, &CTagProcessor::OpenDeviceLog); }
int32_t TAGReadDeviceLog(int32_t argc, void** argv) { return Call("TAGReadDeviceLog", argc, argv, &CTagProcessor::ReadDeviceLog); }
int32_t TAGCloseDeviceLog(int32_t argc, void** argv) { return Call("TAGCloseDeviceLog", argc, argv, &CTagProcessor::CloseDeviceLog); }

}  // extern "C"
