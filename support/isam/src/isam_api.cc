// The exported ISAM calls: per-thread contexts of open file sets, current records and walks.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "keys.h"
#include "qm/platform/paths.h"
#include "qmisam.h"
#include "sqlite_file.h"

namespace qm::isam {
namespace {

// Where an index walk stands: the key last visited and, for set walks, the shared prefix.
struct Walk {
    bool valid = false;
    std::string key;
    bool isSet = false;
    std::string prefix;
};

struct OpenSet {
    int number = 0;
    std::unique_ptr<SqliteFile> file;
    int64_t current = 0;  // position of the current record, 0 for none
    std::vector<Walk> walks;
};

// Connections of closed file sets kept for the next open of the same file: callers open and
// close around every single call, and a fresh SQLite connection (open, schema, statements)
// costs far more than the call itself.
constexpr size_t kIdleConnections = 16;

// Connections of contexts that ended (CLISAM, thread exit), for the next context of any
// thread: the notification database and the web side's request threads start and end a
// context around every call, and each new connection would cost an open, a schema check,
// fresh statements and, as the file's last connection, a checkpoint when it closes. Never
// destroyed, as threads may still hand connections back while the process exits.
constexpr size_t kPooledConnections = 32;

struct Pool {
    std::mutex mutex;
    std::vector<std::unique_ptr<SqliteFile>> files;
};

Pool& SharedPool() {
    static Pool* pool = new Pool;
    return *pool;
}

struct Context {
    std::map<int, std::unique_ptr<OpenSet>> sets;  // by data file number
    std::vector<std::unique_ptr<SqliteFile>> idle;
    bool locked = false;

    ~Context() {
        // Closing commits whatever a lock span wrote, as a closed file keeps its changes.
        for (auto& [n, s] : sets) s->file.reset();
        Pool& pool = SharedPool();
        std::lock_guard lock(pool.mutex);
        for (auto& f : idle) {
            if (pool.files.size() >= kPooledConnections) pool.files.erase(pool.files.begin());
            pool.files.push_back(std::move(f));
        }
    }

    std::unique_ptr<SqliteFile> TakeIdle(const std::string& path, const std::string& describe) {
        for (auto it = idle.begin(); it != idle.end(); ++it) {
            if ((*it)->path() != path) continue;
            std::unique_ptr<SqliteFile> f = std::move(*it);
            idle.erase(it);
            if (f->Reusable(path, describe)) return f;
            return nullptr;  // stale: dropped
        }
        std::unique_ptr<SqliteFile> f;
        {
            Pool& pool = SharedPool();
            std::lock_guard lock(pool.mutex);
            for (auto it = pool.files.begin(); it != pool.files.end(); ++it) {
                if ((*it)->path() != path) continue;
                f = std::move(*it);
                pool.files.erase(it);
                break;
            }
        }
        if (f && f->Reusable(path, describe)) return f;
        return nullptr;  // none, or stale (dropped outside the pool's lock)
    }
    void GiveIdle(std::unique_ptr<SqliteFile> f) {
        if (idle.size() >= kIdleConnections) idle.erase(idle.begin());
        idle.push_back(std::move(f));
    }

    OpenSet* ByData(int number) {
        auto it = sets.find(number);
        return it == sets.end() ? nullptr : it->second.get();
    }
    // The set that owns index number `number`, and the index inside it.
    OpenSet* ByIndex(int number, size_t& index) {
        auto it = sets.upper_bound(number);
        if (it == sets.begin()) return nullptr;
        --it;
        OpenSet* s = it->second.get();
        int k = number - s->number - 1;
        if (k < 0 || k >= static_cast<int>(s->file->layout().indexes.size())) return nullptr;
        index = static_cast<size_t>(k);
        return s;
    }
    bool RangeFree(int first, int count) const {
        for (const auto& [n, s] : sets) {
            int end = n + 1 + static_cast<int>(s->file->layout().indexes.size());
            if (first < end && n < first + count) return false;
        }
        return true;
    }
};

thread_local std::unique_ptr<Context> t_context;

Context& Ctx() {
    // A thread that skipped INTISAM still gets a context rather than a crash.
    if (!t_context) t_context = std::make_unique<Context>();
    return *t_context;
}

std::string PathOf(const IsamFileSet& def) {
    return platform::ToPosixPath(def.fileName) + ".dat";
}

int OpenInto(IsamFileSet* def, bool create) {
    if (!def || !def->fileName || !*def->fileName) return ISAM_BAD_DEFINITION;
    Layout layout;
    if (!Layout::FromDefinition(*def, layout)) return ISAM_BAD_DEFINITION;
    const std::string path = PathOf(*def);
    Context& ctx = Ctx();
    const int span = 1 + static_cast<int>(layout.indexes.size());
    int number = def->dataFileNumber;
    if (number >= 0) {
        if (!ctx.RangeFree(number, span)) return ISAM_NUMBER_IN_USE;
    } else {
        number = 1;
        while (!ctx.RangeFree(number, span)) ++number;
    }
    if (create) {
        int r = SqliteFile::Create(path, layout);
        if (r != ISAM_OK) return r;
    }
    auto set = std::make_unique<OpenSet>();
    set->file = ctx.TakeIdle(path, layout.Describe());
    if (!set->file) {
        int r = SqliteFile::Open(path, layout, set->file);
        if (r != ISAM_OK) return r;
    }
    int r = ISAM_OK;
    if (ctx.locked) {
        r = set->file->Begin();
        if (r != ISAM_OK) return r;
    }
    set->number = number;
    set->walks.resize(layout.indexes.size());
    def->dataFileNumber = number;
    ctx.sets[number] = std::move(set);
    return ISAM_OK;
}

void CopyOut(const Row& row, const SqliteFile& file, void* record) {
    if (record) std::memcpy(record, row.data.data(), file.layout().recordLength);
}

// One positioning call on an index: finds the row, makes it current and moves the walk.
int Position(int number, Seek how, const std::string& key, void* record, bool isSet,
             const std::string& prefix) {
    size_t k = 0;
    OpenSet* s = Ctx().ByIndex(number, k);
    if (!s) return ISAM_BAD_FILE_NUMBER;
    Row row;
    int r = s->file->Find(k, how, key, row);
    if (r != ISAM_OK) return r;
    if (isSet && row.key.compare(0, prefix.size(), prefix) != 0) return ISAM_END;
    s->current = row.position;
    Walk& w = s->walks[k];
    w.valid = true;
    w.key = row.key;
    w.isSet = isSet;
    w.prefix = prefix;
    CopyOut(row, *s->file, record);
    return ISAM_OK;
}

std::string KeyArg(int number, const void* key, size_t limit = SIZE_MAX) {
    size_t k = 0;
    OpenSet* s = Ctx().ByIndex(number, k);
    if (!s || !key) return {};
    size_t n = static_cast<size_t>(s->file->layout().indexes[k].keyLength);
    return std::string(static_cast<const char*>(key), std::min(n, limit));
}

// Continues a walk forwards or backwards from the key it last visited.
int Step(int number, void* record, bool forward, bool isSet) {
    size_t k = 0;
    OpenSet* s = Ctx().ByIndex(number, k);
    if (!s) return ISAM_BAD_FILE_NUMBER;
    Walk w = s->walks[k];
    if (!w.valid || (isSet && !w.isSet)) return ISAM_NO_CURRENT;
    return Position(number, forward ? Seek::Greater : Seek::Less, w.key, record, isSet,
                    isSet ? w.prefix : std::string());
}

}  // namespace
}  // namespace qm::isam

using namespace qm::isam;

extern "C" {

int ctThrdInit(int, long, long) { return ISAM_OK; }
int ctThrdTerm(void) { return ISAM_OK; }
void ctThrdExit(void) { t_context.reset(); }

int ctThrdCreate(IsamThreadFunction function, void* argument, long, long) {
    if (!function) return ISAM_BAD_DEFINITION;
    try {
        std::thread([function, argument] {
            function(argument);
            t_context.reset();
        }).detach();
    } catch (...) {
        return ISAM_IO_ERROR;
    }
    return ISAM_OK;
}

int INTISAM(int, int, int) {
    if (t_context) return ISAM_ALREADY_INIT;
    t_context = std::make_unique<Context>();
    return ISAM_OK;
}

int CLISAM(void) {
    t_context.reset();
    return ISAM_OK;
}

int OPNIFIL(IsamFileSet* definition) { return OpenInto(definition, false); }
int CREIFIL(IsamFileSet* definition) { return OpenInto(definition, true); }

int CLIFIL(IsamFileSet* definition) {
    if (!definition) return ISAM_BAD_DEFINITION;
    Context& ctx = Ctx();
    auto it = ctx.sets.find(definition->dataFileNumber);
    if (it == ctx.sets.end()) return ISAM_BAD_FILE_NUMBER;
    int r = it->second->file->Commit();
    if (r == ISAM_OK) ctx.GiveIdle(std::move(it->second->file));
    ctx.sets.erase(it);
    return r;
}

int CMPIFIL(IsamFileSet* definition) {
    if (!definition || !definition->fileName) return ISAM_BAD_DEFINITION;
    const std::string path = PathOf(*definition);
    auto& idle = Ctx().idle;
    std::erase_if(idle, [&](const auto& f) { return f->path() == path; });
    std::vector<std::unique_ptr<SqliteFile>> dropped;  // closed outside the pool's lock
    {
        Pool& pool = SharedPool();
        std::lock_guard lock(pool.mutex);
        for (auto it = pool.files.begin(); it != pool.files.end();) {
            if ((*it)->path() == path) {
                dropped.push_back(std::move(*it));
                it = pool.files.erase(it);
            } else {
                ++it;
            }
        }
    }
    dropped.clear();
    return SqliteFile::Compact(path);
}

int ADDREC(int dataFile, const void* record) {
    OpenSet* s = Ctx().ByData(dataFile);
    if (!s) return ISAM_BAD_FILE_NUMBER;
    if (!record) return ISAM_BAD_DEFINITION;
    int64_t pos = 0;
    int r = s->file->Insert(static_cast<const unsigned char*>(record), pos);
    if (r == ISAM_OK) s->current = pos;
    return r;
}

int RWTREC(int dataFile, const void* record) {
    OpenSet* s = Ctx().ByData(dataFile);
    if (!s) return ISAM_BAD_FILE_NUMBER;
    if (!record) return ISAM_BAD_DEFINITION;
    if (s->current == 0) return ISAM_NO_CURRENT;
    return s->file->Update(s->current, static_cast<const unsigned char*>(record));
}

int DELREC(int dataFile) {
    OpenSet* s = Ctx().ByData(dataFile);
    if (!s) return ISAM_BAD_FILE_NUMBER;
    if (s->current == 0) return ISAM_NO_CURRENT;
    int r = s->file->Delete(s->current);
    if (r == ISAM_OK) s->current = 0;
    return r;
}

int EQLREC(int index, const void* key, void* record) {
    if (!key) return ISAM_BAD_DEFINITION;
    return Position(index, Seek::Equal, KeyArg(index, key), record, false, {});
}
int GTREC(int index, const void* key, void* record) {
    if (!key) return ISAM_BAD_DEFINITION;
    return Position(index, Seek::Greater, KeyArg(index, key), record, false, {});
}
int GTEREC(int index, const void* key, void* record) {
    if (!key) return ISAM_BAD_DEFINITION;
    return Position(index, Seek::GreaterEqual, KeyArg(index, key), record, false, {});
}
int FRSREC(int index, void* record) { return Position(index, Seek::First, {}, record, false, {}); }
int LSTREC(int index, void* record) { return Position(index, Seek::Last, {}, record, false, {}); }
int NXTREC(int index, void* record) { return Step(index, record, true, false); }
int PRVREC(int index, void* record) { return Step(index, record, false, false); }

int FRSSET(int index, const void* key, void* record, int significant) {
    if (!key || significant < 0) return ISAM_BAD_DEFINITION;
    std::string prefix = KeyArg(index, key, static_cast<size_t>(significant));
    return Position(index, Seek::GreaterEqual, prefix, record, true, prefix);
}

int LSTSET(int index, const void* key, void* record, int significant) {
    if (!key || significant < 0) return ISAM_BAD_DEFINITION;
    std::string prefix = KeyArg(index, key, static_cast<size_t>(significant));
    std::string bound = PrefixUpperBound(prefix);
    return bound.empty() ? Position(index, Seek::Last, {}, record, true, prefix)
                         : Position(index, Seek::Less, bound, record, true, prefix);
}

int NXTSET(int index, void* record) { return Step(index, record, true, true); }
int PRVSET(int index, void* record) { return Step(index, record, false, true); }

void* TFRMKEY(int index, void* key) {
    size_t k = 0;
    OpenSet* s = Ctx().ByIndex(index, k);
    if (!s || !key) return nullptr;
    TransformKey(s->file->layout().indexes[k], static_cast<unsigned char*>(key));
    return key;
}

int LKISAM(int mode) {
    Context& ctx = Ctx();
    if (mode == ISAM_LOCK_FREE) {
        int result = ISAM_OK;
        for (auto& [n, s] : ctx.sets) {
            int r = s->file->Commit();
            if (result == ISAM_OK) result = r;
        }
        ctx.locked = false;
        return result;
    }
    if (ctx.locked) return ISAM_OK;
    // Taking the files in name order keeps two lockers of the same files from waiting on
    // each other in opposite orders.
    std::vector<OpenSet*> order;
    for (auto& [n, s] : ctx.sets) order.push_back(s.get());
    std::sort(order.begin(), order.end(),
              [](OpenSet* a, OpenSet* b) { return a->file->path() < b->file->path(); });
    for (OpenSet* s : order) {
        int r = s->file->Begin();
        if (r != ISAM_OK) {
            for (OpenSet* t : order) t->file->Rollback();
            return r;
        }
    }
    ctx.locked = true;
    return ISAM_OK;
}

int UPDCURI(int dataFile, int) {
    OpenSet* s = Ctx().ByData(dataFile);
    if (!s) return ISAM_BAD_FILE_NUMBER;
    if (s->current == 0) return ISAM_NO_CURRENT;
    Row row;
    return s->file->ReadAt(s->current, row);
}

long GETCURP(int dataFile) {
    OpenSet* s = Ctx().ByData(dataFile);
    return s ? static_cast<long>(s->current) : 0;
}

int SETCURI(int dataFile, long position, void* record, int recordLength) {
    OpenSet* s = Ctx().ByData(dataFile);
    if (!s) return ISAM_BAD_FILE_NUMBER;
    Row row;
    int r = s->file->ReadAt(position, row);
    if (r != ISAM_OK) return r;
    s->current = position;
    const Layout& layout = s->file->layout();
    for (size_t k = 0; k < layout.indexes.size(); ++k) {
        Walk& w = s->walks[k];
        w.valid = true;
        w.key = KeyFromRecord(layout.indexes[k], row.data, position);
    }
    if (record && recordLength > 0)
        std::memcpy(record, row.data.data(), std::min(recordLength, layout.recordLength));
    return ISAM_OK;
}

long DATENT(int dataFile) {
    OpenSet* s = Ctx().ByData(dataFile);
    return s ? s->file->Count() : -1;
}

}  // extern "C"
