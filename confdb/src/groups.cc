// Groups (QMGROUP) and their sub-group lists (QMSBGLST), with the candidates for adding.
#include "groups.h"
#include "frame.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "store.h"
#include "trace.h"
#include "qmdbmgr.h"

namespace qm::confdb {
namespace {

constexpr int kMapInfoOffset = 567;

const Field kGroupFields[] = {
    {"GRP_GROUPKEY", 4, 4},          {"GRP_GroupName", 8, 65},
    {"GRP_Description", 73, 65},     {"GRP_DisplayIcon", 138, 8},
    {"GRP_DefaultView", 146, 17},    {"GRP_ErrorLogSet", 163, 8},
    {"GRP_ErrorLogSubG", 171, 8},    {"GRP_NoticeLevel", 179, 8},
    {"GRP_NoticeSubG", 187, 8},      {"GRP_AdminName", 195, 65},
    {"GRP_AdminPasswd", 260, 17},    {"GRP_AdminMailAddr", 277, 65},
    {"GRP_AdminPhone", 342, 65},     {"GRP_LogHandle", 407, 32},
    {"GRP_BGImageFile", 439, 128},   {"GRP_MapInfo", kMapInfoOffset, 5120},
    {nullptr, 0, 0},
};

void NewGroup(unsigned char* rec, uint32_t number, const char* name) {
    std::memset(rec, 0, kGroupLength);
    PutNumber(rec + kGroupNumberOffset, number);
    PutText(rec + kGroupNameOffset, kGroupNameWidth, name);
    PutText(rec + 138, 8, "G1");
    PutText(rec + 146, 17, "Simple");
    PutText(rec + 163, 8, "END");
    PutText(rec + 171, 8, "OFF");
    PutText(rec + 179, 8, "1");
    PutText(rec + 187, 8, "OFF");
}

}  // namespace

// Adds the root group when the file lacks it: a new file, a creator that stopped between
// making the file and adding the root, or a deleted root. "Already there" counts as done, as
// another caller may be adding it at the same moment.
int EnsureRoot(File& f) {
    std::vector<unsigned char> rec(kGroupLength);
    int r = GroupByNumber(f, 0, rec.data());
    if (r != ISAM_END) return r;
    NewGroup(rec.data(), 0, kAllDevices);
    std::string image = std::string("BGImage") + "/" + "00000000" + ".gif";
    PutText(rec.data() + 439, 128, image.c_str());
    r = f.store().ADDREC(f.data(), rec.data());
    return r == ISAM_KEY_DUPLICATE ? 0 : r;
}

int OpenGroups(File& f, bool createRoot) {
    if (!createRoot) return f.Open();
    bool created = false;
    int r = f.OpenOrCreate(created);
    return r == 0 ? EnsureRoot(f) : r;
}

NumberKey::NumberKey(File& f, int k, uint32_t first, uint32_t second, bool withSecond) {
    PutNumber(bytes, first);
    if (withSecond) PutNumber(bytes + 4, second);
    f.store().TFRMKEY(f.index(k), bytes);
}

NumberKey::NumberKey(File& f, int k, uint32_t group, const char* text) {
    PutNumber(bytes, group);
    std::memcpy(bytes + 4, text, strnlen(text, 64));
    f.store().TFRMKEY(f.index(k), bytes);
}

int GroupByName(File& f, const char* name, unsigned char* rec) {
    unsigned char key[64] = {};
    std::memcpy(key, name, strnlen(name, sizeof key));
    return f.store().EQLREC(f.index(2), key, rec);
}

int GroupByNumber(File& f, uint32_t number, unsigned char* rec) {
    NumberKey key(f, 1, number);
    return f.store().EQLREC(f.index(1), key.bytes, rec);
}

}  // namespace qm::confdb

using namespace qm::confdb;

namespace {

// Group records are 6 KiB; keep them off small thread stacks.
struct GroupRecord {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(kGroupLength);
    unsigned char* data() { return bytes.data(); }
    uint32_t number() const { return GetNumber(bytes.data() + kGroupNumberOffset); }
    std::string name() const { return FieldText(bytes.data() + kGroupNameOffset, kGroupNameWidth); }
};

// All groups in ascending number: (number, name).
int ReadAllGroups(const StoreApi& s, std::vector<std::pair<uint32_t, std::string>>& out) {
    File f(s, FileId::Group);
    int r = OpenGroups(f, true);
    GroupRecord rec;
    if (r == 0) {
        for (r = s.FRSREC(f.index(1), rec.data()); r == 0; r = s.NXTREC(f.index(1), rec.data()))
            out.emplace_back(rec.number(), rec.name());
        if (r == ISAM_END) r = 0;
    }
    if (r == 0) r = f.Close();
    return r;
}

// Every sub-group entry, grouped by parent, each parent's children in stored order.
int ReadAllSubGroups(const StoreApi& s, std::map<uint32_t, std::vector<uint32_t>>& out) {
    File f(s, FileId::SubGroup);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) return 0;
    unsigned char rec[kSubGroupLength];
    if (r == 0) {
        for (r = s.FRSREC(f.index(1), rec); r == 0; r = s.NXTREC(f.index(1), rec))
            out[GetNumber(rec + 4)].push_back(GetNumber(rec + 8));
        if (r == ISAM_END) r = 0;
    }
    if (r == 0) r = f.Close();
    return r;
}

// Deletes every entry of `group` reachable as a set on index 1 of an open file.
int DeleteSet(File& f, uint32_t group) {
    const StoreApi& s = f.store();
    NumberKey key(f, 1, group);
    std::vector<unsigned char> rec(kDevListLength);
    int r = s.FRSSET(f.index(1), key.bytes, rec.data(), 4);
    while (r == 0) {
        r = s.DELREC(f.data());
        if (r == 0) r = s.NXTSET(f.index(1), rec.data());
    }
    return r == ISAM_END ? 0 : r;
}

// Deletes the entries that name `group` as a child. Group numbers are taken again after the
// highest one is deleted, so a stale link would put the next new group under the old parents.
int DeleteChildLinks(File& f, uint32_t group) {
    const StoreApi& s = f.store();
    unsigned char rec[kSubGroupLength];
    int r = s.FRSREC(f.index(1), rec);
    while (r == 0) {
        if (GetNumber(rec + 8) == group) r = s.DELREC(f.data());
        if (r == 0) r = s.NXTREC(f.index(1), rec);
    }
    return r == ISAM_END ? 0 : r;
}

int CopyNames(const std::vector<std::string>& names, int wanted, char** list) {
    for (int i = 0; i < wanted; ++i) {
        if (!list[i]) return -1;
        PutText(reinterpret_cast<unsigned char*>(list[i]), kGroupNameWidth, names[i].c_str());
    }
    return 0;
}

}  // namespace

extern "C" int DBReadGroupInfo(const char* lpszGroup, const char* lpszItem, char* lpszData) {
    return DbCall("DBReadGroupInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszGroup", lpszGroup, kGroupNameWidth}, {"lpszItem", lpszItem}}, {{"lpszData", lpszData}});
        if (!s) return -1;
        lpszData[0] = '\0';
        File f(*s, FileId::Group);
        int r = OpenGroups(f, false);
        if (r == ISAM_FILE_MISSING) {
            return frame.Out(0, "lpszData=%s", lpszData);
        }
        GroupRecord rec;
        if (r == 0) r = GroupByName(f, lpszGroup, rec.data());
        if (r == 0) {
            if (const Field* field = FindField(kGroupFields, lpszItem)) {
                if (field->offset == kGroupNumberOffset)
                    std::snprintf(lpszData, 9, "%08d", static_cast<int>(rec.number()));
                // Callers give 65 bytes for every item but the map, while the image file name
                // field is 128 wide: its value is cut to 64 characters rather than overflowing.
                else if (field->offset == kMapInfoOffset)
                    GetText(lpszData, rec.data() + field->offset, field->width);
                else
                    GetText(lpszData, rec.data() + field->offset,
                            std::min(field->width, kGroupNameWidth));
            }
            r = f.Close();
        }
        if (r != 0) return frame.Fail("nRet=%d", r);
        return frame.Out(0, "lpszData=%s", lpszData);
    });
}

extern "C" int DBWriteGroupInfo(const char* lpszGroup, const char* lpszItem, const char* lpszData) {
    return DbCall("DBWriteGroupInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszGroup", lpszGroup, kGroupNameWidth}, {"lpszItem", lpszItem}, {"lpszData", lpszData}});
        if (!s) return -1;
        File f(*s, FileId::Group);
        int r = OpenGroups(f, false);
        GroupRecord rec;
        if (r == 0) r = GroupByName(f, lpszGroup, rec.data());
        if (r == 0) {
            const Field* field = FindField(kGroupFields, lpszItem);
            // The group number is the record's identity: writing it changes nothing.
            if (field && field->offset != kGroupNumberOffset) {
                PutText(rec.data() + field->offset, field->width, lpszData);
                r = s->RWTREC(f.data(), rec.data());
            }
        }
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}

extern "C" int DBCreateGroupInfo(const char* lpszGroup) {
    return DbCall("DBCreateGroupInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s = frame.Begin({{"lpszGroup", lpszGroup, kGroupNameWidth}});
        if (!s) return -1;
        File f(*s, FileId::Group);
        int r = OpenGroups(f, false);
        // The lock keeps two creators in different processes from taking the same number.
        if (r == 0) r = f.Lock();
        // A file without its root would otherwise refuse every new group (no last record).
        if (r == 0) r = EnsureRoot(f);
        GroupRecord last, rec;
        if (r == 0) r = s->LSTREC(f.index(1), last.data());
        if (r == 0) {
            NewGroup(rec.data(), last.number() + 1, lpszGroup);
            r = s->ADDREC(f.data(), rec.data());
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}

extern "C" int DBDeleteGroupInfo(const char* lpszGroup) {
    return DbCall("DBDeleteGroupInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s = frame.Begin({{"lpszGroup", lpszGroup, kGroupNameWidth}});
        if (!s) return -1;
        uint32_t number = 0;
        {
            File f(*s, FileId::Group);
            int r = OpenGroups(f, false);
            GroupRecord rec;
            if (r == 0) r = GroupByName(f, lpszGroup, rec.data());
            if (r == 0) {
                number = rec.number();
                r = s->DELREC(f.data());
            }
            if (r == 0) r = f.Close();
            if (r != 0) return frame.Fail("nRet=%d", r);
        }
        for (FileId id : {FileId::SubGroup, FileId::DevList}) {
            File f(*s, id);
            int r = f.Open();
            if (r == ISAM_FILE_MISSING) continue;
            if (r == 0) r = f.Lock();
            if (r == 0) r = DeleteSet(f, number);
            if (r == 0 && id == FileId::SubGroup) r = DeleteChildLinks(f, number);
            if (r == 0) r = f.Unlock();
            if (r == 0) r = f.Close();
            if (r != 0) return frame.Fail("nRet=%d", r);
        }
        return frame.Out(0, "Ret=0");
    });
}

extern "C" int DBReadGroupNameList(int* pnGnum, char** lppszGroup) {
    return DbCall("DBReadGroupNameList", [&](const DbFrame& frame) -> int {
        frame.In("pnGnum=%d", pnGnum ? *pnGnum : -1);
        if (!frame.NotNull(pnGnum, "pnGnum")) return -1;
        const int wanted = *pnGnum;
        if (wanted < 0) return frame.Fail("pnGnum=%d", wanted);
        if (wanted > 0) if (!frame.NotNull(lppszGroup, "lppszGroup")) return -1;
        const StoreApi* s = frame.Store();
        if (!s) return -1;
        std::vector<std::pair<uint32_t, std::string>> groups;
        int r = ReadAllGroups(*s, groups);
        if (r == 0 && wanted > static_cast<int>(groups.size())) r = ISAM_END;
        if (r == 0 && wanted > 0) {
            std::vector<std::string> names;
            for (int i = 0; i < wanted; ++i) names.push_back(groups[i].second);
            r = CopyNames(names, wanted, lppszGroup);
        }
        if (r != 0) return frame.Fail("nRet=%d", r);
        if (wanted == 0) *pnGnum = static_cast<int>(groups.size());
        return frame.Out(0, "pnGnum=%d", *pnGnum);
    });
}

extern "C" int DBReadSubGroupNameList(const char* lpszGroup, int* pnGnum, char** lppszGroup) {
    return DbCall("DBReadSubGroupNameList", [&](const DbFrame& frame) -> int {
        frame.In("lpszGroup=%s, pnGnum=%d", Shown(lpszGroup), pnGnum ? *pnGnum : -1);
        if (!frame.Text(lpszGroup, kGroupNameWidth, "lpszGroup") ||
            !frame.NotNull(pnGnum, "pnGnum")) return -1;
        const int wanted = *pnGnum;
        if (wanted < 0) return frame.Fail("pnGnum=%d", wanted);
        if (wanted > 0)
            if (!frame.NotNull(lppszGroup, "lppszGroup")) return -1;
        const StoreApi* s = frame.Store();
        if (!s) return -1;
        File groups(*s, FileId::Group);
        int r = OpenGroups(groups, false);
        GroupRecord rec;
        if (r == 0) r = GroupByName(groups, lpszGroup, rec.data());
        int count = 0;
        std::vector<std::string> names;
        if (r == 0) {
            File subs(*s, FileId::SubGroup);
            r = subs.Open();
            if (r == ISAM_FILE_MISSING && wanted == 0) {
                r = 0;
            } else if (r == 0) {
                NumberKey key(subs, 1, rec.number());
                unsigned char entry[kSubGroupLength];
                for (r = s->FRSSET(subs.index(1), key.bytes, entry, 4);
                     r == 0 && (wanted == 0 || count < wanted);
                     r = s->NXTSET(subs.index(1), entry)) {
                    if (wanted > 0) {
                        GroupRecord child;
                        r = GroupByNumber(groups, GetNumber(entry + 8), child.data());
                        if (r != 0) break;  // an entry naming a deleted group
                        names.push_back(child.name());
                    }
                    ++count;
                }
                if (r == ISAM_END && wanted == 0) r = 0;
                if (wanted > 0 && count == wanted) r = 0;
                if (r == 0) r = subs.Close();
            }
        }
        if (r == 0) r = groups.Close();
        if (r == 0 && wanted > 0) r = CopyNames(names, wanted, lppszGroup);
        if (r != 0) return frame.Fail("nRet=%d", r);
        if (wanted == 0) *pnGnum = count;
        return frame.Out(0, "pnGnum=%d", *pnGnum);
    });
}

// The candidates are the groups whose sub-group trees do not contain lpszGroup, so adding
// one can never close a cycle. The groups whose trees contain it are exactly its ancestors,
// found by one walk up the parent links instead of one walk down per group.
extern "C" int DBReadAddGroupNameList(const char* lpszGroup, int* pnGnum, char** lppszGroup) {
    return DbCall("DBReadAddGroupNameList", [&](const DbFrame& frame) -> int {
        frame.In("lpszGroup=%s, pnGnum=%d", Shown(lpszGroup), pnGnum ? *pnGnum : -1);
        if (!frame.NotNull(lpszGroup, "lpszGroup") || !frame.NotNull(pnGnum, "pnGnum")) return -1;
        const int wanted = *pnGnum;
        if (wanted < 0) return frame.Fail("pnGnum=%d", wanted);
        if (wanted > 0)
            if (!frame.NotNull(lppszGroup, "lppszGroup")) return -1;
        const StoreApi* s = frame.Store();
        if (!s) return -1;
        std::vector<std::pair<uint32_t, std::string>> groups;
        std::map<uint32_t, std::vector<uint32_t>> children;
        int r = ReadAllGroups(*s, groups);
        if (r == 0) r = ReadAllSubGroups(*s, children);
        if (r != 0) return frame.Fail("nRet=%d", r);
        const std::pair<uint32_t, std::string>* target = nullptr;
        for (const auto& g : groups)
            if (g.second == lpszGroup) target = &g;
        if (!target) return -1;
        std::set<uint32_t> known;
        for (const auto& g : groups) known.insert(g.first);
        // Parent links among existing groups; "All Devices" lists no sub-groups of its own here.
        std::map<uint32_t, std::vector<uint32_t>> parents;
        for (const auto& [parent, kids] : children) {
            if (parent == 0 || !known.count(parent)) continue;
            for (uint32_t kid : kids) parents[kid].push_back(parent);
        }
        std::set<uint32_t> ancestors{target->first};
        std::vector<uint32_t> todo{target->first};
        while (!todo.empty()) {
            uint32_t g = todo.back();
            todo.pop_back();
            for (uint32_t p : parents[g])
                if (ancestors.insert(p).second) todo.push_back(p);
        }
        std::set<uint32_t> direct;
        if (target->first != 0)
            for (uint32_t kid : children[target->first]) direct.insert(kid);
        int count = 0, copied = 0;
        for (const auto& [number, name] : groups) {
            if (name == kAllDevices || number == target->first || direct.count(number)) continue;
            if (ancestors.count(number)) continue;
            if (copied < wanted) {
                if (!lppszGroup[copied]) return frame.Fail("lppszGroup=NULL");
                PutText(reinterpret_cast<unsigned char*>(lppszGroup[copied]), kGroupNameWidth,
                        name.c_str());
                ++copied;
            }
            ++count;
        }
        if (wanted == 0) *pnGnum = count;
        return frame.Out(0, "pnGnum=%d", *pnGnum);
    });
}

// The numbers of a group and of a sub-group, both looked up by name.
static int GroupPairNumbers(const StoreApi& s, const char* group, const char* subGroup,
                            uint32_t* parent, uint32_t* child) {
    File f(s, FileId::Group);
    GroupRecord rec;
    int r = OpenGroups(f, false);
    if (r == 0 && (r = GroupByName(f, group, rec.data())) == 0) *parent = rec.number();
    if (r == 0 && (r = GroupByName(f, subGroup, rec.data())) == 0) *child = rec.number();
    if (r == 0) r = f.Close();
    return r;
}

// What both sub-group link exports do first: trace and check the two names, then find both
// groups' numbers. Returns 0, or the export's failure result (traced).
static int LinkPrelude(const ExportFrame& frame, const char* lpszGroup, const char* lpszSubGroup,
                       const StoreApi*& s, uint32_t& parent, uint32_t& child) {
    frame.In("lpszGroup=%s, lpszSubGroup=%s", Shown(lpszGroup), Shown(lpszSubGroup));
    if (!frame.Text(lpszGroup, kGroupNameWidth, "lpszGroup") ||
        !frame.Text(lpszSubGroup, kGroupNameWidth, "lpszSubGroup")) return -1;
    s = Store();
    if (!s) return frame.Fail("nRet=%d", -1);
    int found = GroupPairNumbers(*s, lpszGroup, lpszSubGroup, &parent, &child);
    return found != 0 ? frame.Fail("nRet=%d", found) : 0;
}

extern "C" int DBWriteSubGroupInGroup(const char* lpszGroup, const char* lpszSubGroup) {
    return DbCall("DBWriteSubGroupInGroup", [&](const DbFrame& frame) -> int {
        const StoreApi* s = nullptr;
        uint32_t parent = 0, child = 0;
        if (int r = LinkPrelude(frame, lpszGroup, lpszSubGroup, s, parent, child); r != 0) return r;
        File f(*s, FileId::SubGroup);
        bool created;
        int r = f.OpenOrCreate(created);
        if (r == 0) r = f.Lock();
        if (r == 0) {
            unsigned char entry[kSubGroupLength] = {};
            PutNumber(entry + 4, parent);
            PutNumber(entry + 8, child);
            r = s->ADDREC(f.data(), entry);
            if (r == ISAM_KEY_DUPLICATE) r = 0;
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}

extern "C" int DBDeleteSubGroupInGroup(const char* lpszGroup, const char* lpszSubGroup) {
    return DbCall("DBDeleteSubGroupInGroup", [&](const DbFrame& frame) -> int {
        const StoreApi* s = nullptr;
        uint32_t parent = 0, child = 0;
        if (int r = LinkPrelude(frame, lpszGroup, lpszSubGroup, s, parent, child); r != 0) return r;
        File f(*s, FileId::SubGroup);
        int r = f.Open();
        if (r == 0) r = f.Lock();
        if (r == 0) {
            NumberKey key(f, 2, parent, child, true);
            unsigned char entry[kSubGroupLength];
            r = s->EQLREC(f.index(2), key.bytes, entry);
            if (r == 0)
                r = s->DELREC(f.data());
            else if (r == ISAM_END)
                r = 0;
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}
