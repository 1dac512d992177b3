// The notification service's threads and the end handshake.
//
// Locks, always taken in this order when nested: record_ ("QntfmgrMutexPrtSts"), list_
// ("QntfmgrMutexStr"), count_, dbCall_ (the database critical section). Waiting is done on
// condition variables and in the kernel (mailslot, control event), so an idle service sleeps;
// the only timed waits are the idle check of each receiver and the acknowledgement waits.
#include "service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "QBUtil.h"
#include "qm/ipc/control.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/ipc/settings.h"
#include "qm/platform/owners.h"

namespace qm::notifier {

namespace ipc = qm::ipc;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

#define NTF_TRACE(level, ...) QbTrace(level, "QNTFMGR", __LINE__, __VA_ARGS__)

namespace {

constexpr int kBusy = 110;  // the database is being compacted
constexpr char kOwnSlot[] = "\\\\.\\MAILSLOT\\Qntfmgr";

int Setting(const char* name, int fallback, long low, long high) {
    long v = ipc::RegistryNumber(ipc::kNotifierKey, name, fallback, true);
    return (v >= low && v <= high) ? static_cast<int>(v) : fallback;
}

// The user side of the maintenance markers: busy (110) while "NtfDBCompact" exists, else
// "NtfDBNotCompact" is held by `marker` until it is closed.
int TakeDbMarker(ipc::NamedMutex* marker) {
    ipc::NamedMutex compact;
    if (compact.Open(ipc::kDbCompact) == 0) {
        compact.Close();
        return kBusy;
    }
    int rc = marker->Create(ipc::kDbNotCompact);
    return (rc == 0 || rc == 183) ? 0 : -1;
}

}  // namespace

DeliverySettings ReadDeliverySettings() {
    DeliverySettings s;
    s.udpPort = Setting("UdpPort", 7000, 5001, 65535);
    s.answerTimeout = Setting("UdpDefaultTimeout", 1, 1, 86400);
    s.tries = Setting("UdpRetryCount", 4, 1, 1000);
    s.checkInterval = Setting("UdpCheckInterval", 90, 1, 86400 * 365);
    return s;
}

// What a thread started through DBCreateThread runs.
struct ThreadStart {
    Service* service;
    enum { kCommand, kMailslot, kDelivery } kind;
    NoticeHandle* node;

    static void Run(void* argument) {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
        switch (start->kind) {
        case kCommand: start->service->CommandThread(); break;
        case kMailslot: start->service->MailslotThread(); break;
        case kDelivery: start->service->DeliveryThread(start->node); break;
        }
    }
};

// Per delivery thread.
struct Service::Receiver {
    NoticeHandle* node = nullptr;
    std::string handle;
    sockaddr_in to{};
    qm::platform::UniqueFd socket;
    int localPort = 0;
    int32_t sequence = 0;
    Clock::time_point lastSent{};
    bool sentAny = false;
    bool gaveUp = false;
};

int Service::Run() {
    library_ = qm::platform::LoadLibraryByName("QNTFDB");
    if (!library_) {
        NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: QNTFDB cannot be loaded: %s",
                  qm::platform::LibraryError().c_str());
        return -1;
    }
    auto bind = [this](auto* slot, const char* name) {
        *slot = reinterpret_cast<std::remove_reference_t<decltype(*slot)>>(
            qm::platform::LibrarySymbol(library_, name));
        return *slot != nullptr;
    };
    if (!bind(&db_.DBInitialize, "DBInitialize") || !bind(&db_.DBRelease, "DBRelease") ||
        !bind(&db_.DBCreateThread, "DBCreateThread") || !bind(&db_.DBExitThread, "DBExitThread")) {
        NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: QNTFDB lacks a start-up function");
        return -1;
    }
    // The threads' functions; a thread whose function is missing ends when it starts.
    bind(&db_.DBSendHandleCheck, "DBSendHandleCheck");
    bind(&db_.DBReadSendDB, "DBReadSendDB");
    bind(&db_.DBGetHandleNotice, "DBGetHandleNotice");
    bind(&db_.DBGetHandleData, "DBGetHandleData");
    bind(&db_.DBDeleteNotice, "DBDeleteNotice");
    bind(&db_.DBReadFirstSend, "DBReadFirstSend");

    if (db_.DBInitialize(installFolder_.c_str()) != 0) {
        NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: DBInitialize(%s) failed", installFolder_.c_str());
        return -1;
    }
    int result = 0;
    for (auto kind : {ThreadStart::kMailslot, ThreadStart::kCommand}) {
        {
            std::lock_guard lock(count_);
            ++longLived_;
        }
        if (db_.DBCreateThread(&ThreadStart::Run, new ThreadStart{this, kind, nullptr}) != 0) {
            std::lock_guard lock(count_);
            --longLived_;
            stopping_ = true;
            result = -1;
        }
    }
    {
        // Both long-lived threads sleep in the kernel; once the service is stopping, keep
        // nudging them until they are gone, whatever else consumed an earlier nudge.
        std::unique_lock lock(count_);
        while (longLived_ > 0) {
            if (!stopping_) {
                countChanged_.wait(lock);
                continue;
            }
            lock.unlock();
            PostOwn(ipc::kMsgNotifierEnd);
            WakeAll();
            lock.lock();
            countChanged_.wait_for(lock, milliseconds(100), [this] { return longLived_ == 0; });
        }
    }
    // Normally no delivery thread is left now. One can be when a long-lived thread failed:
    // it is stopped like on "9", and counted out just before it leaves.
    {
        std::lock_guard lock(list_);
        for (auto& node : handles_) node->state = 9;
    }
    listChanged_.notify_all();
    {
        std::unique_lock lock(count_);
        countChanged_.wait(lock, [this] { return running_ == 0; });
    }
    handles_.clear();
    if (db_.DBRelease() != 0) result = -1;
    // Threads started through the store may still be returning from their last call, so the
    // library stays loaded until the process ends.
    return result;
}

void Service::RequestStop() {
    {
        std::lock_guard lock(count_);
        if (stopping_ || stopRequested_) return;
        stopRequested_ = true;
    }
    // The same path as a "9" from outside: the command thread decides.
    int rc = ipc::SendControlCommand(ipc::kNotifierMap, ipc::kNotifierEvent, ipc::kCmdStop, 30000);
    if (rc != 0) NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: stop request not taken (%d)", rc);
}

void Service::WakeAll() {
    ipc::NamedEvent event;
    if (event.Open(ipc::kNotifierEvent) == 0) {
        event.Set();
        event.Close();
    }
}

void Service::PostOwn(const char* text) {
    std::lock_guard lock(slot_);
    ipc::PostMessage(ipc::kNotifierSlot, text);
}

void Service::PostMonitor(const char* text) {
    std::lock_guard lock(slot_);
    int rc = ipc::PostMessage(ipc::kMonitorSlot, text);
    if (rc != 0) NTF_TRACE(QB_TRACE_INFO, "QNTFMGR: monitor not told \"%s\" (%d)", text, rc);
}

// ---------------------------------------------------------------------------------------------
// Command thread

void Service::CommandThread() {
    {
        std::lock_guard lock(settingsLock_);
        settings_ = ReadDeliverySettings();
    }
    ipc::ControlMap map;
    ipc::NamedEvent event;
    ipc::NamedMutex served;
    int result = 0;
    if (map.Create(ipc::kNotifierMap) != 0) {
        result = -104;
    } else if (event.Create(ipc::kNotifierEvent, false) != 0) {
        result = 155;
        map.Close();
    } else if (served.Create(ipc::kNotifierMutex) != 0) {
        // 183: another instance serves the channel.
        result = 153;
        event.Close();
        map.Close();
    }
    if (result != 0) {
        NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: command channel not served (%d)", result);
        {
            std::lock_guard lock(count_);
            stopping_ = true;
        }
    } else {
        for (;;) {
            if (event.Wait() != 0) {
                result = -101;
                std::lock_guard lock(count_);
                stopping_ = true;
                break;
            }
            {
                std::lock_guard lock(count_);
                if (stopping_) {
                    // Both sides wait on this one auto-reset event, so the wake-up may have
                    // been the acknowledgement of the last command: give it again for a
                    // sender still waiting (with none, it dies with the event).
                    event.Set();
                    break;
                }
            }
            map.Rewind();
            const std::string command = map.Next();
            const std::string handle = map.Next();
            // Clear what was read, so that a late wake-up finds no command.
            map.Rewind();
            for (size_t i = 0; i < qm::platform::kSharedBlockSize; ++i) map.Put("");
            map.Rewind();
            bool leave = false;
            switch (ipc::DecimalValue(command)) {
            case 1: AddHandle(handle, 0); break;
            case 2: AddHandle(handle, 2); break;
            case 8: EndHandle(handle); break;
            case 9: leave = Stop(); break;
            default: break;  // acknowledged like any command
            }
            NTF_TRACE(QB_TRACE_INFO, "QNTFMGR: command \"%s\" \"%s\"", command.c_str(), handle.c_str());
            event.Set();
            if (leave) break;
        }
        event.Close();
        served.Close();
        map.Close();
    }
    {
        std::lock_guard lock(count_);
        --longLived_;
    }
    countChanged_.notify_all();
    db_.DBExitThread();
}

void Service::AddHandle(const std::string& handle, int dataReady) {
    if (handle.empty()) return;
    const std::string text = handle.substr(0, 16);
    NoticeHandle* node;
    {
        std::lock_guard lock(list_);
        // One delivery thread per receiver: a second "1" for a receiver that is still served
        // (a registration tool run twice) would send every notice twice from two local ports.
        // A receiver whose thread is already ending ("8", or "2" sending its end notice) may
        // be started afresh.
        if (dataReady == 0 && std::any_of(handles_.begin(), handles_.end(), [&](const auto& n) {
                return n->handle == text && n->state == 0 && n->dataReady != 2;
            })) {
            NTF_TRACE(QB_TRACE_INFO, "QNTFMGR: %s is already served", text.c_str());
            return;
        }
        {
            std::lock_guard countLock(count_);
            if (stopping_) return;
            ++running_;
        }
        handles_.push_back(std::make_unique<NoticeHandle>());
        node = handles_.back().get();
        node->handle = text;
        node->dataReady = dataReady;
    }
    if (db_.DBCreateThread(&ThreadStart::Run, new ThreadStart{this, ThreadStart::kDelivery, node}) != 0) {
        NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: no delivery thread for %s", handle.c_str());
        EndDeliveryThread(node);
    }
}

void Service::EndHandle(const std::string& handle) {
    std::lock_guard lock(list_);
    for (auto& node : handles_) {
        if (node->handle == handle && node->state == 0) node->state = 1;
    }
    listChanged_.notify_all();
}

bool Service::Stop() {
    std::lock_guard listLock(list_);
    {
        std::lock_guard lock(count_);
        if (running_ == 0) {
            stopping_ = true;
            countChanged_.notify_all();
            return true;
        }
    }
    // Each delivery thread says goodbye once and ends; the last one ends the service.
    for (auto& node : handles_) node->state = 9;
    listChanged_.notify_all();
    return false;
}

// ---------------------------------------------------------------------------------------------
// Mailslot thread

void Service::MailslotThread() {
    ipc::MailslotReader reader;
    const bool usable = db_.DBSendHandleCheck && db_.DBReadSendDB && reader.Create(kOwnSlot) == 0;
    if (!usable) {
        NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: mailslot thread cannot start");
        std::lock_guard lock(count_);
        stopping_ = true;
    }
    auto isStopping = [this] {
        std::lock_guard lock(count_);
        return stopping_;
    };
    char position[NTFDB_STATUS_POSITION_SIZE];
    while (usable && !isStopping()) {
        int rc = reader.Receive();
        if (rc != 0 && rc != 122) {
            NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: mailslot receive failed (%d)", rc);
            break;
        }
        const std::string_view text = reader.Text();
        if (text != "10" && text != "11" && text != "12" && text != "13" && text != "14") continue;
        std::memset(position, 0, sizeof position);

        ipc::NamedMutex marker;
        while ((rc = TakeDbMarker(&marker)) == kBusy && !isStopping())
            std::this_thread::sleep_for(milliseconds(100));
        if (rc != 0) continue;
        for (;;) {
            {
                // Each record is offered once to every receiver: wait until all took the last.
                std::unique_lock listLock(list_);
                listChanged_.wait(listLock, [this, &isStopping] {
                    if (isStopping()) return true;
                    return std::none_of(handles_.begin(), handles_.end(),
                                        [](const auto& n) { return n->dataReady == 1; });
                });
            }
            if (isStopping()) break;
            // Only this thread raises a flag to 1, so none can have appeared meanwhile.
            std::lock_guard recordLock(record_);
            {
                std::lock_guard db(dbCall_);
                rc = db_.DBReadSendDB(position, current_);
            }
            if (rc != 0) break;  // 100: nothing more is pending
            std::lock_guard listLock(list_);
            for (auto& node : handles_) {
                if (node->handle.empty() || node->state != 0 || node->dataReady != 0 ||
                    !node->backlogDone)
                    continue;
                std::lock_guard db(dbCall_);
                if (db_.DBSendHandleCheck(node->handle.c_str(), current_) == 0) node->dataReady = 1;
            }
            listChanged_.notify_all();
        }
        marker.Close();
    }
    reader.Close();
    {
        std::lock_guard lock(count_);
        --longLived_;
    }
    countChanged_.notify_all();
    db_.DBExitThread();
}

// ---------------------------------------------------------------------------------------------
// Delivery threads

int Service::NodeState(NoticeHandle* node) {
    std::lock_guard lock(list_);
    return node->state;
}

void Service::DeliveryThread(NoticeHandle* node) {
    Receiver r;
    r.node = node;
    int checkInterval;
    {
        std::lock_guard lock(settingsLock_);
        checkInterval = settings_.checkInterval;
    }
    {
        std::lock_guard lock(list_);
        r.handle = node->handle;
    }
    bool ok = db_.DBGetHandleNotice && db_.DBGetHandleData && db_.DBDeleteNotice && db_.DBReadFirstSend;
    char notice[NTFDB_NOTICE_SIZE] = {};
    if (ok) {
        int rc;
        {
            std::lock_guard db(dbCall_);
            rc = db_.DBGetHandleNotice(r.handle.c_str(), notice);
        }
        if (rc != 0) {
            NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: %s has no notice destination (%d)", r.handle.c_str(), rc);
            GiveUp(r);
            ok = false;
        }
    }
    if (ok) {
        int32_t port;
        std::memcpy(&port, notice + 196, 4);
        const std::string address(notice, strnlen(notice, 16));
        r.to.sin_family = AF_INET;
        r.to.sin_port = htons(static_cast<uint16_t>(port));
        ok = port > 0 && port < 65536 && inet_pton(AF_INET, address.c_str(), &r.to.sin_addr) == 1;
        if (!ok) NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: %s: bad destination %s:%d", r.handle.c_str(), address.c_str(), port);
    }
    if (ok) {
        r.socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ok = r.socket.get() >= 0;
        int first;
        {
            std::lock_guard lock(settingsLock_);
            first = settings_.udpPort + 1;
        }
        // The first free local port from UdpPort + 1 on: receivers tell senders apart by it.
        for (int p = first; ok; ++p) {
            if (p > 65535) {
                ok = false;
                break;
            }
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(INADDR_ANY);
            local.sin_port = htons(static_cast<uint16_t>(p));
            if (bind(r.socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
                r.localPort = p;
                break;
            }
            if (errno != EADDRINUSE) ok = false;
        }
    }

    bool backlogDone = false;
    while (ok) {
        bool retrySoon = false;
        if (!backlogDone) {
            int ready;
            {
                std::lock_guard lock(list_);
                ready = node->dataReady;
            }
            if (ready == 2) {
                backlogDone = true;  // only the end datagram goes to this receiver
            } else {
                int rc = SendBacklog(r);
                if (rc == kBusy) retrySoon = true;
                else if (rc != 0) break;
                else backlogDone = true;
            }
        }
        int state, ready;
        {
            std::lock_guard lock(list_);
            state = node->state;
            ready = node->dataReady;
        }
        if (state != 0) break;
        if (ready == 1) {
            std::unique_lock recordLock(record_);
            int level = 0, size = kReceiverTextSize;
            char text[kReceiverTextSize] = {};
            int rc;
            {
                std::lock_guard db(dbCall_);
                rc = db_.DBGetHandleData(r.handle.c_str(), current_, &level, text, &size);
            }
            SendFields f = ReadSendRecord(current_);
            recordLock.unlock();
            {
                std::lock_guard lock(list_);
                node->dataReady = 0;
            }
            listChanged_.notify_all();
            if (rc != 0) {
                NTF_TRACE(QB_TRACE_ERROR, "QNTFMGR: %s: record data not read (%d)", r.handle.c_str(), rc);
                break;
            }
            const int kind = static_cast<int>(ipc::DecimalValue(f.kind));
            if (PassesLevel(level, kind, f.severity, f.training)) {
                text[kReceiverTextSize - 1] = '\0';
                if (SendDatagram(r, NoticeBody(kind, r.localPort, f, text), true) != 0) break;
            }
            continue;  // look again before sleeping: another record may be waiting
        }
        if (ready == 2) {
            SendDatagram(r, ControlBody(kKindEnd, r.localPort), true);
            break;
        }
        const auto idleDue = r.lastSent + std::chrono::seconds(checkInterval);
        if (!r.sentAny || Clock::now() >= idleDue) {
            if (SendDatagram(r, ControlBody(kKindIdle, r.localPort), true) != 0) break;
            continue;
        }
        std::unique_lock lock(list_);
        auto changed = [node] { return node->state != 0 || node->dataReady != 0; };
        if (retrySoon) listChanged_.wait_for(lock, milliseconds(100), changed);
        else listChanged_.wait_until(lock, r.lastSent + std::chrono::seconds(checkInterval), changed);
    }

    if (r.localPort != 0) {
        const int state = NodeState(node);
        if (r.gaveUp || state == 9) {
            // A stopping service, or a receiver already given up: one goodbye, no waiting.
            SendOnce(r, ControlBody(kKindGoodbye, r.localPort));
        } else if (state == 0) {
            SendDatagram(r, ControlBody(kKindGoodbye, r.localPort), false);
        }
    }
    r.socket.reset();
    EndDeliveryThread(node);
    db_.DBExitThread();
}

int Service::SendBacklog(Receiver& r) {
    ipc::NamedMutex marker;
    int rc = TakeDbMarker(&marker);
    if (rc != 0) return rc;
    char record[kSendRecordSize] = {};
    int result = 0;
    for (;;) {
        int level = 0, size = kReceiverTextSize;
        char text[kReceiverTextSize] = {};
        {
            // Under the record lock, so that the mailslot thread hands out nothing between
            // the walk's end and the node being marked as past its backlog.
            std::lock_guard recordLock(record_);
            {
                std::lock_guard db(dbCall_);
                rc = db_.DBReadFirstSend(r.handle.c_str(), record, &level, text, &size);
            }
            if (rc != 0) {
                std::lock_guard lock(list_);
                r.node->backlogDone = true;
            }
        }
        if (rc == NTFDB_END || rc == NTFDB_NO_RECORD) break;  // no (more) backlog
        if (rc == -1) break;                                   // ends quietly
        if (rc != 0) {
            result = -1;
            break;
        }
        text[kReceiverTextSize - 1] = '\0';
        SendFields f = ReadSendRecord(record);
        const int kind = BacklogKind(f);
        if (!PassesLevel(level, kind, f.severity, f.training)) continue;
        if (SendDatagram(r, NoticeBody(kind, r.localPort, f, text), true) != 0) {
            result = -1;
            break;
        }
    }
    marker.Close();
    PostOwn(ipc::kMsgQueueEmptied);
    return result;
}

void Service::SendOnce(Receiver& r, const std::string& body) {
    r.sequence = NextSequence(r.sequence);
    const std::string text = WithSequence(r.sequence, body);
    sendto(r.socket.get(), text.data(), text.size(), MSG_DONTROUTE,
           reinterpret_cast<sockaddr*>(&r.to), sizeof r.to);
    r.lastSent = Clock::now();
    r.sentAny = true;
}

int Service::SendDatagram(Receiver& r, const std::string& body, bool mayGiveUp) {
    long timeoutMs;
    int tries;
    {
        std::lock_guard lock(settingsLock_);
        timeoutMs = settings_.answerTimeout * 1000L;
        tries = settings_.tries;
    }
    r.sequence = NextSequence(r.sequence);
    const std::string text = WithSequence(r.sequence, body);
    char answer[kDatagramBuffer];
    for (int attempt = 1; attempt <= tries; ++attempt) {
        if (NodeState(r.node) == 9) return -1;
        if (sendto(r.socket.get(), text.data(), text.size(), MSG_DONTROUTE,
                   reinterpret_cast<sockaddr*>(&r.to), sizeof r.to) < 0) {
            NTF_TRACE(QB_TRACE_INFO, "QNTFMGR: %s: send failed (%d)", r.handle.c_str(), errno);
        }
        r.lastSent = Clock::now();
        r.sentAny = true;
        const auto deadline = r.lastSent + milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            // Short slices, so that a stop does not wait out a long answer time-out.
            pollfd p{r.socket.get(), POLLIN, 0};
            int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 200)));
            if (n == 0) {
                if (NodeState(r.node) == 9) return -1;
                continue;
            }
            if (n < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            ssize_t got = recv(r.socket.get(), answer, sizeof answer - 1, 0);
            if (got >= 0 && IsAcknowledgement(answer, static_cast<size_t>(got), r.sequence)) return 0;
        }
        timeoutMs = std::min(timeoutMs * 2, 86400L * 1000);
    }
    NTF_TRACE(QB_TRACE_INFO, "QNTFMGR: %s: no answer after %d tries", r.handle.c_str(), tries);
    if (mayGiveUp) GiveUp(r);
    return -1;
}

void Service::GiveUp(Receiver& r) {
    ipc::NamedMutex marker;
    int rc;
    while ((rc = TakeDbMarker(&marker)) == kBusy) std::this_thread::sleep_for(milliseconds(100));
    if (rc != 0) return;
    {
        std::lock_guard db(dbCall_);
        rc = db_.DBDeleteNotice(r.handle.c_str());
    }
    marker.Close();
    NTF_TRACE(QB_TRACE_INFO, "QNTFMGR: %s given up (%d)", r.handle.c_str(), rc);
    r.gaveUp = true;
    PostMonitor(ipc::kMsgRebuildPolling);
}

void Service::EndDeliveryThread(NoticeHandle* node) {
    {
        std::lock_guard lock(list_);
        handles_.remove_if([node](const auto& n) { return n.get() == node; });
    }
    listChanged_.notify_all();
    bool last = false;
    {
        std::lock_guard lock(count_);
        if (--running_ == 0) {
            // The last receiver is gone: the service ends with it.
            last = !stopping_;
            stopping_ = true;
        }
    }
    countChanged_.notify_all();
    if (last) {
        PostOwn(ipc::kMsgNotifierEnd);
        WakeAll();
    }
}

}  // namespace qm::notifier
