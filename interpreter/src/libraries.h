// The table of loaded tag libraries, shared by every request of one service object.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "qm/platform/library.h"
#include "qmintpr/tag_library.h"

namespace qm::intpr {

struct TagLibrary {
    std::string name;
    qm::platform::LibraryHandle module = nullptr;
    int32_t processor = 0;
    QmTagEndRequestFn endRequest = nullptr;  // optional export, bound at load
    // The library keeps results per calling thread: its calls need not be serialised here.
    bool concurrent = false;
    // Calls into one library are serialised: its result buffer lives in its processor object
    // and must stay put until the interpreter has decoded it.
    std::mutex callLock;
    std::map<std::string, QmTagFunction, std::less<>> functions;  // guarded by callLock

    // The function by its exact name, or nullptr. Caller holds callLock.
    QmTagFunction Function(std::string_view function);
};

class LibraryTable {
public:
    LibraryTable(void* hostContext, void* hostValue, QmOutputCallback output)
        : hostContext_(hostContext), hostValue_(hostValue), output_(output) {}
    ~LibraryTable();  // TAGRelease and unload every library
    LibraryTable(const LibraryTable&) = delete;
    LibraryTable& operator=(const LibraryTable&) = delete;

    // The library by exact name, loading and initialising it on first use; nullptr when it
    // cannot be loaded or initialised (the next use tries again).
    TagLibrary* Get(std::string_view name);

private:
    TagLibrary* Load(std::string_view name);

    void* hostContext_;
    void* hostValue_;
    QmOutputCallback output_;
    std::shared_mutex lock_;  // readers look up; loading a library takes it exclusively
    std::map<std::string, std::unique_ptr<TagLibrary>, std::less<>> libraries_;
};

}  // namespace qm::intpr
