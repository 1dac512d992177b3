// File set definitions of the configuration database and the per-call open/close helper.
#include "files.h"

#include "trace.h"

namespace qm::confdb {
namespace {

constexpr int kText = ISAM_SEG_TEXT, kUnsigned = ISAM_SEG_UNSIGNED;

const IsamSegment kConfigSeg[] = {{4, 127, kText}};
const IsamIndex kConfigIdx[] = {{"..\\conf\\QMCONFIG.idx", 127, 0, 0, 1, kConfigSeg}};

const IsamSegment kDeviceSeg[] = {{4, 64, kText}};
const IsamIndex kDeviceIdx[] = {{"..\\conf\\QMDEVICE.idx", 64, 0, 0, 1, kDeviceSeg}};
const IsamIndex kChannelIdx[] = {{"..\\conf\\QMCHANEL.idx", 64, 0, 0, 1, kDeviceSeg}};

const IsamSegment kDnsSeg[] = {{4, 15, kText}};
const IsamIndex kDnsIdx[] = {{"..\\conf\\QMDNSINF.idx", 15, 0, 0, 1, kDnsSeg}};

const IsamSegment kGroupNumberSeg[] = {{4, 4, kUnsigned}};
const IsamSegment kGroupNameSeg[] = {{8, 64, kText}};
const IsamIndex kGroupIdx[] = {{"..\\conf\\QMGROUP1.idx", 4, 0, 0, 1, kGroupNumberSeg},
                               {"..\\conf\\QMGROUP2.idx", 64, 0, 0, 1, kGroupNameSeg}};

const IsamSegment kParentChildSegs[] = {{4, 4, kUnsigned}, {8, 4, kUnsigned}};
const IsamIndex kSubGroupIdx[] = {{"..\\conf\\QMSBGLST1.idx", 8, 1, 0, 1, kGroupNumberSeg},
                                  {"..\\conf\\QMSBGLST2.idx", 8, 0, 0, 2, kParentChildSegs}};

const IsamSegment kGroupKeySegs[] = {{4, 4, kUnsigned}, {8, 64, kText}};
const IsamSegment kMemberKeySeg[] = {{8, 64, kText}};
const IsamIndex kDevListIdx[] = {{"..\\conf\\QMDEVLST1.idx", 8, 1, 0, 1, kGroupNumberSeg},
                                 {"..\\conf\\QMDEVLST2.idx", 68, 0, 0, 2, kGroupKeySegs},
                                 {"..\\conf\\QMDEVLST3.idx", 68, 1, 0, 1, kMemberKeySeg}};

const IsamSegment kModelSeg[] = {{4, 31, kText}};
const IsamIndex kModelIdx[] = {{"..\\conf\\QMMODEL.idx", 31, 0, 0, 1, kModelSeg}};

IsamFileSet Definition(FileId id) {
    switch (id) {
        case FileId::Config: return {"..\\conf\\QMCONFIG", -1, kConfigLength, 4096, 0, 1, kConfigIdx};
        case FileId::Device: return {"..\\conf\\QMDEVICE", -1, kDeviceLength, 4096, 0, 1, kDeviceIdx};
        case FileId::Channel: return {"..\\conf\\QMCHANEL", -1, kChannelLength, 4096, 0, 1, kChannelIdx};
        case FileId::DnsInfo: return {"..\\conf\\QMDNSINF", -1, kDnsLength, 4096, 0, 1, kDnsIdx};
        case FileId::Group: return {"..\\conf\\QMGROUP", -1, kGroupLength, 6144, 0, 2, kGroupIdx};
        case FileId::SubGroup: return {"..\\conf\\QMSBGLST", -1, kSubGroupLength, 4096, 0, 2, kSubGroupIdx};
        case FileId::DevList: return {"..\\conf\\QMDEVLST", -1, kDevListLength, 4096, 0, 3, kDevListIdx};
        case FileId::Model: return {"..\\conf\\QMMODEL", -1, kModelLength, 4096, 0, 1, kModelIdx};
    }
    return {};
}

}  // namespace

int ReadKeyedText(const StoreApi& store, FileId id, const unsigned char* key, const Field* field,
                  char* out) {
    out[0] = '\0';
    File f(store, id);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) return 0;
    if (r == 0) {
        // Large enough for every keyed file's record (the group file's is the longest).
        unsigned char rec[kGroupLength];
        r = store.EQLREC(f.index(1), key, rec);
        // Values are cut to their field on write, so the field always ends within its width.
        if (r == 0 && field) GetText(out, rec + field->offset, field->width);
        if (r == ISAM_END) r = 0;
    }
    if (r == 0) r = f.Close();
    return r;
}

File::File(const StoreApi& store, FileId id) : store_(store), def_(Definition(id)) {}

File::~File() {
    if (locked_) store_.LKISAM(ISAM_LOCK_FREE);
    if (open_) store_.CLIFIL(&def_);
}

int File::Open() {
    def_.dataFileNumber = -1;
    int r = store_.OPNIFIL(&def_);
    open_ = r == 0;
    return r;
}

int File::Create() {
    def_.dataFileNumber = -1;
    int r = store_.CREIFIL(&def_);
    if (r == ISAM_FILE_EXISTS) return Open();
    open_ = r == 0;
    return r;
}

int File::OpenOrCreate(bool& created) {
    created = false;
    int r = Open();
    if (r != ISAM_FILE_MISSING) return r;
    def_.dataFileNumber = -1;
    r = store_.CREIFIL(&def_);
    if (r == ISAM_FILE_EXISTS) return Open();  // another caller was quicker
    open_ = r == 0;
    created = open_;
    return r;
}

int File::Close() {
    if (locked_) Unlock();
    if (!open_) return 0;
    open_ = false;
    return store_.CLIFIL(&def_);
}

int File::Lock() {
    int r = store_.LKISAM(ISAM_LOCK_WRITE);
    locked_ = r == 0;
    return r;
}

int File::Unlock() {
    if (!locked_) return 0;
    locked_ = false;
    return store_.LKISAM(ISAM_LOCK_FREE);
}

void PutText(unsigned char* field, int width, const char* value) {
    std::memset(field, 0, width);
    if (!value) return;
    size_t n = strnlen(value, width - 1);
    std::memcpy(field, value, n);
}

void GetText(char* out, const unsigned char* field, int width) {
    size_t n = strnlen(reinterpret_cast<const char*>(field), width - 1);
    std::memcpy(out, field, n);
    out[n] = '\0';
}

std::string FieldText(const unsigned char* field, int width) {
    return std::string(reinterpret_cast<const char*>(field),
                       strnlen(reinterpret_cast<const char*>(field), width - 1));
}

const Field* FindField(const Field* table, const char* name) {
    if (!name) return nullptr;
    for (const Field* f = table; f->name; ++f)
        if (std::strcmp(f->name, name) == 0) return f;
    return nullptr;
}

}  // namespace qm::confdb
