// The monitor service: the control, polling, trap and mailslot threads around one polling list.
//
// Threads. The control thread serves "MapServiceCtrl" commands; the polling thread rebuilds the
// list when asked, runs the due check once a second and the maintenance pass at its interval;
// the trap thread receives SNMPv1 traps and polls their senders at once; the mailslot thread
// takes "5" (reload) from the notification service. Printer polls run on short-lived workers
// started through the database library, one at a time under the poll lock.
//
// Locks. "QmonmgrLogging" guards run-state writes, due flags and poll times. The list itself is
// an immutable snapshot swapped under a plain mutex, so a trap worker that reads it while the
// polling thread rebuilds it never sees freed entries. "QmonmgrNtfAct" serialises the nudges.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ntfdb_api.h"
#include "polling_list.h"
#include "printer_poll.h"
#include "qm/ipc/objects.h"
#include "run_state.h"
#include "trap.h"

namespace qm::monitor {

struct MonitorConfig {
    std::string installFolder;
    std::string dbFolder;
    long maintenanceSeconds = 86400;
    int trapPort = 162;
};

// Reads "InstallPath" (this installation's root when it is not set), "DBPath" from
// bin/ntccnf.ini, "CompactInterval" and the trap port ("TrapPort", default 162) from the
// monitor's registry key.
MonitorConfig ReadMonitorConfig();

class Monitor {
public:
    Monitor(const NtfDbApi& db, MonitorConfig config);
    ~Monitor();

    // The service body: DBInitialize, the four threads, DBRelease. Returns DBRelease's result,
    // or DBInitialize's when that failed.
    int Run();
    // Asks for a stop the way command "9" does (signals, tests). Safe from any thread.
    void RequestStop();

private:
    void ControlThread();
    int PollingThread();
    int PollingLoop();
    void DueCheck(qm::ipc::NamedMutex& logging);
    int TrapThread();
    int MailslotThread();
    void Stop(qm::ipc::NamedMutex& logging);
    void Notify(const char* message);
    void StartWorker(PollContext ctx, bool fromTrap);
    static void WorkerMain(void* argument);
    std::shared_ptr<PollingList> Snapshot() const;
    void WaitForWorkers();

    const NtfDbApi& db_;
    MonitorConfig config_;
    RunState state_;
    std::mutex pollLock_;
    mutable std::mutex listMutex_;
    std::shared_ptr<PollingList> list_;
    TrapSocket trap_;
    std::atomic<bool> mailslotRunning_{false};
    std::atomic<bool> stopRequested_{false};
    std::mutex workersMutex_;
    std::condition_variable workersDone_;
    int workers_ = 0;
    std::thread control_, polling_, trapThread_, mailslot_;
    std::atomic<bool> controlReady_{false};
};

}  // namespace qm::monitor
