// Trace lines of the configuration database: ordinary level 0x80, failures 0x8800.
#pragma once

#include "QBUtil.h"

#define DB_TRACE(...) QbTrace(0x80u, "QMDBMGR", __LINE__, __VA_ARGS__)
#define DB_ERROR(...) QbTrace(0x8800u, "QMDBMGR", __LINE__, __VA_ARGS__)
