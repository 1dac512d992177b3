// qmntf: registers notice receivers and device watches in the notification database, starts
// the notification service Qntfmgr and sends it commands through its control block. This is
// the program outside the services that the receivers' owners and administrators use.
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QNTFDB.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/platform/paths.h"
#include "qm/platform/process.h"
#include "qm/platform/tool_options.h"
#ifdef QM_WITH_CONFDB
#include "qmdbmgr.h"
#endif

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
    "  watch KEY...                  watch devices for logging: makes one \"DV\", \"PR\" and\n"
    "                                \"CS\" handle, watches every KEY with them and writes them as\n"
    "                                the devices' log handles; prints the three handles\n"
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

// A device argument of the database: identity parts, the record flag (the receiver's level)
// and the companion text.
struct DeviceArg {
    std::string part[7];
    const char* ptr[7];
};

bool ParseKey(const std::string& key, const std::string& flag, const std::string& text, DeviceArg* d) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t semi = key.find(';', start);
        f.push_back(key.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        if (semi == std::string::npos) break;
        start = semi + 1;
    }
    if (f.size() != 5 || f[1].empty()) return false;
    static constexpr size_t kWidth[5] = {11, 15, 23, 15, 7};
    for (int i = 0; i < 5; ++i)
        if (f[i].size() > kWidth[i]) return false;
    if (f[4].empty()) f[4] = "1";
    for (int i = 0; i < 5; ++i) d->part[i] = f[i];
    d->part[5] = flag;
    d->part[6] = text;
    for (int i = 0; i < 7; ++i) d->ptr[i] = d->part[i].c_str();
    return true;
}

// A handle of `kind` from the counter, short enough for the control block: the counter's low
// digits in base 36 (they repeat only after about two years of seconds).
std::string MakeHandle(const char* kind, int counter) {
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    unsigned v = static_cast<unsigned>(counter);
    std::string digits(5, '0');
    for (int i = 4; i >= 0; --i) {
        digits[i] = kDigits[v % 36];
        v /= 36;
    }
    return std::string(kind) + digits;
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

// The sender's side of the block: the command and the handle text, then the event, then the
// wait for the service's acknowledgement.
int SendCommand(const std::string& command, const std::string& handle, int seconds) {
    if (handle.size() > kMaxBlockHandle) {
        std::fprintf(stderr, "qmntf: handle %s does not fit the command block (at most %zu characters)\n",
                     handle.c_str(), kMaxBlockHandle);
        return kExitFailure;
    }
    ipc::NamedEvent event;
    if (event.Create(ipc::kNotifierEvent, true) != 0) {
        std::fprintf(stderr, "qmntf: the service's event cannot be opened\n");
        return kExitFailure;
    }
    ipc::ControlMap map;
    if (map.Open(ipc::kNotifierMap) != 0) {
        event.Close();
        std::fprintf(stderr, "qmntf: Qntfmgr is not running\n");
        return kExitFailure;
    }
    int rc = map.Put(command);
    if (rc == 0 && !handle.empty()) rc = map.Put(handle);
    if (rc == 0) rc = event.Set();
    map.Close();
    if (rc == 0) rc = event.Wait(static_cast<uint32_t>(seconds) * 1000);
    event.Close();
    if (rc != 0) {
        std::fprintf(stderr, "qmntf: Qntfmgr did not acknowledge command %s (%d)\n", command.c_str(), rc);
        return kExitFailure;
    }
    return kExitOk;
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
    char notice[NTFDB_NOTICE_SIZE] = {};
    const std::string& address = args[1];
    int port = 0;
    in_addr parsed;
    if (address.size() > 15 || inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        std::fprintf(stderr, "qmntf: %s is not a dotted IPv4 address\n", address.c_str());
        return qm::platform::kExitUsage;
    }
    if (!ParseInt(args[2].c_str(), 1, 65535, &port)) {
        std::fprintf(stderr, "qmntf: %s is not a UDP port\n", args[2].c_str());
        return qm::platform::kExitUsage;
    }
    std::vector<DeviceArg> devices(args.size() - 3);
    for (size_t i = 3; i < args.size(); ++i) {
        if (!ParseKey(args[i], std::to_string(o.level), o.text, &devices[i - 3])) {
            std::fprintf(stderr, "qmntf: %s is not a device key \"type;ip;ipx;mac;index\"\n", args[i].c_str());
            return qm::platform::kExitUsage;
        }
    }
    Database db;
    if (!db.ok()) {
        std::fprintf(stderr, "qmntf: the notification database cannot be opened\n");
        return kExitFailure;
    }
    const int counter = DBGetHandleCounter();
    if (counter < 0) {
        std::fprintf(stderr, "qmntf: no handle number from the database\n");
        return kExitFailure;
    }
    const std::string handle = MakeHandle("DV", counter);
    std::memcpy(notice, address.data(), address.size());
    const int32_t number = port;
    std::memcpy(notice + 196, &number, 4);
    if (DBSetHandleNotice(handle.c_str(), notice) != 0) {
        std::fprintf(stderr, "qmntf: the receiver %s:%d cannot be registered\n", address.c_str(), port);
        return kExitFailure;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (DBSetHandleSend(handle.c_str(), devices[i].ptr, o.interval) != 0) {
            std::fprintf(stderr, "qmntf: device %s not added (already registered?)\n", args[i + 3].c_str());
            DBDeleteNotice(handle.c_str());
            return kExitFailure;
        }
    }
    std::printf("%s\n", handle.c_str());
    return kExitOk;
}

int Watch(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        std::fprintf(stderr, "qmntf: watch needs at least one device key (see --help)\n");
        return qm::platform::kExitUsage;
    }
    std::vector<DeviceArg> devices(args.size() - 1);
    for (size_t i = 1; i < args.size(); ++i) {
        if (!ParseKey(args[i], "0", "", &devices[i - 1])) {
            std::fprintf(stderr, "qmntf: %s is not a device key \"type;ip;ipx;mac;index\"\n", args[i].c_str());
            return qm::platform::kExitUsage;
        }
    }
    Database db;
    if (!db.ok()) {
        std::fprintf(stderr, "qmntf: the notification database cannot be opened\n");
        return kExitFailure;
    }
    const int counter = DBGetHandleCounter();
    if (counter < 0) return kExitFailure;
    const std::string handles[3] = {MakeHandle("DV", counter), MakeHandle("PR", counter),
                                    MakeHandle("CS", counter)};
    for (const auto& h : handles) {
        for (size_t i = 0; i < devices.size(); ++i) {
            if (DBSetHandleDevice(h.c_str(), devices[i].ptr) != 0) {
                std::fprintf(stderr, "qmntf: %s cannot watch %s\n", h.c_str(), args[i + 1].c_str());
                return kExitFailure;
            }
        }
    }
#ifdef QM_WITH_CONFDB
    // The device log pages find the logs through these items of the device records. The
    // configuration database lies in "..\conf\" seen from bin/, whatever folder the tool was
    // called from; and a write would create a device that is not there, so a watch of a
    // printer the pages do not know leaves the configuration database alone.
    const std::string bin = qm::platform::RootPath("bin");
    if (chdir(bin.c_str()) != 0) {
        std::fprintf(stderr, "qmntf: no folder %s: log handles not written\n", bin.c_str());
    } else if (DBMgrInitialize() != 0) {
        std::fprintf(stderr, "qmntf: the configuration database cannot be opened: log handles not written\n");
    } else {
        static const char* kItems[3] = {"DEV_ErrorLogHandle", "DEV_PrintLogHandle", "DEV_ConsLogHandle"};
        for (size_t i = 1; i < args.size(); ++i) {
            char known[512] = {};
            if (DBReadDeviceInfo(args[i].c_str(), "DEV_DeviceKey", known) != 0 || known[0] == '\0') {
                std::fprintf(stderr, "qmntf: %s is not in the configuration database: log handles not written\n",
                             args[i].c_str());
                continue;
            }
            for (int k = 0; k < 3; ++k)
                if (DBWriteDeviceInfo(args[i].c_str(), kItems[k], handles[k].c_str()) != 0)
                    std::fprintf(stderr, "qmntf: %s: %s not written\n", args[i].c_str(), kItems[k]);
        }
        DBMgrRelease();
    }
#endif
    for (const auto& h : handles) std::printf("%s\n", h.c_str());
    return kExitOk;
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
    if (cmd == "watch") return Watch(args);
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
        if (!db.ok() || DBDeleteNotice(handle->c_str()) != 0) {
            std::fprintf(stderr, "qmntf: %s is not a registered receiver\n", handle->c_str());
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
        if (cmd != "end") {
            if (int rc = StartService(o.waitSeconds); rc != 0) return rc;
        }
        return SendCommand(cmd == "start" ? "1" : cmd == "bye" ? "2" : "8", *handle, o.waitSeconds);
    }
    return options.Usage("unknown command " + cmd);
}
