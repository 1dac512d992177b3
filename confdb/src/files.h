// The configuration file sets, and one open file set per call with its own definition copy.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "store.h"

namespace qm::confdb {

enum class FileId { Config, Device, Channel, DnsInfo, Group, SubGroup, DevList, Model };

// Record lengths and index numbers (1-based within a file set).
constexpr int kConfigLength = 388, kDeviceLength = 640, kChannelLength = 256,
              kDnsLength = 128, kGroupLength = 6144, kSubGroupLength = 64,
              kDevListLength = 256, kModelLength = 2048;

// An open file set for the length of one call. The destructor unlocks and closes whatever
// is still open, ignoring the results, which is what every failure path wants.
class File {
public:
    File(const StoreApi& store, FileId id);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int Open();
    // Creates the file set; when another caller created it first, opens that one instead.
    int Create();
    // Opens, creating when missing; `created` tells whether this call made the file.
    int OpenOrCreate(bool& created);
    int Close();
    int Lock();
    int Unlock();

    int data() const { return def_.dataFileNumber; }
    int index(int k) const { return def_.dataFileNumber + k; }
    const StoreApi& store() const { return store_; }

private:
    const StoreApi& store_;
    IsamFileSet def_;
    bool open_ = false;
    bool locked_ = false;
};

// Text fields: written zeroed and cut to width - 1; read up to width - 1 characters, so a
// stored field without its NUL never runs past the field.
void PutText(unsigned char* field, int width, const char* value);
void GetText(char* out, const unsigned char* field, int width);
std::string FieldText(const unsigned char* field, int width);

inline void PutNumber(unsigned char* at, uint32_t v) { std::memcpy(at, &v, 4); }
inline uint32_t GetNumber(const unsigned char* at) {
    uint32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

// A named item of a record: number, offset and width.
struct Field {
    const char* name;
    int offset;
    int width;
};
const Field* FindField(const Field* table, const char* name);

// A text key zero-padded to its index width; a longer text is cut to N - 1 bytes.
template <size_t N>
struct TextKey {
    unsigned char bytes[N] = {};
    explicit TextKey(const char* text) { std::memcpy(bytes, text, strnlen(text, N - 1)); }
};

// Reads `field` of the record whose first index holds `key` into `out` (at most
// field->width - 1 characters). A missing file, a missing record or an unknown field
// (`field` null) read as an empty text, not as an error. Returns the store's result.
int ReadKeyedText(const StoreApi& store, FileId id, const unsigned char* key, const Field* field,
                  char* out);

// Writes `value` into `field` of the record keyed `key` in the open file `f`, adding the
// record first (laid out by `fresh`) when there is none; an unknown field (null) still adds
// the record. A record another process added meanwhile is read back and written. `rec` is
// the caller's record buffer, of the file's record length.
template <class Fresh>
int WriteKeyedText(File& f, const unsigned char* key, unsigned char* rec, const Field* field,
                   const char* value, Fresh&& fresh) {
    const StoreApi& s = f.store();
    int r = s.EQLREC(f.index(1), key, rec);
    if (r == ISAM_END) {
        fresh(rec);
        r = s.ADDREC(f.data(), rec);
        if (r == ISAM_KEY_DUPLICATE) r = s.EQLREC(f.index(1), key, rec);
    }
    if (r == 0 && field) {
        PutText(rec + field->offset, field->width, value);
        r = s.RWTREC(f.data(), rec);
    }
    return r;
}

}  // namespace qm::confdb
