// The ISAM store and the resolver as loaded at run time, and the library's process-wide state.
#pragma once

#include <mutex>

#include "qmisam.h"

namespace qm::confdb {

// Every store call, fetched by name when the library loads.
struct StoreApi {
    int (*ctThrdInit)(int, long, long);
    int (*ctThrdTerm)();
    void (*ctThrdExit)();
    int (*ctThrdCreate)(IsamThreadFunction, void*, long, long);
    int (*INTISAM)(int, int, int);
    int (*CLISAM)();
    int (*OPNIFIL)(IsamFileSet*);
    int (*CREIFIL)(IsamFileSet*);
    int (*CLIFIL)(IsamFileSet*);
    int (*CMPIFIL)(IsamFileSet*);
    int (*ADDREC)(int, const void*);
    int (*RWTREC)(int, const void*);
    int (*DELREC)(int);
    int (*EQLREC)(int, const void*, void*);
    int (*GTREC)(int, const void*, void*);
    int (*GTEREC)(int, const void*, void*);
    int (*FRSREC)(int, void*);
    int (*NXTREC)(int, void*);
    int (*LSTREC)(int, void*);
    int (*FRSSET)(int, const void*, void*, int);
    int (*NXTSET)(int, void*);
    int (*LSTSET)(int, const void*, void*, int);
    int (*PRVSET)(int, void*);
    void* (*TFRMKEY)(int, void*);
    int (*LKISAM)(int);
    int (*UPDCURI)(int, int);
    long (*GETCURP)(int);
    int (*SETCURI)(int, long, void*, int);
    long (*DATENT)(int);
};

// The loaded store, or null when the library could not load it (every call then fails).
const StoreApi* Store();

// The resolver's LookupHostName, or null.
using LookupFunction = int (*)(const char*, char*, int);
LookupFunction Resolver();

// The critical section and the flag "the All Devices list is being rewritten".
std::mutex& RewriteSection();
bool& RewriteFlag();  // read and written only under RewriteSection()

// Runs `body` on a thread of its own (the host name registration). The library keeps every
// such thread and joins it before it is unloaded, as the thread runs code of this library,
// the store and the resolver. False when no thread could be started.
bool StartBackground(void (*body)());
// True once the library is being unloaded: background work ends at its next step.
bool BackgroundStopping();

}  // namespace qm::confdb
