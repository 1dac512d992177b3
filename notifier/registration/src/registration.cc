// Watching printers for their logs (see registration.h).
#include "qm/notifier/registration.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "QNTFDB.h"
#include "qmdbmgr.h"

namespace qm::notifier {

bool ParseDeviceKey(const std::string& key, const std::string& flag, const std::string& text, DeviceArg* d) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t semi = key.find(';', start);
        f.push_back(key.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        if (semi == std::string::npos) break;
        start = semi + 1;
    }
    if (f.size() != 5 || f[1].empty()) return false;
    static constexpr size_t kWidth[5] = {11, 15, 23, 15, 7};
    for (int i = 0; i < 5; ++i)
        if (f[i].size() > kWidth[i]) return false;
    if (f[4].empty()) f[4] = "1";
    for (int i = 0; i < 5; ++i) d->part[i] = f[i];
    d->part[5] = flag;
    d->part[6] = text;
    for (int i = 0; i < 7; ++i) d->ptr[i] = d->part[i].c_str();
    return true;
}

std::string MakeHandle(const char* kind, int counter) {
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    unsigned v = static_cast<unsigned>(counter);
    std::string digits(5, '0');
    for (int i = 4; i >= 0; --i) {
        digits[static_cast<size_t>(i)] = kDigits[v % 36];
        v /= 36;
    }
    return std::string(kind) + digits;
}

int WatchDevices(const std::vector<std::string>& keys, WatchHandles* handles, std::string* error) {
    std::vector<DeviceArg> devices(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        if (!ParseDeviceKey(keys[i], "0", "", &devices[i])) {
            *error = keys[i] + " is not a device key \"type;ip;ipx;mac;index\"";
            return -2;
        }
    }
    if ((*handles)[0].empty() || (*handles)[1].empty() || (*handles)[2].empty()) {
        const int counter = DBGetHandleCounter();
        if (counter < 0) {
            *error = "no handle number from the notification database";
            return -1;
        }
        *handles = {MakeHandle("DV", counter), MakeHandle("PR", counter), MakeHandle("CS", counter)};
    }
    for (const std::string& h : *handles) {
        for (size_t i = 0; i < devices.size(); ++i) {
            if (DBSetHandleDevice(h.c_str(), devices[i].ptr) != 0) {
                *error = h + " cannot watch " + keys[i];
                return -1;
            }
        }
    }
    return 0;
}

int ReadDeviceWatch(const std::string& key, WatchHandles* handles, bool* watched) {
    char data[DB_KEY_SIZE + 64] = {};
    for (int k = 0; k < 3; ++k) {
        if (DBReadDeviceInfo(key.c_str(), kLogHandleItems[k], data) != 0) return -1;
        data[sizeof data - 1] = 0;
        (*handles)[static_cast<size_t>(k)] = data;
    }
    if (DBReadDeviceInfo(key.c_str(), kLogStateItems[0], data) != 0) return -1;
    *watched = std::strcmp(data, "START") == 0;
    return 0;
}

namespace {

// Handles a device record may hold: the kinds this module makes, and short enough to be ours.
bool OwnHandles(const WatchHandles& h) {
    static constexpr const char* kKinds[3] = {"DV", "PR", "CS"};
    for (int k = 0; k < 3; ++k) {
        const std::string& s = h[static_cast<size_t>(k)];
        if (s.size() < 3 || s.size() > 15 || s.compare(0, 2, kKinds[k]) != 0) return false;
    }
    return true;
}

int WriteState(const std::string& key, const WatchHandles* handles, const char* state, std::string* error) {
    for (int k = 0; k < 3; ++k) {
        if (handles && DBWriteDeviceInfo(key.c_str(), kLogHandleItems[k], (*handles)[static_cast<size_t>(k)].c_str()) != 0) {
            *error = std::string(kLogHandleItems[k]) + " of " + key + " cannot be written";
            return -1;
        }
        if (DBWriteDeviceInfo(key.c_str(), kLogStateItems[k], state) != 0) {
            *error = std::string(kLogStateItems[k]) + " of " + key + " cannot be written";
            return -1;
        }
    }
    return 0;
}

}  // namespace

int WatchDevice(const std::string& key, WatchHandles* handles, std::string* error) {
    DeviceArg d;
    if (!ParseDeviceKey(key, "0", "", &d) || key.size() >= DB_KEY_SIZE) {
        *error = key + " is not a device key \"type;ip;ipx;mac;index\"";
        return -2;
    }
    WatchHandles kept;
    bool watched = false;
    if (ReadDeviceWatch(key, &kept, &watched) != 0) {
        *error = "the device record of " + key + " cannot be read";
        return -1;
    }
    // The device's own logs go on where they are; anything else in the record is replaced.
    *handles = OwnHandles(kept) ? kept : WatchHandles{};
    if (int r = WatchDevices({key}, handles, error); r != 0) return r;
    return WriteState(key, handles, "START", error);
}

int UnwatchDevice(const std::string& key, std::string* error) {
    DeviceArg d;
    if (!ParseDeviceKey(key, "0", "", &d) || key.size() >= DB_KEY_SIZE) {
        *error = key + " is not a device key \"type;ip;ipx;mac;index\"";
        return -2;
    }
    WatchHandles kept;
    bool watched = false;
    if (ReadDeviceWatch(key, &kept, &watched) != 0) {
        *error = "the device record of " + key + " cannot be read";
        return -1;
    }
    for (const std::string& h : kept) {
        if (h.empty()) continue;
        // A handle that watches this device no more (-31) is fine: the aim is reached.
        int r = DBDeleteDevice(h.c_str(), d.ptr);
        if (r != 0 && r != NTFDB_NO_RECORD) {
            *error = h + " cannot stop watching " + key;
            return -1;
        }
    }
    return WriteState(key, nullptr, "END", error);
}

// ---- Receivers -----------------------------------------------------------------------

namespace {

constexpr int kHandleField = 16;   // handle texts of the notification database, with the NUL
constexpr int kAddressField = 16;  // the notice's address field, with the NUL
constexpr int kPortAt = 196;       // the notice's destination number
constexpr size_t kTextMax = 67;

bool IsDottedIPv4(const std::string& s) {
    in_addr a;
    return s.size() < kAddressField && inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool PlainText(const std::string& s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ',';
    });
}

std::string FieldText(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

}  // namespace

std::string CheckReceiver(const ReceiverRequest& r) {
    if (!IsDottedIPv4(r.address)) return r.address + " is not a dotted IPv4 address";
    if (r.port < 1 || r.port > 65535) return std::to_string(r.port) + " is not a UDP port";
    // The level is kept as one decimal digit; the service knows 0 to 3.
    if (r.level < 0 || r.level > 9) return "notice level " + std::to_string(r.level) + " is not one digit";
    if (r.interval < 1 || r.interval > 86400 * 365) return "interval " + std::to_string(r.interval) + " is out of range";
    if (r.text.size() > kTextMax || !PlainText(r.text)) return "the text must be at most 67 characters, no comma";
    if (r.keys.empty()) return "a receiver needs at least one device";
    DeviceArg d;
    for (const auto& k : r.keys)
        if (!ParseDeviceKey(k, "0", "", &d)) return k + " is not a device key \"type;ip;ipx;mac;index\"";
    return {};
}

int RegisterReceiver(const ReceiverRequest& r, std::string* handle, std::string* error) {
    if (std::string why = CheckReceiver(r); !why.empty()) {
        *error = why;
        return -2;
    }
    std::vector<DeviceArg> devices(r.keys.size());
    for (size_t i = 0; i < r.keys.size(); ++i) ParseDeviceKey(r.keys[i], std::to_string(r.level), r.text, &devices[i]);
    const int counter = DBGetHandleCounter();
    if (counter < 0) {
        *error = "no handle number from the notification database";
        return -1;
    }
    const std::string h = MakeHandle("DV", counter);
    char notice[NTFDB_NOTICE_SIZE] = {};
    std::memcpy(notice, r.address.data(), r.address.size());
    const int32_t number = r.port;
    std::memcpy(notice + kPortAt, &number, sizeof number);
    if (DBSetHandleNotice(h.c_str(), notice) != 0) {
        *error = "the receiver " + r.address + ":" + std::to_string(r.port) + " cannot be registered";
        return -1;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (DBSetHandleSend(h.c_str(), devices[i].ptr, r.interval) != 0) {
            // Half a receiver would be sent some notices and not others: take it back whole.
            DBDeleteNotice(h.c_str());
            *error = "device " + r.keys[i] + " not added (given twice?)";
            return -1;
        }
    }
    *handle = h;
    return 0;
}

int UnregisterReceiver(const std::string& handle, std::string* error) {
    if (handle.empty() || handle.size() >= kHandleField || !PlainText(handle)) {
        *error = handle + " is not a receiver's handle";
        return -2;
    }
    char notice[NTFDB_NOTICE_SIZE] = {};
    int r = DBGetHandleNotice(handle.c_str(), notice);
    if (r == NTFDB_NO_RECORD) {
        *error = handle + " is not a registered receiver";
        return -4;
    }
    if (r != 0 || DBDeleteNotice(handle.c_str()) != 0) {
        *error = "the receiver " + handle + " cannot be removed";
        return -1;
    }
    return 0;
}

int ListReceivers(std::vector<Receiver>* out, std::string* error) {
    char handle[kHandleField] = {};
    for (;;) {
        char next[kHandleField] = {};
        char notice[NTFDB_NOTICE_SIZE] = {};
        int r = DBNextHandleNotice(handle, next, notice);
        if (r == NTFDB_NO_RECORD) return 0;
        if (r != 0) {
            *error = "the receivers cannot be read";
            return -1;
        }
        Receiver rec;
        rec.handle = FieldText(next, kHandleField);
        rec.address = FieldText(notice, kAddressField);
        int32_t number = 0;
        std::memcpy(&number, notice + kPortAt, sizeof number);
        rec.port = number;
        // A walk that does not move on would never end.
        if (rec.handle.empty() || rec.handle <= std::string(handle)) {
            *error = "the receivers are not in handle order";
            return -1;
        }
        out->push_back(rec);
        std::memcpy(handle, next, kHandleField);
    }
}

}  // namespace qm::notifier
