// One printer poll. The tables are read by column and row rather than by position in the walk,
// so a printer that also shows the index column, or leaves a column out, still yields its rows.
#include "printer_poll.h"

#include <cstring>
#include <map>
#include <tuple>

#include "printer_session.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/platform/clock.h"
#include "QBUtil.h"

namespace qm::monitor {

namespace {

constexpr char kAlertEntry[] = "1.3.6.1.2.1.43.18.1.1";
constexpr char kSuppliesEntry[] = "1.3.6.1.2.1.43.11.1.1";
constexpr char kCounterEntry[] = "1.3.6.1.2.1.43.10.2.1";
constexpr size_t kMaxRecordText = 511;

std::string Join(std::initializer_list<std::string> fields) {
    std::string s;
    for (const auto& f : fields) {
        if (!s.empty()) s += '\n';
        s += f;
    }
    return s;
}

std::string N(int64_t v) { return std::to_string(v); }

std::string Description(const std::string& text) { return text.empty() ? " " : text; }

// Keeps a record inside its limit by shortening the description, the only free-length field.
std::string Fit(std::string head, const std::string& description, const std::string& tail) {
    const size_t room = kMaxRecordText - std::min(kMaxRecordText, head.size() + tail.size() + 2);
    return head + "\n" + description.substr(0, std::max<size_t>(room, 1)) + "\n" + tail;
}

uint32_t DeviceIndex(const std::string& key5) {
    if (key5.empty()) return 1;
    char* end = nullptr;
    unsigned long v = std::strtoul(key5.c_str(), &end, 16);
    return (end && *end == '\0' && v > 0 && v <= 0xFFFFFFFFul) ? static_cast<uint32_t>(v) : 1;
}

std::optional<int64_t> Number(const TableWalk& t, uint32_t column, uint32_t row) {
    const Binding* b = t.At(column, row);
    if (!b) return std::nullopt;
    auto v = DecodeValue(b->value);
    if (!v || v->isText) return std::nullopt;
    return v->number;
}

class Poll {
public:
    Poll(const PollHost& host, const PollContext& ctx) : host_(host), ctx_(ctx) {
        flag_ = std::to_string(ctx.recordFlag);
        spare_.assign(68, '\0');
        for (int i = 0; i < 5; ++i) key_[i] = ctx_.keys[i].c_str();
        key_[5] = flag_.c_str();
        key_[6] = spare_.c_str();
        deviceIndex_ = DeviceIndex(ctx_.keys[4]);
    }

    int Run();

private:
    const NtfDbApi& db() const { return *host_.db; }
    int Alerts();
    int NoResponse();
    int Supplies();
    int Counters();
    int ClearMissing(const std::vector<std::tuple<int64_t, int64_t, int64_t, int64_t>>& seen,
                     bool keepAllButNoResponse, int* cleared);
    int Walk(const char* oid, std::vector<Binding>* out, int* requestRc = nullptr);

    const PollHost& host_;
    const PollContext& ctx_;
    PrinterSession session_;
    std::string flag_, spare_;
    const char* key_[7] = {};
    uint32_t deviceIndex_ = 1;
};

int Poll::Walk(const char* oid, std::vector<Binding>* out, int* requestRc) {
    int rc = session_.Request(oid);
    if (requestRc) *requestRc = rc;
    if (rc != 0) return rc;
    return session_.Receive(out);
}

int Poll::Run() {
    if (!session_.initialised()) return -1;
    // Hold the "database in use" marker unless a maintenance pass runs.
    qm::ipc::NamedMutex compacting, inUse;
    bool holdsInUse = false;
    if (compacting.Open(qm::ipc::kDbCompact) != 0) {
        int rc = inUse.Create(qm::ipc::kDbNotCompact);
        holdsInUse = rc == 0 || rc == qm::platform::kErrAlreadyExists;
    } else {
        compacting.Close();
    }
    const auto& due = ctx_.due;
    if (session_.Open(ctx_.keys[1], ctx_.keys[2]) != 0) {
        QbTrace(QB_TRACE_INFO, "QMONMGR", __LINE__, "QMONMGR: printer %s does not answer",
                ctx_.keys[1].c_str());
        if (due[kAlertLog] || due[kNotification]) NoResponse();
    } else {
        if (due[kAlertLog]) Alerts();
        if (due[kSupplies]) Supplies();
        if (due[kCounters]) Counters();
        if (due[kNotification]) Alerts();
    }
    if (holdsInUse) inUse.Close();
    return 0;
}

int Poll::Alerts() {
    const int64_t t = ctx_.alertTime;
    std::vector<Binding> bindings;
    const int requestRc = session_.Request(kAlertEntry);
    std::vector<std::tuple<int64_t, int64_t, int64_t, int64_t>> seen;
    if (requestRc != 0) {
        // The request could not even be sent: the printer counts as not answering, and every
        // alert recorded for it is cleared.
        int onoff = db().DBReadOnOff(key_);
        bool failed = false;
        if (onoff == kDbNoRecord || onoff == 1) {
            std::string text = OnOffText(t, 3);
            if (db().DBSetOnOff(key_, text.c_str(), static_cast<int>(text.size())) == 0) {
                host_.notify(qm::ipc::kMsgNoResponse);
            } else {
                failed = true;
            }
        }
        if (failed) return -1;
    } else {
        if (db().DBDeleteOnOff(key_) != 0) return -1;
        if (session_.Receive(&bindings) != 0) return -1;
        TableWalk table(std::move(bindings), kAlertEntry, deviceIndex_);
        for (uint32_t row : table.Rows(2)) {
            AlertRow a;
            a.index = row == 0 ? 1 : row;
            auto severity = Number(table, 2, row);
            if (!severity) return -1;
            a.severity = *severity;
            // Printers leave columns out; a missing training level reads as unknown (2).
            a.training = Number(table, 3, row).value_or(2);
            a.group = Number(table, 4, row).value_or(0);
            a.groupIndex = Number(table, 5, row).value_or(0);
            a.location = Number(table, 6, row).value_or(0);
            a.code = Number(table, 7, row).value_or(0);
            if (const Binding* d = table.At(8, row)) {
                if (auto v = DecodeValue(d->value); v && v->isText) a.description = v->text;
            }
            a.printerTime = Number(table, 9, row).value_or(0);
            if (a.severity == 1) continue;  // "other": neither recorded nor remembered
            std::string text = AlertRecordText(t, a);
            if (db().DBSetSendData(key_, text.c_str(), static_cast<int>(text.size())) ==
                kDbAlertNew) {
                if (ctx_.due[kAlertLog]) {
                    std::string log = AlertLogText(t, a);
                    if (db().DBSetLogData(key_, log.c_str(), static_cast<int>(log.size())) != 0) {
                        return -1;
                    }
                }
                host_.notify(qm::ipc::kMsgNewAlert);
            }
            seen.emplace_back(a.index, a.group, a.groupIndex, a.code);
        }
    }
    int cleared = 0;
    if (ClearMissing(seen, false, &cleared) != 0) return -1;
    if (cleared > 0) {
        if (ctx_.due[kAlertLog] && ctx_.recordFlag == 0) {
            std::string log = ClearedLogText(t);
            if (db().DBSetLogData(key_, log.c_str(), static_cast<int>(log.size())) != 0) return -1;
        }
        host_.notify(qm::ipc::kMsgAlertCleared);
    }
    return 0;
}

int Poll::ClearMissing(const std::vector<std::tuple<int64_t, int64_t, int64_t, int64_t>>& seen,
                       bool noResponseOnly, int* cleared) {
    *cleared = 0;
    int file = 0;
    if (db().DBOpenStatusDB(&file) != 0) return -1;
    unsigned char rec[kStatusRecordSize] = {};
    // The walk covers the device whose identity the record names.
    static constexpr size_t kOffsets[5] = {0, 12, 28, 52, 68};
    static constexpr size_t kSizes[5] = {12, 16, 24, 16, 8};
    for (int i = 0; i < 5; ++i) {
        std::memcpy(rec + kOffsets[i], ctx_.keys[i].data(),
                    std::min(ctx_.keys[i].size(), kSizes[i] - 1));
    }
    auto get = [&](size_t off) {
        int32_t v;
        std::memcpy(&v, rec + off, sizeof v);
        return static_cast<int64_t>(v);
    };
    int rc;
    while ((rc = db().DBReadStatusDB(file, rec)) == 0) {
        const int64_t index = get(80);
        bool keep;
        if (noResponseOnly) {
            keep = index == 1024;
        } else {
            keep = false;
            for (const auto& s : seen) {
                if (s == std::make_tuple(index, get(84), get(88), get(92))) keep = true;
            }
        }
        if (!keep && db().DBUpdateSendDB(file, 2, rec) == 0) ++*cleared;
    }
    db().DBCloseStatusDB();
    return rc == kDbEndOfWalk ? 0 : -1;
}

int Poll::NoResponse() {
    const int64_t t = ctx_.alertTime;
    std::string text = NoResponseRecordText(t);
    if (db().DBSetSendData(key_, text.c_str(), static_cast<int>(text.size())) != kDbAlertNew) {
        return 0;  // one no-response alert per outage
    }
    std::string onoff = OnOffText(t, 5);
    if (db().DBSetOnOff(key_, onoff.c_str(), static_cast<int>(onoff.size())) != 0) return -1;
    if (ctx_.due[kAlertLog]) {
        std::string log = NoResponseLogText(t);
        if (db().DBSetLogData(key_, log.c_str(), static_cast<int>(log.size())) != 0) return -1;
    }
    int cleared = 0;
    ClearMissing({}, true, &cleared);
    host_.notify(qm::ipc::kMsgNewAlert);
    return 0;
}

int Poll::Supplies() {
    const std::string dev = "." + std::to_string(deviceIndex_);
    std::vector<Binding> all, part;
    for (const char* column : {"5", "8", "9"}) {
        const std::string oid = std::string(kSuppliesEntry) + "." + column + dev;
        if (int rc = Walk(oid.c_str(), &part); rc != 0) return rc;
        for (auto& b : part) all.push_back(std::move(b));
    }
    TableWalk table(std::move(all), kSuppliesEntry, deviceIndex_);
    for (uint32_t row : table.Rows(9)) {
        auto level = Number(table, 9, row);
        if (!level) return -1;
        // Printers without the type column (seen in the field) report their supplies as
        // "other"; an absent capacity reads as unknown (-2).
        const int64_t type = Number(table, 5, row).value_or(1);
        const int64_t max = Number(table, 8, row).value_or(-2);
        std::string text = SuppliesText(ctx_.suppliesTime, type, row, max, *level);
        if (int rc = db().DBSetConsData(key_, text.c_str(), static_cast<int>(text.size())); rc != 0) {
            return rc;
        }
    }
    return 0;
}

int Poll::Counters() {
    std::vector<Binding> bindings;
    const std::string oid = std::string(kCounterEntry);
    if (int rc = Walk(oid.c_str(), &bindings); rc != 0) return rc;
    TableWalk table(std::move(bindings), kCounterEntry, deviceIndex_);
    for (uint32_t row : table.Rows(4)) {
        auto life = Number(table, 4, row);
        if (!life) return -1;
        const int64_t unit = Number(table, 3, row).value_or(0);
        std::string text = CounterText(ctx_.countersTime, unit, *life);
        if (int rc = db().DBSetPrtCntData(key_, text.c_str(), static_cast<int>(text.size())); rc != 0) {
            return rc;
        }
    }
    return 0;
}

}  // namespace

PollContext ContextFromEntry(const MonitoredDevice& e) {
    PollContext c;
    c.keys = e.keys;
    c.recordFlag = e.recordFlag;
    c.due = e.due;
    c.alertTime = e.alertTime;
    c.suppliesTime = e.suppliesTime;
    c.countersTime = e.countersTime;
    return c;
}

std::string AlertRecordText(int64_t time, const AlertRow& a) {
    return Fit(Join({N(time), "1", N(a.index), N(a.severity), N(a.training), N(a.group),
                     N(a.groupIndex), N(a.location), N(a.code)}),
               Description(a.description), N(a.printerTime));
}

std::string AlertLogText(int64_t time, const AlertRow& a) {
    using qm::platform::DateText;
    using qm::platform::TimeText;
    return Fit(Join({DateText(time), TimeText(time), N(a.index), N(a.severity), N(a.training),
                     N(a.group), N(a.groupIndex), N(a.location), N(a.code)}),
               Description(a.description), N(a.printerTime));
}

std::string NoResponseRecordText(int64_t time) {
    return Join({N(time), "1", "1024", "3", "3", "0", "0", "0", "-1", " ", "0"});
}

std::string NoResponseLogText(int64_t time) {
    return Join({qm::platform::DateText(time), qm::platform::TimeText(time), "1024", "3", "3", "0",
                 "0", "0", "-1", " ", "0"});
}

std::string ClearedLogText(int64_t time) {
    return Join({qm::platform::DateText(time), qm::platform::TimeText(time), "0", "0", "0", "0",
                 "0", "0", "0", " ", "0"});
}

std::string OnOffText(int64_t time, int state) {
    return Join({N(time), N(state), "0", "0", "0", "0", "0", "0", "0", " ", "0"});
}

std::string SuppliesText(int64_t time, int64_t type, int64_t index, int64_t max, int64_t level) {
    return Join({qm::platform::DateText(time), qm::platform::TimeText(time), N(type), N(index),
                 N(max), N(level)});
}

std::string CounterText(int64_t time, int64_t unit, int64_t lifeCount) {
    return Join({qm::platform::DateText(time), qm::platform::TimeText(time), N(unit), N(lifeCount)});
}

int PollPrinter(const PollHost& host, const PollContext& ctx) {
    Poll poll(host, ctx);
    return poll.Run();
}

}  // namespace qm::monitor
