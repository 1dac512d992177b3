// Names of the kernel objects and texts of the messages that cross a process boundary between
// the monitor, the notification service, the trap destination helper and the notification
// database. Every process spells them from here, so a typo cannot split one object in two.
#pragma once

namespace qm::ipc {

// The monitor.
inline constexpr char kMonitorMutex[] = "QmonmgrMutex";        // marks a running monitor
inline constexpr char kMonitorLogging[] = "QmonmgrLogging";    // run state and polling list
inline constexpr char kMonitorNtfAct[] = "QmonmgrNtfAct";      // writes into the notifier's slot
inline constexpr char kMonitorControlMap[] = "MapServiceCtrl";
inline constexpr char kMonitorControlEvent[] = "EventServiceCtrl";
inline constexpr char kMonitorSlot[] = "Qmonmgr";              // \\.\MAILSLOT\Qmonmgr

// The notification service.
inline constexpr char kNotifierSlot[] = "Qntfmgr";             // \\.\MAILSLOT\Qntfmgr
inline constexpr char kNotifierMap[] = "QntfmgrMap";
inline constexpr char kNotifierEvent[] = "QntfmgrEvent";
inline constexpr char kNotifierMutex[] = "QntfmgrMutex";
inline constexpr char kNotifierMutexStr[] = "QntfmgrMutexStr";
inline constexpr char kNotifierMutexPrtSts[] = "QntfmgrMutexPrtSts";
inline constexpr char kNotifierMutexChkEnd[] = "QntfmgrMutexChkEnd";
inline constexpr char kNotifierMutexSlot[] = "QntfmgrMutexSlot";
inline constexpr char kNotifierEventChkEndDll[] = "QntfmgrEventChkEndDll";
inline constexpr char kNotifierEventChkEndRead[] = "QntfmgrEventChkEndRead";

// The trap registration helper (qntpset) and the notification database that asks it.
inline constexpr char kQntpsetMutex[] = "QntpsetMutex";        // marks a serving helper
inline constexpr char kQntpsetEvent[] = "QntpsetEvent";        // request, then acknowledgement
inline constexpr char kQntpsetMap[] = "QntpsetrMap";           // the request block
inline constexpr char kQntpsetEventChkEndDll[] = "QntpsetEventChkEndDll";  // helper is ending
inline constexpr char kQntpsetRequester[] = "QntpsetRequester";  // one requester at a time

// Database maintenance markers.
inline constexpr char kDbCompact[] = "NtfDBCompact";
inline constexpr char kDbNotCompact[] = "NtfDBNotCompact";

// Mailslot messages (decimal texts, compared whole, sent without a terminator).
inline constexpr char kMsgRebuildPolling[] = "5";   // into the monitor's slot
inline constexpr char kMsgMonitorStop[] = "9";      // into the monitor's slot
inline constexpr char kMsgQueueEmptied[] = "10";    // into the notifier's slot
inline constexpr char kMsgNewAlert[] = "11";
inline constexpr char kMsgAlertCleared[] = "12";
inline constexpr char kMsgNoResponse[] = "13";
inline constexpr char kMsgNotifierEnd[] = "end";

// Control commands carried by a control block.
inline constexpr char kCmdPause[] = "1";
inline constexpr char kCmdContinue[] = "2";
inline constexpr char kCmdReload[] = "5";
inline constexpr char kCmdStop[] = "9";

// Registry keys (under HKEY_LOCAL_MACHINE) and the settings file.
inline constexpr char kSetupKey[] = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
inline constexpr char kMonitorKey[] =
    "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Notification_Service\\QMONMGR";
inline constexpr char kNotifierKey[] =
    "Software\\OvrelNet\\OvrelNetQuinsward\\Notification_Service\\QNTFMGR";
inline constexpr char kProfileFile[] = "ntccnf.ini";

}  // namespace qm::ipc
