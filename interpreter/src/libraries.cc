// Loading tag libraries by name, binding their functions, and releasing them.
#include "libraries.h"

#include <unistd.h>

#include <climits>

#include "QBUtil.h"

namespace qm::intpr {

namespace {
constexpr const char* kModule = "cdllinfo";
constexpr size_t kMaxLibraryName = 259;
}  // namespace

QmTagFunction TagLibrary::Function(std::string_view function) {
    auto it = functions.find(function);
    if (it != functions.end()) return it->second;
    std::string symbol(function);
    // The name comes from a template. Only the library's own functions are tag functions: a
    // name found in one of its dependencies ("exit") or one of the contract's entry points,
    // which take other arguments, is never called.
    if (symbol == QM_TAG_INITIALIZE_NAME || symbol == QM_TAG_RELEASE_NAME) return nullptr;
    auto fn = reinterpret_cast<QmTagFunction>(qm::platform::LibraryOwnFunction(module, symbol.c_str()));
    if (fn) functions.emplace(std::move(symbol), fn);
    return fn;
}

LibraryTable::~LibraryTable() {
    for (auto& [name, lib] : libraries_) {
        if (auto release = reinterpret_cast<QmTagReleaseFn>(
                qm::platform::LibrarySymbol(lib->module, QM_TAG_RELEASE_NAME))) {
            release(lib->processor);
        }
        qm::platform::FreeLibraryHandle(lib->module);
    }
}

TagLibrary* LibraryTable::Get(std::string_view name) {
    {
        std::shared_lock read(lock_);
        auto it = libraries_.find(name);
        if (it != libraries_.end()) return it->second.get();
    }
    return Load(name);
}

TagLibrary* LibraryTable::Load(std::string_view name) {
    std::unique_lock write(lock_);
    // Another request may have loaded it while we waited.
    if (auto it = libraries_.find(name); it != libraries_.end()) return it->second.get();
    if (name.size() > kMaxLibraryName) return nullptr;

    auto module = qm::platform::LoadLibraryByName(name);
    if (!module) {
        char cwd[PATH_MAX] = "";
        if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: LoadLibrary Error (%s)", cwd);
        return nullptr;
    }
    auto init = reinterpret_cast<QmTagInitializeFn>(
        qm::platform::LibrarySymbol(module, QM_TAG_INITIALIZE_NAME));
    if (!init) {
        qm::platform::FreeLibraryHandle(module);
        std::string n(name);
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: TAGInitialize Not Found In %s", n.c_str());
        return nullptr;
    }
    const int32_t processor = init(hostContext_, hostValue_, output_, 0);
    if (processor < 0) {
        qm::platform::FreeLibraryHandle(module);
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMINTPR: TAGInitialize() Error %d", processor);
        return nullptr;
    }
    auto lib = std::make_unique<TagLibrary>();
    lib->name.assign(name);
    lib->module = module;
    lib->processor = processor;
    lib->endRequest = reinterpret_cast<QmTagEndRequestFn>(
        qm::platform::LibrarySymbol(module, QM_TAG_END_REQUEST_NAME));
    if (auto concurrent = reinterpret_cast<QmTagConcurrentCallsFn>(
            qm::platform::LibrarySymbol(module, QM_TAG_CONCURRENT_CALLS_NAME))) {
        lib->concurrent = concurrent() != 0;
    }
    TagLibrary* raw = lib.get();
    libraries_.emplace(std::string(name), std::move(lib));
    return raw;
}

}  // namespace qm::intpr
