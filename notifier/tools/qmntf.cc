// qmntf: registers notice receivers and device watches in the notification database, starts
// the notification service Qntfmgr and sends it commands through its control block. This is
// the program outside the services that the receivers' owners and administrators use.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "QNTFDB.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/platform/paths.h"
#include "qm/platform/process.h"
#include "qm/platform/tool_options.h"
#include "qm/notifier/registration.h"
#include "qmdbmgr.h"

namespace {

namespace ipc = qm::ipc;
using qm::platform::kExitFailure;
using qm::platform::kExitOk;

constexpr char kUsage[] =
    "Usage: qmntf [options] COMMAND [ARGS]\n"
    "Registers notice receivers and device watches in the notification database and drives\n"
    "the notification service Qntfmgr.\n"
    "Commands:\n"
    "  register ADDRESS PORT KEY...  register a receiver listening on ADDRESS:PORT (UDP) for\n"
    "                                the devices KEY (\"type;ip;ipx;mac;index\"); prints its handle\n"
    "  start HANDLE                  start Qntfmgr when it is not running and start delivering\n"
    "                                to HANDLE (command 1: backlog first, then new notices)\n"
    "  bye HANDLE                    deliver only the end notice to HANDLE (command 2)\n"
    "  end HANDLE                    stop delivering to HANDLE, without goodbye (command 8)\n"
    "  stop                          stop Qntfmgr after every receiver got its goodbye (9)\n"
    "  unregister HANDLE             remove the receiver and its send records\n"
    "  receivers                     list the receivers: handle, address and port per line\n"
    "  watch KEY...                  watch devices for logging: makes one \"DV\", \"PR\" and\n"
    "                                \"CS\" handle, watches every KEY with them and writes them as\n"
    "                                the devices' log handles; prints the three handles\n"
    "  unwatch KEY...                stop watching devices: ends the watches of the handles their\n"
    "                                records name and sets their log state to END\n"
    "  keepalive HANDLE...           mark watch handles as read (survive the next sweep)\n"
    "  sweep                         delete watch handles not kept alive since the last sweep\n"
    "  status                        tell whether Qntfmgr runs\n"
    "Options:\n"
    "  --level N      notice level of register: 0 all alerts, 1 critical and warning,\n"
    "                 2 critical, 3 critical for field service (default 0)\n"
    "  --interval S   notification interval of register, seconds (default 60)\n"
    "  --text TEXT    the receiver's own text sent with each notice (at most 67 characters,\n"
    "                 no comma)\n"
    "  --wait S       how long start/stop wait for the service (default 30)\n"
    "  --root DIR     installation root (default: $QM_ROOT, else the parent of bin/)\n"
    "  -h, --help     this text\n"
    "Handles fit the 10-byte control block: two kind letters and at most five more.\n";

constexpr size_t kMaxBlockHandle = 7;  // "1" NUL handle NUL in 10 bytes

struct Options {
    int level = 0;
    int interval = 60;
    int waitSeconds = 30;
    std::string text;
};

bool ParseInt(const char* s, int low, int high, int* out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end || v < low || v > high) return false;
    *out = static_cast<int>(v);
    return true;
}

using qm::notifier::DeviceArg;

bool ParseKey(const std::string& key, const std::string& flag, const std::string& text, DeviceArg* d) {
    return qm::notifier::ParseDeviceKey(key, flag, text, d);
}

using qm::notifier::MakeHandle;

// The configuration database lives in "..\conf\" seen from bin/, as for every program of the
// suite; device records written from anywhere else would land beside the caller.
bool EnterBin() {
    const std::string bin = qm::platform::RootPath("bin");
    if (chdir(bin.c_str()) == 0) return true;
    std::fprintf(stderr, "qmntf: no folder %s\n", bin.c_str());
    return false;
}

bool ServiceRuns() {
    ipc::NamedMutex served;
    return served.Open(ipc::kNotifierMutex) == 0;
}

bool WaitFor(bool wantRunning, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (ServiceRuns() != wantRunning) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// What became of a command sent through the block.
enum class Delivery { Acknowledged, Failed, ServiceGone };

// Waits for the service's acknowledgement in short slices, looking between them whether the
// service still exists. A service killed a moment ago can still look present while its last
// threads end (its objects are released only then); a command sent to it is never answered,
// and waiting out the whole time-out for that would only delay the start of a fresh one.
Delivery AwaitAcknowledgement(ipc::NamedEvent& event, int seconds, int* rc) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    constexpr auto kSlice = std::chrono::milliseconds(200);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        *rc = event.Wait(static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 0, kSlice.count())));
        if (*rc == 0) return Delivery::Acknowledged;
        if (*rc != qm::platform::kWaitTimeout) return Delivery::Failed;
        // An acknowledgement given just before the service ended is still in the event.
        if (!ServiceRuns()) return event.Wait(0) == 0 ? Delivery::Acknowledged : Delivery::ServiceGone;
        if (Clock::now() >= end) return Delivery::Failed;
    }
}

// The sender's side of the block: the command and the handle text, then the event, then the
// wait for the service's acknowledgement.
Delivery Send(const std::string& command, const std::string& handle, int seconds) {
    if (handle.size() > kMaxBlockHandle) {
        std::fprintf(stderr, "qmntf: handle %s does not fit the command block (at most %zu characters)\n",
                     handle.c_str(), kMaxBlockHandle);
        return Delivery::Failed;
    }
    ipc::NamedEvent event;
    if (event.Create(ipc::kNotifierEvent, true) != 0) {
        std::fprintf(stderr, "qmntf: the service's event cannot be opened\n");
        return Delivery::Failed;
    }
    ipc::ControlMap map;
    if (map.Open(ipc::kNotifierMap) != 0) {
        event.Close();
        std::fprintf(stderr, "qmntf: Qntfmgr is not running\n");
        return Delivery::ServiceGone;
    }
    int rc = map.Put(command);
    if (rc == 0 && !handle.empty()) rc = map.Put(handle);
    if (rc == 0) rc = event.Set();
    map.Close();
    Delivery result = rc == 0 ? AwaitAcknowledgement(event, seconds, &rc) : Delivery::Failed;
    // Closed before anything is started again: an event nobody holds is made afresh by the next
    // service, without the signal given here.
    event.Close();
    if (result == Delivery::ServiceGone) {
        std::fprintf(stderr, "qmntf: Qntfmgr ended before it acknowledged command %s\n", command.c_str());
    } else if (result == Delivery::Failed) {
        std::fprintf(stderr, "qmntf: Qntfmgr did not acknowledge command %s (%d)\n", command.c_str(), rc);
    }
    return result;
}

int SendCommand(const std::string& command, const std::string& handle, int seconds) {
    return Send(command, handle, seconds) == Delivery::Acknowledged ? kExitOk : kExitFailure;
}

int StartService(int seconds) {
    if (ServiceRuns()) return kExitOk;
    const std::string bin = qm::platform::InstallRoot() + "/bin";
    // Installed, the service lies beside this tool in sbin/; in a build tree both are in bin/.
    std::string self = qm::platform::ExecutablePath();
    std::string program = self.substr(0, self.rfind('/') + 1) + "Qntfmgr";
    if (self.empty() || access(program.c_str(), X_OK) != 0)
        program = qm::platform::InstallRoot() + "/sbin/Qntfmgr";
    // The service finds the database through the parent of its current folder.
    int rc = qm::platform::StartDetached({program}, bin);
    if (rc != 0) {
        std::fprintf(stderr, "qmntf: %s cannot be started (%d)\n", program.c_str(), rc);
        return kExitFailure;
    }
    if (!WaitFor(true, seconds)) {
        std::fprintf(stderr, "qmntf: Qntfmgr did not come up within %d s (see log/)\n", seconds);
        return kExitFailure;
    }
    return kExitOk;
}

class Database {
public:
    Database() { ok_ = DBInitialize(qm::platform::InstallRoot().c_str()) == 0; }
    ~Database() {
        if (ok_) DBRelease();
    }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

int Register(const Options& o, const std::vector<std::string>& args) {
    if (args.size() < 4) {
        std::fprintf(stderr, "qmntf: register needs ADDRESS PORT and at least one device key (see --help)\n");
        return qm::platform::kExitUsage;
    }
    qm::notifier::ReceiverRequest request;
    request.address = args[1];
    if (!ParseInt(args[2].c_str(), 1, 65535, &request.port)) {
        std::fprintf(stderr, "qmntf: %s is not a UDP port\n", args[2].c_str());
        return qm::platform::kExitUsage;
    }
    request.level = o.level;
    request.interval = o.interval;
    request.text = o.text;
    request.keys.assign(args.begin() + 3, args.end());
    if (std::string why = qm::notifier::CheckReceiver(request); !why.empty()) {
        std::fprintf(stderr, "qmntf: %s\n", why.c_str());
        return qm::platform::kExitUsage;
    }
    Database db;
    if (!db.ok()) {
        std::fprintf(stderr, "qmntf: the notification database cannot be opened\n");
        return kExitFailure;
    }
    std::string handle, error;
    if (qm::notifier::RegisterReceiver(request, &handle, &error) != 0) {
        std::fprintf(stderr, "qmntf: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("%s\n", handle.c_str());
    return kExitOk;
}

int Receivers() {
    Database db;
    std::vector<qm::notifier::Receiver> list;
    std::string error;
    if (!db.ok() || qm::notifier::ListReceivers(&list, &error) != 0) {
        std::fprintf(stderr, "qmntf: the receivers cannot be read\n");
        return kExitFailure;
    }
    for (const auto& r : list) std::printf("%s %s %d\n", r.handle.c_str(), r.address.c_str(), r.port);
    return kExitOk;
}

// A device the pages know: registered by a discovery (a member of All Devices) or given a
// record of its own.
bool KnownDevice(const std::string& key) {
    char known[512] = {};
    if (DBReadDeviceInfo(key.c_str(), "DEV_DeviceKey", known) == 0 && known[0] != '\0') return true;
    DBHANDLE h = DBOpenDeviceKeyInGroup(nullptr);
    if (h == DB_NO_HANDLE) return false;
    bool found = false;
    for (;;) {
        char* member = nullptr;
        int length = 0;
        if (DBReadDeviceKeyInGroup(h, &member, &length) != 0 || length == 0 || !member) break;
        if (key == std::string_view(member, static_cast<size_t>(length))) {
            found = true;
            break;
        }
    }
    DBCloseDeviceKeyInGroup(h);
    return found;
}

int Watch(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        std::fprintf(stderr, "qmntf: watch needs at least one device key (see --help)\n");
        return qm::platform::kExitUsage;
    }
    const std::vector<std::string> keys(args.begin() + 1, args.end());
    for (const auto& k : keys) {
        DeviceArg d;
        if (!ParseKey(k, "0", "", &d)) {
            std::fprintf(stderr, "qmntf: %s is not a device key \"type;ip;ipx;mac;index\"\n", k.c_str());
            return qm::platform::kExitUsage;
        }
    }
    Database db;
    if (!db.ok()) {
        std::fprintf(stderr, "qmntf: the notification database cannot be opened\n");
        return kExitFailure;
    }
    qm::notifier::WatchHandles handles;
    std::string error;
    if (qm::notifier::WatchDevices(keys, &handles, &error) != 0) {
        std::fprintf(stderr, "qmntf: %s\n", error.c_str());
        return kExitFailure;
    }
    // The device log pages find the logs through these items of the device records. A write
    // would create a device that is not there, so a watch of a printer the pages do not know
    // leaves the configuration database alone.
    if (EnterBin() && DBMgrInitialize() == 0) {
        for (const auto& k : keys) {
            if (!KnownDevice(k)) {
                std::fprintf(stderr, "qmntf: %s is not in the configuration database: log handles not written\n",
                             k.c_str());
                continue;
            }
            for (int i = 0; i < 3; ++i)
                if (DBWriteDeviceInfo(k.c_str(), qm::notifier::kLogHandleItems[i], handles[static_cast<size_t>(i)].c_str()) != 0 ||
                    DBWriteDeviceInfo(k.c_str(), qm::notifier::kLogStateItems[i], "START") != 0)
                    std::fprintf(stderr, "qmntf: %s: %s not written\n", k.c_str(), qm::notifier::kLogHandleItems[i]);
        }
        DBMgrRelease();
    }
    for (const auto& h : handles) std::printf("%s\n", h.c_str());
    return kExitOk;
}

// Ends the watches that the device records name (written by watch or by the pages).
int Unwatch(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        std::fprintf(stderr, "qmntf: unwatch needs at least one device key (see --help)\n");
        return qm::platform::kExitUsage;
    }
    Database db;
    if (!db.ok() || !EnterBin() || DBMgrInitialize() != 0) {
        std::fprintf(stderr, "qmntf: the databases cannot be opened\n");
        return kExitFailure;
    }
    int result = kExitOk;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string error;
        int r = qm::notifier::UnwatchDevice(args[i], &error);
        if (r != 0) {
            std::fprintf(stderr, "qmntf: %s\n", error.c_str());
            result = r == -2 ? qm::platform::kExitUsage : kExitFailure;
        }
    }
    DBMgrRelease();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    qm::platform::ToolOptions options("qmntf", kUsage);
    options.Value("level", [&](const char* v) { return ParseInt(v, 0, 9, &o.level); })
        .Value("interval", [&](const char* v) { return ParseInt(v, 1, 86400 * 365, &o.interval); })
        .Value("wait", [&](const char* v) { return ParseInt(v, 1, 3600, &o.waitSeconds); })
        .Value("text", [&](const char* v) {
            o.text = v;
            return o.text.size() <= 67 && o.text.find(',') == std::string::npos;
        });
    if (auto code = options.Parse(argc, argv)) return *code;
    const auto& args = options.operands();
    if (args.empty()) return options.UsageText();
    const std::string& cmd = args[0];
    auto needHandle = [&](const char* what) -> const std::string* {
        if (args.size() != 2) return nullptr;
        (void)what;
        return &args[1];
    };

    if (cmd == "register") return Register(o, args);
    if (cmd == "receivers") {
        if (args.size() != 1) return options.Usage("receivers takes no operand");
        return Receivers();
    }
    if (cmd == "watch") return Watch(args);
    if (cmd == "unwatch") return Unwatch(args);
    if (cmd == "status") {
        std::printf("%s\n", ServiceRuns() ? "running" : "not running");
        return ServiceRuns() ? kExitOk : kExitFailure;
    }
    if (cmd == "stop") {
        if (args.size() != 1) return options.Usage("stop takes no operand");
        if (!ServiceRuns()) {
            std::fprintf(stderr, "qmntf: Qntfmgr is not running\n");
            return kExitFailure;
        }
        if (int rc = SendCommand(ipc::kCmdStop, "", o.waitSeconds); rc != 0) return rc;
        if (!WaitFor(false, o.waitSeconds)) {
            std::fprintf(stderr, "qmntf: Qntfmgr still runs after %d s\n", o.waitSeconds);
            return kExitFailure;
        }
        return kExitOk;
    }
    if (cmd == "sweep") {
        if (args.size() != 1) return options.Usage("sweep takes no operand");
        Database db;
        int rc = db.ok() ? DBEndHandle() : -1;
        if (rc != 0) std::fprintf(stderr, "qmntf: sweep failed (%d)\n", rc);
        return rc == 0 ? kExitOk : kExitFailure;
    }
    if (cmd == "keepalive") {
        if (args.size() < 2) return options.Usage("keepalive needs a handle");
        Database db;
        int result = db.ok() ? kExitOk : kExitFailure;
        for (size_t i = 1; db.ok() && i < args.size(); ++i) {
            if (DBReadHandle(args[i].c_str()) != 0) {
                std::fprintf(stderr, "qmntf: %s watches nothing\n", args[i].c_str());
                result = kExitFailure;
            }
        }
        return result;
    }
    const std::string* handle = needHandle(cmd.c_str());
    if (cmd == "unregister") {
        if (!handle) return options.Usage("unregister needs one handle");
        Database db;
        std::string error;
        if (!db.ok() || qm::notifier::UnregisterReceiver(*handle, &error) != 0) {
            std::fprintf(stderr, "qmntf: %s\n", db.ok() ? error.c_str() : "the notification database cannot be opened");
            return kExitFailure;
        }
        return kExitOk;
    }
    if (cmd == "start" || cmd == "bye" || cmd == "end") {
        if (!handle) return options.Usage(cmd + " needs one handle");
        if (handle->size() > kMaxBlockHandle) {
            std::fprintf(stderr, "qmntf: handle %s does not fit the command block (at most %zu characters)\n",
                         handle->c_str(), kMaxBlockHandle);
            return kExitFailure;
        }
        const std::string command = cmd == "start" ? "1" : cmd == "bye" ? "2" : "8";
        if (cmd == "end") return SendCommand(command, *handle, o.waitSeconds);
        // A service found ending (killed, or stopped by someone else) is started afresh once.
        for (int attempt = 0;; ++attempt) {
            if (int rc = StartService(o.waitSeconds); rc != 0) return rc;
            const Delivery d = Send(command, *handle, o.waitSeconds);
            if (d == Delivery::Acknowledged) return kExitOk;
            if (d == Delivery::Failed || attempt == 1) return kExitFailure;
            std::fprintf(stderr, "qmntf: starting Qntfmgr again\n");
        }
    }
    return options.Usage("unknown command " + cmd);
}
