// qmisamls: lists the records of an ISAM file set for administrators and for debugging.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "qm/platform/owners.h"
#include "qm/platform/paths.h"
#include "qm/platform/tool_options.h"
#include "../src/keys.h"

namespace {

constexpr const char* kUsage =
    "usage: qmisamls [options] FILESET\n"
    "Lists the records of an ISAM file set, read-only.\n"
    "FILESET is the data file as the programs name it (..\\\\conf\\\\QMDEVICE or\n"
    "../conf/QMDEVICE) or the SQLite file itself (QMDEVICE.dat).\n"
    "Each record is shown as its position and the runs of text and bytes it holds,\n"
    "each with its offset: @4 \"text\" or @4 <01 00 00 00>.\n"
    "options:\n"
    "  --index N   list in the order of index N (1-based); default: record position\n"
    "  --keys      also show each record's index keys in hexadecimal\n"
    "  --hex       show every record as a full hexadecimal dump instead\n"
    "  --count     print only the number of records\n"
    "  --check     check the file: SQLite's integrity check, then every record's length and\n"
    "              index keys against the layout the file holds; prints \"ok\" and the number\n"
    "              of records, or each fault found, and ends with 1 when there is one\n"
    "  --root DIR  installation root (default: $QM_ROOT, else the parent of bin/)\n"
    "  --help      this text\n";

struct Options {
    std::string path;
    int index = 0;
    bool keys = false;
    bool hex = false;
    bool count = false;
    bool check = false;
};

std::string Hex(const unsigned char* p, int n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 0x0F];
    }
    return s;
}

// Runs of printable text as quoted strings, other non-zero runs as bytes; zero bytes are gaps.
std::string Render(const unsigned char* p, int n) {
    std::string out;
    int i = 0;
    while (i < n) {
        if (p[i] == 0) {
            ++i;
            continue;
        }
        int start = i;
        bool text = p[i] >= 0x20 && p[i] < 0x7F;
        while (i < n && p[i] != 0 && (p[i] >= 0x20 && p[i] < 0x7F) == text) ++i;
        out += " @" + std::to_string(start) + " ";
        if (text) {
            out += '"';
            for (int j = start; j < i; ++j) {
                if (p[j] == '"' || p[j] == '\\') out += '\\';
                out += static_cast<char>(p[j]);
            }
            out += '"';
        } else {
            out += "<" + Hex(p + start, i - start) + ">";
        }
    }
    return out.empty() ? " (all zero)" : out;
}

void DumpHex(const unsigned char* p, int n) {
    for (int at = 0; at < n; at += 16) {
        int len = std::min(16, n - at);
        std::string ascii;
        for (int j = 0; j < len; ++j)
            ascii += (p[at + j] >= 0x20 && p[at + j] < 0x7F) ? static_cast<char>(p[at + j]) : '.';
        std::printf("  %04x  %-47s  %s\n", at, Hex(p + at, len).c_str(), ascii.c_str());
    }
}

std::string FilePath(const std::string& given) {
    std::string p = qm::platform::ToPosixPath(given);
    struct stat st {};
    if (p.size() > 4 && p.compare(p.size() - 4, 4, ".dat") == 0 && stat(p.c_str(), &st) == 0) return p;
    return p + ".dat";
}

// What a process killed in the middle of a write could leave behind: pages SQLite no longer
// agrees with, a record of the wrong length, or index keys that do not belong to their record
// (lookups by those keys would then miss or find the wrong record). Faults are printed one a
// line, at most `kMaxFaults` of them; the result is the number found.
int CheckFile(sqlite3* db, const std::string& path, const std::string& layoutText, int indexes) {
    constexpr int kMaxFaults = 20;
    int faults = 0;
    auto fault = [&](const std::string& what) {
        if (faults++ < kMaxFaults) std::printf("fault: %s: %s\n", path.c_str(), what.c_str());
    };
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK) {
        fault(std::string("integrity check not run: ") + sqlite3_errmsg(db));
        return faults;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        const char* line = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        if (!line || std::strcmp(line, "ok") != 0) fault(std::string("integrity: ") + (line ? line : "?"));
    }
    sqlite3_finalize(st);
    qm::isam::Layout layout;
    if (!qm::isam::Layout::FromDescription(layoutText, layout)) {
        fault("the layout \"" + layoutText + "\" cannot be read");
        return faults;
    }
    if (static_cast<int>(layout.indexes.size()) != indexes) {
        fault("the layout names " + std::to_string(layout.indexes.size()) + " indexes, the table has " +
              std::to_string(indexes));
        return faults;
    }
    std::string sql = "SELECT pos, data";
    for (int k = 1; k <= indexes; ++k) sql += ", k" + std::to_string(k);
    sql += " FROM records ORDER BY pos";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        fault(std::string("records not read: ") + sqlite3_errmsg(db));
        return faults;
    }
    long records = 0;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ++records;
        const sqlite3_int64 pos = sqlite3_column_int64(st, 0);
        const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
        const int len = sqlite3_column_bytes(st, 1);
        const std::string at = "record " + std::to_string(pos);
        if (len != layout.recordLength) {
            fault(at + " has " + std::to_string(len) + " bytes, the layout " + std::to_string(layout.recordLength));
            continue;
        }
        std::span<const unsigned char> record(data, static_cast<size_t>(len));
        for (int k = 1; k <= indexes; ++k) {
            if (sqlite3_column_type(st, 1 + k) == SQLITE_NULL) {
                fault(at + " has no key of index " + std::to_string(k));
                continue;
            }
            const auto* key = static_cast<const char*>(sqlite3_column_blob(st, 1 + k));
            const std::string stored(key ? key : "", static_cast<size_t>(sqlite3_column_bytes(st, 1 + k)));
            if (stored != qm::isam::KeyFromRecord(layout.indexes[static_cast<size_t>(k - 1)], record, pos))
                fault(at + ": the key of index " + std::to_string(k) + " is not the record's");
        }
    }
    if (rc != SQLITE_DONE) fault(std::string("records not read to the end: ") + sqlite3_errmsg(db));
    sqlite3_finalize(st);
    if (faults > kMaxFaults) std::printf("fault: %s: %d more\n", path.c_str(), faults - kMaxFaults);
    if (faults == 0) std::printf("ok: %s: %ld records, %d indexes\n", path.c_str(), records, indexes);
    return faults;
}

int Columns(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    int n = 0;
    if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('records')", -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            if (name && name[0] == 'k') ++n;
        }
    }
    sqlite3_finalize(st);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    qm::platform::ToolOptions options("qmisamls", kUsage);
    options.OptionsAnywhere()
        .Flag("keys", &o.keys)
        .Flag("hex", &o.hex)
        .Flag("count", &o.count)
        .Flag("check", &o.check)
        .Value("index", [&o](const char* v) {
            char* end = nullptr;
            long n = std::strtol(v, &end, 10);
            if (!end || *end || n < 1 || n > 32) return false;
            o.index = static_cast<int>(n);
            return true;
        });
    if (auto exit = options.Parse(argc, argv)) return *exit;
    if (options.operands().empty()) return options.UsageText();
    if (options.operands().size() > 1) return options.Usage("one FILESET only");
    o.path = options.operands()[0];
    std::string path = FilePath(o.path);
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    qm::platform::UniqueSqlite owner(raw);
    sqlite3* db = owner.get();
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "qmisamls: cannot open %s: %s\n", path.c_str(), db ? sqlite3_errmsg(db) : "");
        return qm::platform::kExitFailure;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT layout FROM fileset", -1, &st, nullptr) != SQLITE_OK ||
        sqlite3_step(st) != SQLITE_ROW) {
        std::fprintf(stderr, "qmisamls: %s is not an ISAM file set\n", path.c_str());
        sqlite3_finalize(st);
        return qm::platform::kExitFailure;
    }
    std::string layout = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    const int indexes = Columns(db);
    if (o.index > indexes) {
        return options.Usage("the file set has " + std::to_string(indexes) + " indexes");
    }
    if (o.check) {
        return CheckFile(db, path, layout, indexes) == 0 ? qm::platform::kExitOk
                                                         : qm::platform::kExitFailure;
    }
    std::string cols = "pos, data";
    for (int k = 1; k <= indexes; ++k) cols += ", k" + std::to_string(k);
    std::string sql = o.count ? "SELECT count(*) FROM records"
                              : "SELECT " + cols + " FROM records ORDER BY " +
                                    (o.index ? "k" + std::to_string(o.index) : std::string("pos"));
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "qmisamls: %s\n", sqlite3_errmsg(db));
        return qm::platform::kExitFailure;
    }
    if (o.count) {
        if (sqlite3_step(st) == SQLITE_ROW) std::printf("%lld\n", sqlite3_column_int64(st, 0));
    } else {
        std::printf("# %s: %s\n", path.c_str(), layout.c_str());
        long n = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++n;
            const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
            int len = sqlite3_column_bytes(st, 1);
            std::printf("%lld:", sqlite3_column_int64(st, 0));
            if (o.hex) {
                std::printf("\n");
                DumpHex(data, len);
            } else {
                std::printf("%s\n", Render(data, len).c_str());
            }
            for (int k = 1; o.keys && k <= indexes; ++k) {
                const auto* key = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1 + k));
                std::printf("  key %d: %s\n", k, Hex(key, sqlite3_column_bytes(st, 1 + k)).c_str());
            }
        }
        std::printf("# %ld records\n", n);
    }
    sqlite3_finalize(st);
    return qm::platform::kExitOk;
}
