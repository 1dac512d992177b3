// The requesting side of the trap registration handshake, and the request block coding.
//
// The requester follows the helper's protocol step by step (wait for an ending helper, find or
// start the helper, place the request, wait for the acknowledgement), with two additions that
// keep a caller from hanging for good: requesters take turns on kRequesterMutexName, and every
// wait is made in slices that look whether the helper is still there.
#include "qm/qntpset/handshake.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "QBUtil.h"
#include "qm/ipc/objects.h"
#include "qm/platform/errors.h"
#include "qm/platform/named_objects.h"
#include "qm/platform/process.h"

namespace qm::qntpset {

namespace {

using namespace std::chrono_literals;
using platform::kErrFileNotFound;
using platform::kOk;
using platform::kWaitTimeout;

constexpr const char* kModule = "qntpset";
constexpr int kRounds = 10;
constexpr int kStartPolls = 50;                 // 50 x 100 ms for a started helper to come up
constexpr uint32_t kSliceMs = 200;              // waits look at the helper this often
constexpr auto kEndingWaitLimit = 30s;          // an ending helper is gone long before this

bool HelperRunning() {
    ipc::NamedMutex probe;
    return probe.Open(kMutexName) == kOk;  // closed again at once: only an existence test
}

// Step 2: a helper that is ending sets the event once it has closed its objects. A requester
// that misses the signal (each set wakes one waiter) sees the helper's mutex gone instead.
int WaitForEndingHelper() {
    ipc::NamedEvent ending;
    int rc = ending.Open(kEndingEventName);
    if (rc == kErrFileNotFound) return kRequestOk;
    if (rc != kOk) return kRequestFailed;
    const auto limit = std::chrono::steady_clock::now() + kEndingWaitLimit;
    for (;;) {
        rc = ending.Wait(kSliceMs);
        if (rc == kOk) return kRequestOk;
        if (rc != kWaitTimeout) return kRequestFailed;
        if (!HelperRunning() || std::chrono::steady_clock::now() >= limit) return kRequestOk;
    }
}

// Step 3, one round: find or start the helper, then place the request.
int PlaceRequest(int command, const char* address, ipc::NamedEvent* event, bool* placed) {
    *placed = false;
    if (!HelperRunning()) {
        int rc = platform::StartDetached({kProgramName});
        if (rc != kOk) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTPSET: cannot start %s (%d)\n", kProgramName, rc);
            return kRequestNoStart;
        }
        int polls = 0;
        while (!HelperRunning()) {
            if (++polls > kStartPolls) return kRequestNoMutex;
            std::this_thread::sleep_for(100ms);
        }
    }
    if (event->Create(kEventName, true) != kOk) return kRequestOk;
    platform::SharedBlock block;
    if (block.Open(kBlockName) != kOk || !EncodeRequest(command, address, block.Data(), block.Size())) {
        event->Close();  // a helper that is not there must not find a set event left behind
        return kRequestOk;
    }
    *placed = event->Set() == kOk;
    block.Close();
    if (!*placed) event->Close();
    return kRequestOk;
}

// Step 4: the helper sets the event again when it is done; a helper that died meanwhile never
// will, and its mutex is gone with it.
int WaitForAcknowledgement(ipc::NamedEvent* event) {
    for (;;) {
        int rc = event->Wait(kSliceMs);
        if (rc == kOk) break;
        if (rc != kWaitTimeout || HelperRunning()) {
            if (rc != kWaitTimeout) return kRequestNoAck;
            continue;
        }
        // The helper may have acknowledged just before it went away.
        if (event->Wait(0) == kOk) break;
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTPSET: the helper ended without an answer\n");
        return kRequestNoAck;
    }
    return event->Close() == kOk ? kRequestOk : kRequestNoAck;
}

}  // namespace

bool EncodeRequest(int command, const char* address, char* block, size_t size) {
    if (block == nullptr || address == nullptr) return false;
    const std::string text = std::to_string(command);
    const size_t addressLength = std::strlen(address);
    if (text.size() + 1 + addressLength + 1 > size) return false;
    std::memcpy(block, text.c_str(), text.size() + 1);
    std::memcpy(block + text.size() + 1, address, addressLength + 1);
    return true;
}

bool DecodeRequest(const char* block, size_t size, int* command, char address[kMaxAddressLength + 1]) {
    const char* end = block + size;
    const char* commandEnd = static_cast<const char*>(std::memchr(block, '\0', size));
    if (commandEnd == nullptr || commandEnd - block != 1) return false;
    if (block[0] == '1') *command = kCommandRegister;
    else if (block[0] == '9') *command = kCommandUnregister;
    else return false;
    const char* text = commandEnd + 1;
    const char* textEnd = static_cast<const char*>(std::memchr(text, '\0', static_cast<size_t>(end - text)));
    if (textEnd == nullptr || textEnd == text || static_cast<size_t>(textEnd - text) > kMaxAddressLength) {
        return false;
    }
    std::memcpy(address, text, static_cast<size_t>(textEnd - text) + 1);
    in_addr a{};
    return inet_pton(AF_INET, address, &a) == 1;
}

int RequestTrapRegistration(int command, const char* address) {
    if (command != kCommandRegister && command != kCommandUnregister) return kRequestBadCommand;
    in_addr a{};
    if (address == nullptr || std::strlen(address) > kMaxAddressLength || inet_pton(AF_INET, address, &a) != 1) {
        return kRequestBadCommand;
    }
    ipc::NamedMutex turn;
    int rc = turn.Create(kRequesterMutexName);
    if (rc != kOk && rc != platform::kErrAlreadyExists) return kRequestFailed;
    ipc::MutexLock myTurn(turn);
    if (!myTurn.owned()) return kRequestFailed;

    if (WaitForEndingHelper() != kRequestOk) return kRequestFailed;
    ipc::NamedEvent event;
    bool placed = false;
    for (int round = 0; round < kRounds && !placed; ++round) {
        rc = PlaceRequest(command, address, &event, &placed);
        if (rc != kRequestOk) return rc;
        if (!placed) std::this_thread::sleep_for(100ms);
    }
    if (!placed) return kRequestFailed;
    return WaitForAcknowledgement(&event);
}

}  // namespace qm::qntpset
