// Binding of the notification database, in the order the monitor has always bound it.
#include "ntfdb_api.h"

#include "qm/platform/library.h"

namespace qm::monitor {

namespace {

template <typename F>
bool Bind(const qm::platform::UniqueLibrary& lib, const char* name, F* target,
          const char** missing) {
    *target = reinterpret_cast<F>(lib.Symbol(name));
    if (!*target && missing && !*missing) *missing = name;
    return *target != nullptr;
}

}  // namespace

int BindNtfDb(NtfDbApi* api, qm::platform::UniqueLibrary* library, const char** missing) {
    if (missing) *missing = nullptr;
    qm::platform::UniqueLibrary lib(qm::platform::LoadLibraryByName("QNTFDB"));
    if (!lib) return -4;
    NtfDbApi a;
    bool ok = Bind(lib, "DBInitialize", &a.DBInitialize, missing) &&
              Bind(lib, "DBRelease", &a.DBRelease, missing) &&
              Bind(lib, "DBSetSendData", &a.DBSetSendData, missing) &&
              Bind(lib, "DBSetLogData", &a.DBSetLogData, missing) &&
              Bind(lib, "DBSetConsData", &a.DBSetConsData, missing) &&
              Bind(lib, "DBSetPrtCntData", &a.DBSetPrtCntData, missing) &&
              Bind(lib, "DBReadLogPolling", &a.DBReadLogPolling, missing) &&
              Bind(lib, "DBOpenStatusDB", &a.DBOpenStatusDB, missing) &&
              Bind(lib, "DBReadStatusDB", &a.DBReadStatusDB, missing) &&
              Bind(lib, "DBUpdateSendDB", &a.DBUpdateSendDB, missing) &&
              Bind(lib, "DBCloseStatusDB", &a.DBCloseStatusDB, missing) &&
              Bind(lib, "DBReadOnOff", &a.DBReadOnOff, missing) &&
              Bind(lib, "DBSetOnOff", &a.DBSetOnOff, missing) &&
              Bind(lib, "DBReadSendPolling", &a.DBReadSendPolling, missing) &&
              Bind(lib, "DBCompactLog", &a.DBCompactLog, missing) &&
              Bind(lib, "DBCompactSts", &a.DBCompactSts, missing) &&
              Bind(lib, "DBDeleteTerm", &a.DBDeleteTerm, missing) &&
              Bind(lib, "DBDeleteSize", &a.DBDeleteSize, missing) &&
              Bind(lib, "DBDeleteOnOff", &a.DBDeleteOnOff, missing) &&
              Bind(lib, "DBCreateThread", &a.DBCreateThread, missing) &&
              Bind(lib, "DBExitThread", &a.DBExitThread, missing);
    if (!ok) return -1;  // `lib` frees the library on the way out
    *api = a;
    *library = std::move(lib);
    return 0;
}

}  // namespace qm::monitor
