// Qntfmgr, the notification service: a command thread serving the block "QntfmgrMap", a
// mailslot thread that hands each new send record to the receivers, and one delivery thread
// per registered receiver. The service ends by itself when its last delivery thread ends, or
// on command "9" when none runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "ntfdb_api.h"
#include "qm/notifier/datagram.h"
#include "qm/platform/library.h"

namespace qm::notifier {

// The delivery settings (registry key ...\Notification_Service\QNTFMGR).
struct DeliverySettings {
    int udpPort = 7000;        // first local port is one above it
    int answerTimeout = 1;     // seconds, doubled after each unanswered try
    int tries = 4;
    int checkInterval = 90;    // seconds between datagrams at most (idle check)
};
DeliverySettings ReadDeliverySettings();

// One registered receiver. Flags and state are read and written under Service::list_.
struct NoticeHandle {
    std::string handle;     // at most 16 characters
    int dataReady = 0;      // 0 none, 1 a send record waits, 2 send the end datagram and end
    int state = 0;          // 0 running, 1 end requested ("8"), 9 stop ("9")
    // Set once the backlog walk has ended, under the record lock: a record handed out before
    // that is part of the backlog, so the mailslot thread offers only later ones.
    bool backlogDone = false;
};

class Service {
public:
    explicit Service(std::string installFolder) : installFolder_(std::move(installFolder)) {}
    // Loads and binds QNTFDB, initialises it, runs the threads until the service ends and
    // releases the database. 0, or -1 when any step failed.
    int Run();
    // What SIGTERM does: the command "9", handled by the command thread like one from outside.
    void RequestStop();

private:
    friend struct ThreadStart;
    // Threads (started through DBCreateThread, each ends with DBExitThread).
    void CommandThread();
    void MailslotThread();
    void DeliveryThread(NoticeHandle* node);

    // Command handling.
    void AddHandle(const std::string& handle, int dataReady);
    void EndHandle(const std::string& handle);
    bool Stop();  // true when the loop ends now (no delivery thread)

    // Delivery.
    struct Receiver;
    int SendBacklog(Receiver& r);
    int SendDatagram(Receiver& r, const std::string& body, bool mayGiveUp);
    void SendOnce(Receiver& r, const std::string& body);
    void GiveUp(Receiver& r);
    void EndDeliveryThread(NoticeHandle* node);

    int NodeState(NoticeHandle* node);
    void PostOwn(const char* text);
    void PostMonitor(const char* text);
    void WakeAll();

    std::string installFolder_;
    qm::platform::LibraryHandle library_ = nullptr;
    NtfDbApi db_;
    std::mutex dbCall_;  // the database critical section

    std::mutex settingsLock_;
    DeliverySettings settings_;

    // "QntfmgrMutexStr": the handle list, its flags and states.
    std::mutex list_;
    std::list<std::unique_ptr<NoticeHandle>> handles_;
    std::condition_variable listChanged_;

    // "QntfmgrMutexPrtSts": the current send record.
    std::mutex record_;
    char current_[kSendRecordSize] = {};

    // Running delivery threads and the stopping flag; the long-lived threads' lifetimes.
    std::mutex count_;
    std::condition_variable countChanged_;
    int running_ = 0;
    bool stopping_ = false;
    int longLived_ = 0;

    std::mutex slot_;  // "QntfmgrMutexSlot": writes into mailslots
    bool stopRequested_ = false;
};

}  // namespace qm::notifier
