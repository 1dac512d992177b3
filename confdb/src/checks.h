// Argument checks and failure exits shared by the exported calls; each writes its "[ER_OUT]" line.
#pragma once

#include <cstring>

#include "store.h"
#include "trace.h"

// Argument checks shared by the device calls; each writes its own "[ER_OUT]" line.
#define CHECK_NULL(fn, arg)                                  \
    if (!(arg)) {                                            \
        DB_ERROR("QMDBMGR: " fn "[ER_OUT] " #arg "=NULL");   \
        return -1;                                           \
    }
#define CHECK_SIZE(fn, arg, limit)                                    \
    if (std::strlen(arg) >= (limit)) {                                \
        DB_ERROR("QMDBMGR: " fn "[ER_OUT] (SizeError) " #arg "=%s", arg); \
        return -1;                                                    \
    }
#define GET_STORE(fn)                                   \
    const StoreApi* s = Store();                        \
    if (!s) {                                           \
        DB_ERROR("QMDBMGR: " fn "[ER_OUT] nRet=%d", -1); \
        return -1;                                      \
    }
#define FAIL_ON(fn, r)                                  \
    if ((r) != 0) {                                     \
        DB_ERROR("QMDBMGR: " fn "[ER_OUT] nRet=%d", r); \
        return -1;                                      \
    }

