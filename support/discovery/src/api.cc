// The exported calls: library initialisation, and the table of running searches by handle.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "QBAPI.h"
#include "QBUtil.h"
#include "params.h"
#include "qm/platform/handle_table.h"
#include "qm/platform/registry.h"
#include "search.h"
#include "targets.h"

namespace {

using qm::discovery::Search;

constexpr const char* kModule = "QBAPI";
constexpr unsigned kTraceInfo = 0x80;
constexpr const char* kSetupKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
constexpr const char* kCommunity = "tarlow";
// "255.255.255.255;;" + 12 MAC digits + ";" + 8 index digits + zero, rounded up.
constexpr int kResultSize = 64;

struct Library {
    std::mutex mutex;
    int initCount = 0;
    // Taken under `mutex` where the count matters, so a release never misses a new search.
    qm::platform::HandleTable<Search> searches;
};

Library& Lib() {
    static Library lib;
    return lib;
}

// The same port setting the SNMP gateway reads, so discovery and the later exchanges with a
// found printer reach the same agents.
uint16_t AgentPort() {
    std::string text = qm::platform::RegReadText(qm::platform::RegRoot::LocalMachine, kSetupKey, "SnmpPort");
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
        return 161;
    }
    return static_cast<uint16_t>(value);
}

bool IsIp(const char* protocol) {
    return protocol != nullptr && std::strlen(protocol) == 2 && std::toupper(static_cast<unsigned char>(protocol[0])) == 'I' &&
           std::toupper(static_cast<unsigned char>(protocol[1])) == 'P';
}

std::shared_ptr<Search> Find(int handle) { return Lib().searches.Find(handle); }

}  // namespace

extern "C" {

int QBInitialize(void) {
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    ++lib.initCount;
    return QB_OK;
}

int QBRelease(void) {
    Library& lib = Lib();
    std::vector<std::shared_ptr<Search>> ending;
    {
        std::lock_guard lock(lib.mutex);
        if (lib.initCount == 0) return QB_OK;
        if (--lib.initCount > 0) return QB_OK;
        ending = lib.searches.TakeAll();
    }
    for (auto& search : ending) search->Stop();
    return QB_OK;
}

int QBStartDiscovery(const char* const* pairs, int count, unsigned long param, int* resultSize) {
    Library& lib = Lib();
    {
        std::lock_guard lock(lib.mutex);
        if (lib.initCount == 0) return QB_E_NOT_INIT;
    }
    if (pairs == nullptr || count < 1 || resultSize == nullptr) return QB_E_PARAM;
    qm::discovery::SearchParams params = qm::discovery::DecodeParams(param);
    std::vector<qm::discovery::LocalSegment> local;
    bool localRead = false;
    std::vector<qm::discovery::Destination> all;
    for (int i = 0; i < count; ++i) {
        const char* protocol = pairs[2 * i];
        const char* list = pairs[2 * i + 1];
        if (protocol == nullptr || list == nullptr) return QB_E_PARAM;
        if (!IsIp(protocol)) return QB_E_PROTOCOL;
        std::string_view text(list);
        if (!localRead && text.find_first_of("lL") != std::string_view::npos) {
            local = qm::discovery::LocalSegments();
            localRead = true;
        }
        std::vector<qm::discovery::Destination> some;
        if (!qm::discovery::BuildDestinations(text, params.sweep, local, &some)) {
            QbTrace(0x8800, kModule, __LINE__, "QBAPI: bad search list '%s'\n", list);
            return QB_E_LIST;
        }
        for (const auto& d : some) {
            bool dup = std::any_of(all.begin(), all.end(), [&](const auto& a) { return a.address == d.address; });
            if (!dup) all.push_back(d);
        }
    }
    uint16_t port = AgentPort();
    QbTrace(kTraceInfo, kModule, __LINE__, "QBAPI: search of %d addresses on port %u, param %08lX\n",
            static_cast<int>(all.size()), port, param);
    auto search = std::make_shared<Search>(std::move(all), params, port, kCommunity);
    if (!search->Started()) return QB_E_FAILED;
    std::lock_guard lock(lib.mutex);
    if (lib.initCount == 0) return QB_E_NOT_INIT;  // released meanwhile; the search ends with `search`
    int handle = lib.searches.Add(std::move(search));
    if (handle == 0) return QB_E_FAILED;
    *resultSize = kResultSize;
    return handle;
}

int QBGetDiscoveryResult(int handle, int waitMs, int* deviceType, char* buffer) {
    if (deviceType == nullptr || buffer == nullptr) return QB_E_PARAM;
    std::shared_ptr<Search> search = Find(handle);
    if (!search) return QB_E_HANDLE;
    qm::discovery::Found found;
    switch (search->Take(std::chrono::milliseconds(waitMs < 0 ? -1 : waitMs), &found)) {
        case Search::Next::kFound: {
            size_t n = std::min(found.text.size(), static_cast<size_t>(kResultSize - 1));
            std::memcpy(buffer, found.text.data(), n);
            buffer[n] = '\0';
            *deviceType = found.deviceType;
            return QB_OK;
        }
        case Search::Next::kNotReady:
            return QB_E_NOT_READY;
        case Search::Next::kFinished:
            return QB_FINISHED;
        case Search::Next::kStopped:
            return QB_E_HANDLE;
    }
    return QB_E_FAILED;
}

int QBTerminateDiscovery(int handle) {
    std::shared_ptr<Search> search = Lib().searches.Remove(handle);
    if (!search) return QB_E_HANDLE;
    search->Stop();
    return QB_OK;
}

}  // extern "C"
