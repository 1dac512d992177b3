// Member lists of groups (QMDEVLST) read and written through handles, the All Devices rewrite
// protocol, device renames in all groups, and the host name registration that follows a rewrite.
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "store.h"
#include "frame.h"
#include "trace.h"
#include "groups.h"
#include "qm/platform/handle_table.h"
#include "qmdbmgr.h"

namespace qm::confdb {
namespace {

constexpr int kMemberGroupOffset = 4, kMemberKeyOffset = 8, kMemberKeyWidth = 65;

struct Handle {
    std::mutex mutex;  // one call at a time per handle
    uint32_t groupKey = 0;           // m_nGroupKey
    long recordIndex = 0;            // m_nRecordIndex
    char buffer[1024] = {};          // the last key read
    int length = 0;
    std::string groupName;
    bool writer = false;             // the one handle rewriting the All Devices list
    // Where the last read stood (record position), so the next read continues from there
    // instead of walking the group again from its first entry.
    long lastPosition = 0;
};

// The handle table outlives every static destructor: a registration thread may still close
// its handle while the process exits (the unload waits for it, but the destructors of other
// files' statics may already have run by then).
platform::HandleTable<Handle>& Handles() {
    static auto* table = new platform::HandleTable<Handle>;
    return *table;
}

bool InRange(DBHANDLE h) { return h >= 1 && h <= INT32_MAX; }

std::shared_ptr<Handle> Find(DBHANDLE h) {
    return InRange(h) ? Handles().Find(static_cast<int32_t>(h)) : nullptr;
}

std::shared_ptr<Handle> Take(DBHANDLE h) {
    return InRange(h) ? Handles().Remove(static_cast<int32_t>(h)) : nullptr;
}

// The wait in 1000 ms steps for a rewrite of the All Devices list has a bound
// (QM_DBMGR_REWRITE_WAIT_S, default 600 s): a rewriter that never closes its handle must not
// hold readers and renames for ever.
int RewriteWaitSteps() {
    const char* v = std::getenv("QM_DBMGR_REWRITE_WAIT_S");
    int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : 600;
}

bool Rewriting() {
    std::lock_guard lock(RewriteSection());
    return RewriteFlag();
}

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1000)); }

// Adds {group, key} to the open member file under the store lock.
int AddMember(File& f, uint32_t group, const char* key) {
    const StoreApi& s = f.store();
    int r = f.Lock();
    if (r != 0) return r;
    unsigned char entry[kDevListLength] = {};
    PutNumber(entry + kMemberGroupOffset, group);
    PutText(entry + kMemberKeyOffset, kMemberKeyWidth, key);
    r = s.ADDREC(f.data(), entry);
    if (r == ISAM_KEY_DUPLICATE) r = 0;
    else if (r == 0) r = s.UPDCURI(f.data(), 2);
    if (r == 0) r = f.Unlock();
    return r;
}

// Step 1 of a rewrite: removes every entry of group 0, last first.
int ClearAllDevices(const StoreApi& s) {
    File f(s, FileId::DevList);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) return 0;
    if (r == 0) r = f.Lock();
    if (r == 0) {
        NumberKey key(f, 1, 0);
        unsigned char entry[kDevListLength];
        r = s.LSTSET(f.index(1), key.bytes, entry, 4);
        while (r == 0) {
            r = s.DELREC(f.data());
            if (r == 0) r = s.PRVSET(f.index(1), entry);
        }
        DB_TRACE("QMDBMGR: DBWriteDeviceKeyInGroup[DEL ERROR] Ret=%d", r);
        if (r == ISAM_END) r = f.Unlock();
    }
    if (r == 0) r = f.Close();
    return r;
}

// The second ';'-separated field of a device key, when the key has all five fields and the
// field can be an address.
bool AddressOf(const std::string& key, std::string& address) {
    size_t separators = 0;
    for (char c : key) separators += c == ';';
    if (separators < 4) return false;
    size_t first = key.find(';');
    size_t second = key.find(';', first + 1);
    address = key.substr(first + 1, second - first - 1);
    return address.size() < 16;
}

void RegisterHostNames() {
    if (DBMgrInitialize() != 0) {
        DB_ERROR("QMDBMGR: IPHostRegist[ER_OUT] nRet=%d", -1);
        return;
    }
    DBHANDLE h = DBOpenDeviceKeyInGroup(nullptr);
    if (h == DB_NO_HANDLE) {
        DBMgrRelease();
        DB_ERROR("QMDBMGR: IPHostRegist[ER_OUT] hDeviceKeyHandle=%ld", h);
        return;
    }
    LookupFunction lookup = Resolver();
    for (;;) {
        char* key = nullptr;
        int length = 0;
        int r = DBReadDeviceKeyInGroup(h, &key, &length);
        if (r != 0) {
            DBCloseDeviceKeyInGroup(h);
            DBMgrRelease();
            DB_ERROR("QMDBMGR: IPHostRegist[ER_OUT] nRet=%d", r);
                return;
        }
        if (length == 0) break;
        if (BackgroundStopping()) {
            DB_TRACE("QMDBMGR: IPHostRegist ended early: the library is unloading");
            break;
        }
        std::string address;
        if (!AddressOf(std::string(key, length), address) || !lookup) continue;
        char name[128] = {};
        if (!lookup(address.c_str(), name, sizeof name)) continue;
        // A name too long for the host name field is skipped rather than stored cut, and
        // does not end the registration of the devices after it.
        if (std::strlen(name) >= 64) {
            DB_TRACE("QMDBMGR: IPHostRegist host name of %s too long, skipped", address.c_str());
            continue;
        }
        r = DBWriteIPHostName(address.c_str(), name);
        if (r != 0) {
            DBCloseDeviceKeyInGroup(h);
            DBMgrRelease();
            DB_ERROR("QMDBMGR: IPHostRegist[ER_OUT] nRet=%d", r);
                return;
        }
    }
    DBCloseDeviceKeyInGroup(h);
    DBMgrRelease();
    DB_TRACE("QMDBMGR: IPHostRegist[OUT] _endthread()");
}

void StartRegistration() {
    if (!StartBackground(RegisterHostNames)) DB_ERROR("QMDBMGR: IPHostRegist[ER_OUT] nRet=%d", -1);
}

// One read step: the entry after the handle's last one, or the group's first.
// Result 0 with found=false means the end of the group's list.
int NextMember(const StoreApi& s, Handle& h, bool& found) {
    found = false;
    File f(s, FileId::DevList);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) return 0;
    if (r == 0) r = f.Lock();
    unsigned char entry[kDevListLength];
    if (r == 0) {
        if (h.recordIndex == 0 || h.lastPosition == 0) {
            NumberKey key(f, 1, h.groupKey);
            r = s.FRSSET(f.index(1), key.bytes, entry, 4);
        } else {
            // Duplicates of index 1 end with the record position: the entry after the last
            // one read is the first key greater than (group, position).
            NumberKey key(f, 1, h.groupKey);
            auto pos = static_cast<uint32_t>(h.lastPosition);
            for (int i = 0; i < 4; ++i)
                key.bytes[4 + i] = static_cast<unsigned char>(pos >> (24 - 8 * i));
            r = s.GTREC(f.index(1), key.bytes, entry);
            if (r == 0 && GetNumber(entry + kMemberGroupOffset) != h.groupKey) r = ISAM_END;
        }
        if (r == 0) {
            found = true;
            h.lastPosition = s.GETCURP(f.data());
            std::string key = FieldText(entry + kMemberKeyOffset, kMemberKeyWidth);
            std::memcpy(h.buffer, key.c_str(), key.size() + 1);
            h.length = static_cast<int>(key.size());
        } else if (r == ISAM_END) {
            r = 0;
        }
    }
    if (r == 0) r = f.Unlock();
    if (r == 0) r = f.Close();
    return r;
}

// The opening of a write or delete through a member handle: the trace, the handle, the key
// and the store; null after the failing check's "[ER_OUT]" line.
const StoreApi* BeginOnHandle(const DbFrame& frame, DBHANDLE hHandle, const char* lpszDKey,
                              std::shared_ptr<Handle>& h) {
    frame.In("hHandle=%ld, lpszDKey=%s", hHandle, Shown(lpszDKey));
    h = Find(hHandle);
    if (!h) {
        frame.Fail("hHandle=%ld", hHandle);
        return nullptr;
    }
    if (!frame.Text(lpszDKey, kMemberKeyWidth, "lpszDKey")) return nullptr;
    return frame.Store();
}

}  // namespace
}  // namespace qm::confdb

using namespace qm::confdb;

extern "C" DBHANDLE DBOpenDeviceKeyInGroup(const char* lpszGroup) {
    return DbCall("DBOpenDeviceKeyInGroup", [&](const DbFrame& frame) -> DBHANDLE {
        frame.In("lpszGroup=%s", Shown(lpszGroup));
        const StoreApi* s = frame.Store();
        if (!s) return DB_NO_HANDLE;
        auto h = std::make_shared<Handle>();
        if (lpszGroup) {
            if (!frame.Fits(lpszGroup, kGroupNameWidth, "lpszGroup")) return DB_NO_HANDLE;
            File f(*s, FileId::Group);
            std::vector<unsigned char> rec(kGroupLength);
            int r = OpenGroups(f, false);
            if (r == 0) r = GroupByName(f, lpszGroup, rec.data());
            if (r == 0) r = f.Close();
            if (r != 0) return frame.Fail("nRet=%d", r);
            h->groupKey = GetNumber(rec.data() + kGroupNumberOffset);
            h->groupName = lpszGroup;
        }
        const DBHANDLE id = Handles().Add(h);
        if (id == 0) return frame.Fail("nRet=%d", -1);
        return frame.Out(id, "m_nGroupKey=%d", static_cast<int>(h->groupKey));
    }, DB_NO_HANDLE);
}

extern "C" int DBReadDeviceKeyInGroup(DBHANDLE hHandle, char** lppszDKey, int* pnLength) {
    return DbCall("DBReadDeviceKeyInGroup", [&](const DbFrame& frame) -> int {
        frame.In("hHandle=%ld", hHandle);
        static char empty[1] = "";
        if (lppszDKey) *lppszDKey = empty;
        if (pnLength) *pnLength = 0;
        auto h = Find(hHandle);
        if (!h) return frame.Fail("hHandle=%ld", hHandle);
        if (!frame.NotNull(lppszDKey, "lppszDKey") || !frame.NotNull(pnLength, "pnLength")) return -1;
        const StoreApi* s = frame.Store();
        if (!s) return -1;
        std::lock_guard lock(h->mutex);
        bool found = false;
        int r = 0;
        for (int waited = 0;; ++waited) {
            r = NextMember(*s, *h, found);
            if (r != 0 || found || h->groupKey != 0 || !Rewriting()) break;
            // The end of group 0 while its list is being rewritten: more keys are coming.
            if (waited >= RewriteWaitSteps()) {
                frame.Fail("rewrite did not end, waited %d s", waited);
                break;
            }
            Pause();
        }
        if (r != 0) return frame.Fail("nRet=%d", r);
        if (found) {
            ++h->recordIndex;
            *lppszDKey = h->buffer;
            *pnLength = h->length;
        }
        return frame.Out(0, "lpszDKey=%s", *lppszDKey);
    });
}

extern "C" int DBWriteDeviceKeyInGroup(DBHANDLE hHandle, const char* lpszDKey) {
    return DbCall("DBWriteDeviceKeyInGroup", [&](const DbFrame& frame) -> int {
        std::shared_ptr<Handle> h;
        const StoreApi* s = BeginOnHandle(frame, hHandle, lpszDKey, h);
        if (!s) return -1;
        std::lock_guard lock(h->mutex);
        if (h->groupKey == 0) {
            if (h->recordIndex == 0 && !h->writer) {
                bool mine = false;
                {
                    std::lock_guard section(RewriteSection());
                    if (!RewriteFlag()) RewriteFlag() = mine = true;
                }
                if (mine) {
                    int r = ClearAllDevices(*s);
                    if (r != 0) {
                        // Readers wait while the flag is set: a rewrite that cannot start must
                        // not leave it set with no writer to clear it.
                        {
                            std::lock_guard section(RewriteSection());
                            RewriteFlag() = false;
                        }
                        return frame.Fail("nRet=%d", r);
                    }
                    h->writer = true;
                }
            }
            if (!h->writer) {
                ++h->recordIndex;
                return frame.Out(0, "Ret=0(not write)");
            }
        }
        File f(*s, FileId::DevList);
        bool created;
        int r = f.OpenOrCreate(created);
        if (r == 0) r = AddMember(f, h->groupKey, lpszDKey);
        if (r == 0) r = f.Close();
        if (r != 0) return frame.Fail("nRet=%d", r);
        ++h->recordIndex;
        return frame.Out(0, "Ret=0(write)");
    });
}

extern "C" int DBDeleteDeviceKeyInGroup(DBHANDLE hHandle, const char* lpszDKey) {
    return DbCall("DBDeleteDeviceKeyInGroup", [&](const DbFrame& frame) -> int {
        std::shared_ptr<Handle> h;
        const StoreApi* s = BeginOnHandle(frame, hHandle, lpszDKey, h);
        if (!s) return -1;
        std::lock_guard lock(h->mutex);
        File f(*s, FileId::DevList);
        int r = f.Open();
        if (r == ISAM_FILE_MISSING) {
            return frame.Out(0, "Ret=0");
        }
        if (r == 0) r = f.Lock();
        if (r == 0) {
            NumberKey key(f, 2, h->groupKey, lpszDKey);
            unsigned char entry[kDevListLength];
            r = s->EQLREC(f.index(2), key.bytes, entry);
            if (r == 0) r = s->DELREC(f.data());
            else if (r == ISAM_END) r = 0;
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}

extern "C" int DBCloseDeviceKeyInGroup(DBHANDLE hHandle) {
    return DbCall("DBCloseDeviceKeyInGroup", [&](const DbFrame& frame) -> int {
        frame.In("hHandle=%ld", hHandle);
        if (hHandle == DB_NO_HANDLE) {
            return frame.Out(0, "Ret=0");
        }
        std::shared_ptr<Handle> h = Take(hHandle);
        if (!h) return frame.Fail("hHandle=%ld", hHandle);
        std::lock_guard lock(h->mutex);
        if (h->writer) {
            {
                std::lock_guard section(RewriteSection());
                RewriteFlag() = false;
            }
            StartRegistration();
        }
        return frame.Out(0, "Ret=0");
    });
}

extern "C" int DBConvDeviceKeyInGroup(const char* lpszDKey, const char* lpszNewDkey) {
    return DbCall("DBConvDeviceKeyInGroup", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszDKey", lpszDKey, kMemberKeyWidth}, {"lpszNewDkey", lpszNewDkey, kMemberKeyWidth}});
        if (!s) return -1;
        // Entries of group 0 may only change while no rewrite runs; holding the section for the
        // whole rename keeps a new rewrite from starting half-way. The store lock is taken only
        // after the wait, as the rewriter needs the store to finish.
        std::unique_lock section(RewriteSection());
        for (int waited = 0; RewriteFlag(); ++waited) {
            if (waited >= RewriteWaitSteps())
                return frame.Fail("rewrite did not end, waited %d s", waited);
            section.unlock();
            Pause();
            section.lock();
        }
        File f(*s, FileId::DevList);
        int r = f.Open();
        if (r == 0) r = f.Lock();
        if (r == 0) {
            unsigned char key[68] = {};
            std::memcpy(key, lpszDKey, strnlen(lpszDKey, 64));
            unsigned char entry[kDevListLength];
            // The whole 64-byte key: keys that differ only in their last character are others.
            r = s->FRSSET(f.index(3), key, entry, 64);
            while (r == 0) {
                PutText(entry + kMemberKeyOffset, kMemberKeyWidth, lpszNewDkey);
                r = s->RWTREC(f.data(), entry);
                // The group holds the new key already: the old entry is simply dropped.
                if (r == ISAM_KEY_DUPLICATE)
                    r = s->DELREC(f.data());
                else if (r == 0)
                    r = s->UPDCURI(f.data(), 2);
                if (r == 0) r = s->NXTSET(f.index(3), entry);
            }
            if (r == ISAM_END) r = 0;
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}
