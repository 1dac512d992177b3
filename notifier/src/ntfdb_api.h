// The notification database functions the notification service binds by name. Every call
// through one of these addresses is made under Service::db_ (the database critical section).
#pragma once

#include "QNTFDB.h"

namespace qm::notifier {

struct NtfDbApi {
    decltype(&::DBInitialize) DBInitialize = nullptr;
    decltype(&::DBRelease) DBRelease = nullptr;
    decltype(&::DBCreateThread) DBCreateThread = nullptr;
    decltype(&::DBExitThread) DBExitThread = nullptr;
    // Bound by the threads that use them; a missing one ends that thread.
    decltype(&::DBSendHandleCheck) DBSendHandleCheck = nullptr;
    decltype(&::DBReadSendDB) DBReadSendDB = nullptr;
    decltype(&::DBGetHandleNotice) DBGetHandleNotice = nullptr;
    decltype(&::DBGetHandleData) DBGetHandleData = nullptr;
    decltype(&::DBDeleteNotice) DBDeleteNotice = nullptr;
    decltype(&::DBReadFirstSend) DBReadFirstSend = nullptr;
};

}  // namespace qm::notifier
