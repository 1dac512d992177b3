// qmntfls: lists the records of the notification database with their fields named, for
// administrators and for debugging (read-only).
#include <cstdio>
#include <string>
#include <vector>

#include "core.h"
#include "qm/platform/clock.h"
#include "qm/platform/paths.h"
#include "qm/platform/tool_options.h"
#include "records.h"

using namespace qm::ntfdb;

namespace {

constexpr const char* kUsage =
    "usage: qmntfls [--root DIR] [SET...]\n"
    "Lists the records of the notification database of an installation, read-only, one line\n"
    "per record with its fields named. SET is one of ntcsys, ntcdev, ntcctl, ntclog, ntcto,\n"
    "ntchdl, ntcsts (default: all, in that order). The folder and the store come from\n"
    "bin/ntccnf.ini of the installation root (--root, else $QM_ROOT, else the parent of the\n"
    "program's folder).\n"
    "options:\n"
    "  --root DIR  the installation root\n"
    "  --help      this text\n";

std::string Int(const Record& r, int at) { return std::to_string(GetInt(r.data() + at)); }
std::string Txt(const Record& r, int at, int width) {
    return "\"" + GetText(r.data() + at, width) + "\"";
}
std::string Dev(const Record& r, int at) { return Identity::FromRecord(r.data() + at).Describe(); }
std::string When(const Record& r, int at) {
    int64_t s = GetInt(r.data() + at);
    return s == 0 ? "0" : qm::platform::DateText(s) + " " + qm::platform::TimeText(s);
}

std::string Line(SetId id, const Record& r) {
    switch (id) {
        case SetId::Sys:
            return "max-size=" + Int(r, sys::kMaxSize) + " days=" + Int(r, sys::kDays) +
                   " csv=" + Int(r, sys::kCsv) + " percent=" + Int(r, sys::kPercent) +
                   " last-handle=" + Int(r, sys::kLastHandle);
        case SetId::Dev:
            return "device=" + Dev(r, dev::kIdentity) + " intervals=" + Int(r, dev::kFirst) + "/" +
                   Int(r, dev::kSecond) + "/" + Int(r, dev::kThird) + " flag=" + Int(r, dev::kFlag) +
                   " PR=" + Int(r, dev::kCounters) + " CS=" + Int(r, dev::kConsumables) +
                   " DV+GR=" + Int(r, dev::kWatches) + " stopped=" +
                   Int(r, dev::kCounters + dev::kStoppedShift) + "/" +
                   Int(r, dev::kConsumables + dev::kStoppedShift) + "/" +
                   Int(r, dev::kWatches + dev::kStoppedShift);
        case SetId::Ctl:
            return "mark=" + Int(r, ctl::kMark) + " handle=" + Txt(r, ctl::kHandle, kHandleWidth) +
                   " device=" + Dev(r, ctl::kIdentity) + " start=" + When(r, ctl::kStart) +
                   " stop=" + When(r, ctl::kStop) + " running=" + Int(r, ctl::kRunning) +
                   " text=" + Txt(r, ctl::kText, ctl::kTextWidth);
        case SetId::Log:
            return "time=" + When(r, logrec::kTime) + " device=" + Dev(r, logrec::kIdentity) +
                   " kind=" + Int(r, logrec::kKind) + " index=" + Int(r, logrec::kIndex) +
                   " fields=" + Int(r, 92) + "," + Int(r, 96) + "," + Int(r, logrec::kGroup) + "," +
                   Int(r, logrec::kGroupIndex) + "," + Int(r, 108) + "," + Int(r, logrec::kCode) +
                   " description=" + Txt(r, 116, 256) + " printer-time=" + Int(r, 372) +
                   " level=" + Int(r, 376);
        case SetId::To:
            return "handle=" + Txt(r, to::kHandle, kHandleWidth) + " address=" +
                   Txt(r, to::kAddress, 16) + " number=" + Int(r, to::kNumber) + " text=" +
                   Txt(r, to::kText, notice::kTextWidth) + " " + Txt(r, to::kText2, 24) + " " +
                   Txt(r, to::kText3, 24);
        case SetId::Hdl:
            return "handle=" + Txt(r, hdl::kHandle, kHandleWidth) + " device=" +
                   Dev(r, hdl::kIdentity) + " flag=" + Int(r, hdl::kFlag) + " interval=" +
                   Int(r, hdl::kInterval) + " text=" + Txt(r, hdl::kText, hdl::kTextWidth);
        case SetId::Sts:
            return "time=" + When(r, sts::kTime) + " device=" + Dev(r, sts::kIdentity) +
                   " kind=" + Int(r, sts::kKind) + " index=" + Int(r, sts::kIndex) +
                   " severity=" + Int(r, sts::kSeverity) + " training=" + Int(r, sts::kTraining) +
                   " group=" + Int(r, sts::kGroup) + "/" + Int(r, sts::kGroupIndex) +
                   " location=" + Int(r, sts::kLocation) + " code=" + Int(r, sts::kCode) +
                   " description=" + Txt(r, sts::kDescription, sts::kDescriptionWidth) +
                   " printer-time=" + Int(r, sts::kPrinterTime);
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    qm::platform::ToolOptions options("qmntfls", kUsage);
    if (auto exit = options.Parse(argc, argv)) return *exit;
    std::vector<SetId> sets;
    for (const std::string& name : options.operands()) {
        bool known = false;
        for (SetId id : kAllSets) {
            if (name == SetName(id)) {
                sets.push_back(id);
                known = true;
            }
        }
        if (!known) return options.Usage("unknown file set " + name);
    }
    if (sets.empty()) sets.assign(std::begin(kAllSets), std::end(kAllSets));
    if (!LoadStore(ReadConfig(qm::platform::InstallRoot()))) {
        std::fprintf(stderr, "qmntfls: cannot load the store library CTREESTD\n");
        return qm::platform::kExitFailure;
    }
    Session session;
    if (!session.ok()) return qm::platform::kExitFailure;
    int status = qm::platform::kExitOk;
    for (SetId id : sets) {
        Table t(id);
        if (t.Open() != 0) {
            std::fprintf(stderr, "qmntfls: cannot open %s\n", SetFileName(id).c_str());
            status = qm::platform::kExitFailure;
            continue;
        }
        Record r;
        int n = 0;
        for (int rc = t.First(1, r); rc == 0; rc = t.Next(1, r), ++n)
            std::printf("%s %s\n", SetName(id), Line(id, r).c_str());
        std::printf("%s: %d record%s\n", SetName(id), n, n == 1 ? "" : "s");
        t.Close();
    }
    return status;
}
