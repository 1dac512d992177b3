// The monitor's threads. A stop reaches every thread wherever it waits: sleepers wake on the
// run state, the mailslot thread gets "9" in its own slot, the trap socket is shut down, and
// the running printer polls are waited for before the database is released.
#include "monitor.h"

#include <netdb.h>
#include <unistd.h>

#include "maintenance.h"
#include "qm/ipc/control.h"
#include "qm/ipc/names.h"
#include "qm/ipc/settings.h"
#include "qm/platform/clock.h"
#include "qm/platform/paths.h"
#include "QBUtil.h"

namespace qm::monitor {

namespace ipc = qm::ipc;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

#define MON_TRACE(level, ...) QbTrace(level, "QMONMGR", __LINE__, __VA_ARGS__)

MonitorConfig ReadMonitorConfig() {
    MonitorConfig c;
    ipc::RegistryValue v;
    if (v.Read(ipc::kSetupKey, "InstallPath") == 0 && !v.text().empty()) {
        c.installFolder = qm::platform::ToPosixPath(v.text());
    } else {
        // An installation that was never registered still knows where it lies.
        c.installFolder = qm::platform::InstallRoot();
    }
    const std::string ini = c.installFolder + "/bin/" + ipc::kProfileFile;
    c.dbFolder = c.installFolder + "/" +
                 qm::platform::ToPosixPath(ipc::ProfileText("QWM_DBConf", "DBPath", "ntf", ini));
    c.maintenanceSeconds = MaintenanceIntervalSeconds();
    const long port = ipc::RegistryNumber(ipc::kMonitorKey, "TrapPort", 162, true);
    c.trapPort = (port > 0 && port < 65536) ? static_cast<int>(port) : 162;
    return c;
}

namespace {

struct WorkerArgs {
    class Monitor* monitor;
    PollContext ctx;
    bool fromTrap;
    std::string sender;
};

}  // namespace

Monitor::Monitor(const NtfDbApi& db, MonitorConfig config) : db_(db), config_(std::move(config)) {}

Monitor::~Monitor() {
    for (auto* t : {&control_, &polling_, &trapThread_, &mailslot_}) {
        if (t->joinable()) t->join();
    }
}

int Monitor::Run() {
    int rc = db_.DBInitialize(config_.installFolder.c_str());
    if (rc != 0) {
        MON_TRACE(QB_TRACE_ERROR, "QMONMGR: DBInitialize failed (%d)", rc);
        return rc;
    }
    control_ = std::thread([this] { ControlThread(); });
    polling_ = std::thread([this] { PollingThread(); });
    trapThread_ = std::thread([this] { TrapThread(); });
    mailslot_ = std::thread([this] { MailslotThread(); });
    for (auto* t : {&control_, &polling_, &trapThread_, &mailslot_}) t->join();
    WaitForWorkers();
    return db_.DBRelease();
}

void Monitor::RequestStop() {
    if (stopRequested_.exchange(true)) return;
    // The same path as any other sender of "9", so the control thread ends its loop too.
    if (controlReady_.load() &&
        ipc::SendControlCommand(ipc::kMonitorControlMap, ipc::kMonitorControlEvent, ipc::kCmdStop,
                                30000) == 0) {
        return;
    }
    ipc::NamedMutex logging;
    logging.Create(ipc::kMonitorLogging);
    Stop(logging);
}

void Monitor::ControlThread() {
    ipc::ControlServer server;
    ipc::NamedMutex running, logging;
    if (server.Create(ipc::kMonitorControlMap, ipc::kMonitorControlEvent) != 0) {
        MON_TRACE(QB_TRACE_ERROR, "QMONMGR: control block cannot be created");
        return;
    }
    int rc = running.Create(ipc::kMonitorMutex);
    if (rc != 0 && rc != qm::platform::kErrAlreadyExists) {
        server.Close();
        return;
    }
    rc = logging.Create(ipc::kMonitorLogging);
    if (rc != 0 && rc != qm::platform::kErrAlreadyExists) return;
    controlReady_.store(true);
    std::string cmd;
    while (server.Wait(&cmd) == 0) {
        if (cmd == ipc::kCmdPause) {
            state_.Pause();
        } else if (cmd == ipc::kCmdContinue) {
            ipc::MutexLock l(logging);
            state_.set(kContinued);
            state_.Continue();
        } else if (cmd == ipc::kCmdReload) {
            ipc::MutexLock l(logging);
            state_.set(kReload);
        } else if (cmd == ipc::kCmdStop) {
            stopRequested_.store(true);
            Stop(logging);
            server.Acknowledge();
            break;
        }
        std::this_thread::yield();
        if (server.Acknowledge() != 0) break;
    }
    server.Close();
}

void Monitor::Stop(ipc::NamedMutex& logging) {
    {
        ipc::MutexLock l(logging);
        state_.set(kStopping);
    }
    state_.Continue();
    if (mailslotRunning_.load()) ipc::PostMessage(ipc::kMonitorSlot, ipc::kMsgMonitorStop);
    trap_.Shutdown();
}

int Monitor::MailslotThread() {
    if (state_.stopping()) return 0;
    ipc::MailslotReader slot;
    if (slot.Create(std::string("\\\\.\\MAILSLOT\\") + ipc::kMonitorSlot) != 0) {
        MON_TRACE(QB_TRACE_ERROR, "QMONMGR: mailslot cannot be created");
        return -1;
    }
    ipc::NamedMutex logging;
    logging.Create(ipc::kMonitorLogging);
    mailslotRunning_.store(true);
    for (;;) {
        if (state_.stopping()) return 0;
        if (slot.Receive() != 0) return -1;
        if (state_.stopping()) return 0;
        state_.Gate();
        if (slot.Text() == ipc::kMsgRebuildPolling) {
            ipc::MutexLock l(logging);
            state_.set(kReload);
        }
    }
}

int Monitor::PollingThread() {
    if (state_.stopping()) return 0;
    int rc = PollingLoop();
    if (rc < 0) {
        MON_TRACE(QB_TRACE_ERROR, "QMONMGR: polling ended with %d, stopping", rc);
        RequestStop();
        return -1;
    }
    return 0;
}

std::shared_ptr<PollingList> Monitor::Snapshot() const {
    std::lock_guard l(listMutex_);
    return list_;
}

int Monitor::PollingLoop() {
    ipc::NamedMutex ntfAct, logging;
    int rc = ntfAct.Create(ipc::kMonitorNtfAct);
    if (rc != 0 && rc != qm::platform::kErrAlreadyExists) return -1;
    logging.Create(ipc::kMonitorLogging);
    int64_t lastMaintenance = qm::platform::LocalSeconds();
    auto nextTick = Clock::now() + seconds(1);
    for (;;) {
        state_.Gate();
        int64_t now = qm::platform::LocalSeconds();
        if (now - lastMaintenance >= config_.maintenanceSeconds) {
            lastMaintenance = now;
            if (RunMaintenance(db_) != 0) return -1;
        }
        const int s = state_.get();
        if (s == kStopping) return 0;
        if (s == kContinued || s == kReload) {
            ipc::MutexLock l(logging);
            state_.set(kRunning);
            auto fresh = std::make_shared<PollingList>();
            rc = BuildPollingList(db_, fresh.get());
            if (rc != 0 && rc != kDbNoRecord) {
                MON_TRACE(QB_TRACE_ERROR, "QMONMGR: polling list cannot be read (%d)", rc);
                return 0;
            }
            if (auto old = Snapshot()) CarryPollTimes(*old, fresh.get());
            MON_TRACE(QB_TRACE_INFO, "QMONMGR: polling list of %zu printers", fresh->size());
            std::lock_guard g(listMutex_);
            list_ = std::move(fresh);
        }
        if (Clock::now() >= nextTick) {
            nextTick = std::max(nextTick + seconds(1), Clock::now());
            DueCheck(logging);
        }
        // Sleeps in the kernel until the next tick or a change of the run state: an idle
        // monitor wakes once a second.
        state_.SleepUntilChange(state_.get(), nextTick);
    }
}

void Monitor::DueCheck(ipc::NamedMutex& logging) {
    auto list = Snapshot();
    if (!list) return;
    for (auto& e : *list) {
        const int s = state_.get();
        if (s == kStopping || s == kContinued || s == kReload) return;
        const int64_t now = qm::platform::LocalSeconds();
        bool any = false;
        PollContext ctx;
        {
            ipc::MutexLock l(logging);
            e.due = {};
            if (e.enabled[kAlertLog] && now - e.alertTime >= e.interval[kAlertLog]) {
                e.due[kAlertLog] = true;
                e.alertTime = e.alertLogTime = now;
            }
            if (e.enabled[kSupplies] && now - e.suppliesTime >= e.interval[kSupplies]) {
                e.due[kSupplies] = true;
                e.suppliesTime = now;
            }
            if (e.enabled[kCounters] && now - e.countersTime >= e.interval[kCounters]) {
                e.due[kCounters] = true;
                e.countersTime = now;
            }
            if (e.enabled[kNotification] && now - e.alertTime >= e.interval[kNotification]) {
                e.due[kNotification] = true;
                e.alertTime = now;
            }
            for (bool d : e.due) any = any || d;
            ctx = ContextFromEntry(e);
        }
        if (!any) continue;
        { std::lock_guard wait(pollLock_); }  // no printer poll runs now
        if (!state_.SleepFor(seconds(1))) return;
        StartWorker(std::move(ctx), false);
        if (!state_.SleepFor(seconds(1))) return;
    }
}

void Monitor::StartWorker(PollContext ctx, bool fromTrap) {
    auto* args = new WorkerArgs{this, std::move(ctx), fromTrap, {}};
    if (fromTrap) args->sender = args->ctx.keys[1];
    {
        std::lock_guard l(workersMutex_);
        ++workers_;
    }
    if (db_.DBCreateThread(&Monitor::WorkerMain, args) != 0) {
        delete args;
        std::lock_guard l(workersMutex_);
        --workers_;
        workersDone_.notify_all();
    }
}

void Monitor::WorkerMain(void* argument) {
    std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(argument));
    Monitor& m = *args->monitor;
    PollHost host;
    host.db = &m.db_;
    host.notify = [](const char* message) {
        ipc::NamedMutex ntfAct;
        ntfAct.Create(ipc::kMonitorNtfAct);
        ipc::MutexLock l(ntfAct);
        ipc::PostMessage(ipc::kNotifierSlot, message);
    };
    if (!args->fromTrap) {
        std::lock_guard l(m.pollLock_);
        // One line per scheduled poll: with the trace on, an administrator sees how far the
        // monitor keeps its schedule (bench/monitor_fleet.sh reads these lines).
        const auto& due = args->ctx.due;
        MON_TRACE(QB_TRACE_INFO, "QMONMGR: poll of %s (alert log %d, supplies %d, counters %d, notification %d)",
                  args->ctx.keys[1].c_str(), due[kAlertLog] ? 1 : 0, due[kSupplies] ? 1 : 0,
                  due[kCounters] ? 1 : 0, due[kNotification] ? 1 : 0);
        if (!m.state_.stopping()) PollPrinter(host, args->ctx);
    } else if (auto list = m.Snapshot()) {
        // The first entry of the sender's address; its schedule is left as it is.
        for (const auto& e : *list) {
            if (e.keys[1].empty() || e.keys[1] != args->sender) continue;
            PollContext ctx = ContextFromEntry(e);
            ctx.alertTime = qm::platform::LocalSeconds();
            ctx.due = {};
            ctx.due[kAlertLog] = e.enabled[kAlertLog];
            ctx.due[kNotification] = e.enabled[kNotification];
            if (ctx.due[kAlertLog] || ctx.due[kNotification]) {
                std::lock_guard l(m.pollLock_);
                MON_TRACE(QB_TRACE_INFO, "QMONMGR: trap poll of %s", args->sender.c_str());
                if (m.state_.SleepFor(seconds(1))) {
                    PollPrinter(host, ctx);
                    m.state_.SleepFor(seconds(1));
                }
            }
            break;
        }
    }
    m.db_.DBExitThread();
    std::lock_guard l(m.workersMutex_);
    if (--m.workers_ == 0) m.workersDone_.notify_all();
}

void Monitor::WaitForWorkers() {
    std::unique_lock l(workersMutex_);
    workersDone_.wait(l, [&] { return workers_ == 0; });
}

int Monitor::TrapThread() {
    std::string error;
    if (trap_.Open(config_.trapPort, &error) != 0) {
        MON_TRACE(QB_TRACE_ERROR, "QMONMGR: no traps: %s", error.c_str());
        return -1;
    }
    char host[256] = {};
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    if (::gethostname(host, sizeof host - 1) != 0 ||
        ::getaddrinfo(host, nullptr, &hints, &found) != 0) {
        // Traps still arrive on every local address; the name only matters to the printers
        // that were told where to send them.
        MON_TRACE(QB_TRACE_ERROR, "QMONMGR: the computer name %s does not resolve", host);
    }
    if (found) ::freeaddrinfo(found);
    uint8_t buffer[1023];
    for (;;) {
        size_t size = 0;
        std::string sender;
        if (trap_.Receive(std::span<uint8_t>(buffer, sizeof buffer), &size, &sender) != 0) {
            return state_.stopping() ? 0 : -1;
        }
        if (state_.stopping()) return 0;
        state_.Gate();
        if (!IsV1Trap(std::span<const uint8_t>(buffer, size))) continue;
        MON_TRACE(QB_TRACE_INFO, "QMONMGR: trap from %s", sender.c_str());
        PollContext ctx;
        ctx.keys[1] = sender;
        StartWorker(std::move(ctx), true);
    }
}

}  // namespace qm::monitor
