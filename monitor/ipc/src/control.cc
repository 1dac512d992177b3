// Both ends of a service's control channel.
#include "qm/ipc/control.h"

namespace qm::ipc {

int SendControlCommand(std::string_view mapName, std::string_view eventName,
                       std::string_view command, uint32_t timeoutMs) {
    NamedEvent event;
    // Signalled when the sender makes it first; a running service has made it already, so the
    // initial state only matters when nobody is there, and then the open of the block fails.
    if (event.Create(eventName, true) != 0) return kControlFailed;
    ControlMap map;
    if (map.Open(mapName) != 0) {
        return event.Close() != 0 ? kControlCloseFailed : kControlNoService;
    }
    if (map.Put(command) != 0) {
        map.Close();
        event.Close();
        return kControlFailed;
    }
    if (event.Set() != 0) {
        map.Close();
        event.Close();
        return kControlFailed;
    }
    if (map.Close() != 0) {
        event.Close();
        return kControlCloseFailed;
    }
    int waited = event.Wait(timeoutMs);
    if (event.Close() != 0) return kControlCloseFailed;
    return waited == 0 ? kControlOk : kControlFailed;
}

int ControlServer::Create(std::string_view mapName, std::string_view eventName) {
    if (int rc = event_.Create(eventName, false); rc != 0) return rc;
    if (int rc = map_.Create(mapName); rc != 0) {
        event_.Close();
        return rc;
    }
    return 0;
}

int ControlServer::Wait(std::string* command, uint32_t timeoutMs) {
    if (int rc = event_.Wait(timeoutMs); rc != 0) return rc;
    map_.Rewind();
    *command = map_.Next();
    map_.Rewind();
    return 0;
}

void ControlServer::Close() {
    map_.Close();
    event_.Close();
}

}  // namespace qm::ipc
