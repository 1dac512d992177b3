// The exported tag functions: processor handles, the checks made before a processor is
// touched, and the IN/OUT trace around every call.
#include <map>
#include <memory>
#include <mutex>

#include "QBUtil.h"
#include "processor.h"
#include "qmtag.h"

namespace qm::tag {
namespace {

constexpr const char* kModule = "TagProcessor";

// Handles are small numbers, not addresses: the interpreter keeps them in 32 bits.
std::mutex gTableMu;
std::map<int32_t, std::shared_ptr<CTagProcessor>> gProcessors;
int32_t gNextHandle = 1;

std::shared_ptr<CTagProcessor> Find(int32_t handle) {
    std::lock_guard lock(gTableMu);
    auto it = gProcessors.find(handle);
    return it == gProcessors.end() ? nullptr : it->second;
}

using Method = int (CTagProcessor::*)(int, void**);

int Call(const char* name, int32_t argc, void** argv, Method method) {
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN : %s\n", name);
    if (argc <= 1 || argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) return -2;
    std::shared_ptr<CTagProcessor> p = Find(*static_cast<const int32_t*>(argv[0]));
    if (!p) return -2;
    int code;
    {
        std::unique_lock lock(p->callLock());
        p->SetHeldLock(&lock);
        code = ((*p).*method)(argc - 1, argv + 1);
        p->SetHeldLock(nullptr);
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT : %s\n", name);
    return code;
}

}  // namespace
}  // namespace qm::tag

using namespace qm::tag;

extern "C" {

int32_t TAGInitialize(void* hostContext, void* hostValue, QmOutputCallback output, int32_t reserved) {
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN : TAGInitialize\n");
    auto p = std::make_shared<CTagProcessor>(hostContext, hostValue, output, reserved);
    if (!p->ok()) return -1;  // the processor is destroyed here, releasing what did start
    int32_t handle;
    {
        std::lock_guard lock(gTableMu);
        if (gNextHandle == INT32_MAX) return -1;
        handle = gNextHandle++;
        gProcessors.emplace(handle, std::move(p));
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT : TAGInitialize\n");
    return handle;
}

int32_t TAGRelease(int32_t handle) {
    std::shared_ptr<CTagProcessor> p;
    {
        std::lock_guard lock(gTableMu);
        auto it = gProcessors.find(handle);
        if (it == gProcessors.end()) return -2;
        p = std::move(it->second);
        gProcessors.erase(it);
    }
    // A call still running on another thread keeps its own reference; the processor ends
    // with the last one.
    return 0;
}

int32_t TAGConcurrentCalls(void) { return 1; }

int32_t TAGEndRequest(int32_t handle) {
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN : TAGEndRequest\n");
    std::shared_ptr<CTagProcessor> p = Find(handle);
    if (!p) return -2;
    int code;
    {
        std::lock_guard lock(p->callLock());
        code = p->EndRequest();
        p->DropThreadResult();
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT : TAGEndRequest\n");
    return code;
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

}  // extern "C"
