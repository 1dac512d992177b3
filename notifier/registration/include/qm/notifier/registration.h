// Watching printers for their logs, and the receivers of notices: the steps qmntf takes and
// the management pages take alike, so that what either place registers is registered the same
// way.
//
// A watch is three handles of the notification database ("DV" alerts, "PR" print counters,
// "CS" consumables) that each watch the device, and the same three handles kept in the
// device's record of the configuration database (DEV_ErrorLogHandle, DEV_PrintLogHandle,
// DEV_ConsLogHandle), where the log pages find the logs. DEV_ErrorLog, DEV_PrintLog and
// DEV_ConsumLog say "START" while the device is watched and "END" once it no longer is.
// Stopping ends the three watches; the notification database drops a device's log with its
// last watcher. The handles stay in the device record, so a later watch writes under the same
// names again.
//
// Callers have started both databases in their process and thread: DBInitialize (or
// DBInitialize2) of QNTFDB and DBMgrInitialize of qmdbmgr.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace qm::notifier {

// The seven texts a device argument of the notification database is made of: identity parts
// 1 to 5 of the device key "type;IP;IPX;MAC;index", the record flag and the companion text.
struct DeviceArg {
    std::string part[7];
    const char* ptr[7] = {};
};

// False for a key that is not five ";"-separated fields with an IP address, or whose fields
// do not fit the database's identity parts (11, 15, 23, 15, 7 characters).
bool ParseDeviceKey(const std::string& key, const std::string& flag, const std::string& text, DeviceArg* out);

// A handle of `kind` ("DV", "PR", "CS", ...) from the database's handle counter, short enough
// for the notification service's command block: two letters and five base-36 digits.
std::string MakeHandle(const char* kind, int counter);

using WatchHandles = std::array<std::string, 3>;  // DV, PR, CS
inline constexpr const char* kLogHandleItems[3] = {"DEV_ErrorLogHandle", "DEV_PrintLogHandle", "DEV_ConsLogHandle"};
inline constexpr const char* kLogStateItems[3] = {"DEV_ErrorLog", "DEV_PrintLog", "DEV_ConsumLog"};

// Watches every key with `handles`; empty handles are first made from the handle counter.
// 0, or -1 with `error` saying what failed (a key that is not a device key: -2).
int WatchDevices(const std::vector<std::string>& keys, WatchHandles* handles, std::string* error);

// The handles kept in the device's record (empty texts when it has none). 0, or -1.
int ReadDeviceWatch(const std::string& key, WatchHandles* handles, bool* watched);

// Watches one device for the management pages: its own handles when its record has them,
// else new ones, which are then written to its record with the state "START". 0; -2 for a key
// that is not a device key; -1 with `error` for a database failure.
int WatchDevice(const std::string& key, WatchHandles* handles, std::string* error);

// Ends the watches of the device's handles and sets its state to "END". A device that was not
// watched is no failure. 0; -2 for a key that is not a device key; -1 with `error`.
int UnwatchDevice(const std::string& key, std::string* error);

// ---- Receivers of notices -------------------------------------------------------------
//
// A receiver is a "DV" handle of the notification database with a notice destination (an
// IPv4 address and a UDP port) and one send record per device it is told about. A destination
// belongs to one receiver: registering an address and port that another receiver has replaces
// that receiver.

struct ReceiverRequest {
    std::string address;  // dotted IPv4
    int port = 0;         // 1..65535
    int level = 0;        // one digit: 0 all alerts, 1 critical and warning, 2 critical, 3 for field service
    int interval = 60;    // notification interval, seconds (1 .. one year)
    std::string text;     // sent with each notice: at most 67 characters, no comma or control
    std::vector<std::string> keys;  // at least one device key
};

struct Receiver {
    std::string handle;
    std::string address;
    int port = 0;
};

// Why a request cannot be registered (empty when it can).
std::string CheckReceiver(const ReceiverRequest& request);

// Registers the receiver under a new handle, written to `handle`. 0; -2 with `error` for a
// request CheckReceiver refuses; -1 with `error` for a database failure, after which nothing
// of the receiver stays registered.
int RegisterReceiver(const ReceiverRequest& request, std::string* handle, std::string* error);

// Removes the receiver and its send records. 0; -2 for a text that cannot be a handle; -4 when
// no receiver has that handle; -1 with `error` for a database failure.
int UnregisterReceiver(const std::string& handle, std::string* error);

// Every registered receiver in handle order. 0, or -1 with `error`.
int ListReceivers(std::vector<Receiver>* out, std::string* error);

}  // namespace qm::notifier
