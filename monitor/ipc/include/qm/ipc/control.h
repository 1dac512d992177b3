// The control channel of a service: a 10-byte block carrying one decimal command and an
// auto-reset event both sides wait on. The sender writes the command and sets the event; the
// service wakes, handles the command and sets the event again to acknowledge.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qm/ipc/objects.h"
#include "qm/platform/errors.h"

namespace qm::ipc {

// Sender results.
inline constexpr int kControlOk = 0;
inline constexpr int kControlCloseFailed = -100;
inline constexpr int kControlFailed = -101;    // event could not be had, set or waited on
inline constexpr int kControlNoService = -104; // the block is not there: the service is not running

// Sends `command` (at most 9 characters) and waits for the acknowledgement. The classic sender
// waits without limit; tools pass a finite `timeoutMs` so that a service that dies while
// handling the command does not hang them (a time-out gives kControlFailed).
int SendControlCommand(std::string_view mapName, std::string_view eventName,
                       std::string_view command, uint32_t timeoutMs = qm::platform::kInfinite);

// The serving side: creates the block and the event (not signalled), waits for commands and
// acknowledges them.
class ControlServer {
public:
    int Create(std::string_view mapName, std::string_view eventName);
    // Waits for the next command; 0 and the text in `command`, 258 on a finite time-out.
    int Wait(std::string* command, uint32_t timeoutMs = qm::platform::kInfinite);
    // Wakes the sender waiting on the command just handled.
    int Acknowledge() { return event_.Set(); }
    void Close();

private:
    ControlMap map_;
    NamedEvent event_;
};

}  // namespace qm::ipc
