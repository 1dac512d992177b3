// The printer attribute tags: type, colour, signal, paper sizes, name and storage size of one
// printer, each condensed from standard and private MIB objects into one value.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "QBUtil.h"
#include "processor.h"
#include "qmdbmgr.h"
#include "qmmibgw.h"

namespace qm::tag {

namespace {

constexpr const char* kModule = "TPMainClass";


const std::string kMarkTech = "1.3.6.1.2.1.43.10.2.1.2.";
const std::string kColorants = "1.3.6.1.2.1.43.10.2.1.6.";
const std::string kSeverity = "1.3.6.1.2.1.43.18.1.1.2.";
const std::string kTraining = "1.3.6.1.2.1.43.18.1.1.3.";
const std::string kPaperIndex = "1.3.6.1.4.1.40404.1.2.2.23.1.1.2.";
const std::string kPaperName = "1.3.6.1.4.1.40404.1.2.2.6.1.1.2.";
const std::string kIpxName = "1.3.6.1.4.1.40404.1.1.3.1.4.4.0";
const std::string kStorageDescr = "1.3.6.1.2.1.25.2.3.1.3";
const std::string kStorageUnits = "1.3.6.1.2.1.25.2.3.1.4.";
const std::string kStorageSize = "1.3.6.1.2.1.25.2.3.1.5.";

// Gets per request when paper names are read in bulk; well inside any agent's limits.
constexpr size_t kNamesPerGet = 32;

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

int CTagProcessor::ParseKeyArgument(void** argv, int index, DeviceKey* key) {
    int r = SetDevKeyInfo(Text(argv, index), key);
    if (r != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR=%d\n", r);
        return -3;
    }
    return 0;
}

int CTagProcessor::WalkMarkerColumn(const DeviceKey& key, const std::string& column,
                                    std::vector<SeqEntry>* rows) {
    int r = GetSNMPPacket(5, key, {column});
    if (r != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetSNMPPacket ERROR=%d\n", r);
        return r;
    }
    r = ReadAllBindings(rows);
    if (r != 0) return r;
    return rows->empty() ? -4 : 0;
}

int CTagProcessor::GetPrinterType(int argc, void** argv) {
    return DeviceTag("GetPrinterType", argc, argv, 1, [&](const DeviceKey& key) -> int {
        std::vector<SeqEntry> markers;
        int r = WalkMarkerColumn(key, kMarkTech + key.index, &markers);
        if (r != 0) return r;
        int type = 4;  // several markers: a device of several kinds
        if (markers.size() == 1) {
            int32_t tech = 0;
            r = ValueInt(markers[0].value, &tech, "DecodeINTInfo ERROR=%d\n");
            if (r != 0) return r;
            if (tech == 4) type = 1;
            else if (tech >= 6 && tech <= 11) type = 2;
            else if (tech >= 12 && tech <= 14) type = 3;
        }
        return EncodeResult(MIB_BER_INTEGER, std::to_string(type));
    });
}

int CTagProcessor::GetPrinterColor(int argc, void** argv) {
    return DeviceTag("GetPrinterColor", argc, argv, 1, [&](const DeviceKey& key) -> int {
        std::vector<SeqEntry> markers;
        int r = WalkMarkerColumn(key, kColorants + key.index, &markers);
        if (r != 0) return r;
        bool single = false, other = false;
        for (const SeqEntry& m : markers) {
            int32_t colorants = 0;
            r = ValueInt(m.value, &colorants, "DecodeINT ERROR=%d\n");
            if (r != 0) return r;
            (colorants == 1 ? single : other) = true;
        }
        int color = single && other ? 3 : single ? 1 : 2;
        return EncodeResult(MIB_BER_INTEGER, std::to_string(color));
    });
}

// The training level of the alert whose severity object is `alertOid`.
int CTagProcessor::SignalTrainingLevel(const DeviceKey& key, const std::string& alertOid, int32_t* level) {
    const std::string column = kSeverity + key.index;
    std::string oid = kTraining + key.index + alertOid.substr(column.size());
    int r = GetSNMPPacket(0, key, {oid});
    if (r != 0) return r;
    std::vector<uint8_t> element;
    r = GetBERData(0, &element);
    if (r != 0) return MibError(r);
    BerInfo info;
    r = GetBERInfo(element, &info);
    if (r == 0) r = DecodeINT(info.content, level);
    if (r != 0) {
        BerError(r);
        return -3;  // an undecodable level is the device's fault
    }
    return 0;
}

int CTagProcessor::GetSignalType(int argc, void** argv) {
    return DeviceTag("GetSignalType", argc, argv, 1, [&](const DeviceKey& key) -> int {
        const std::string column = kSeverity + key.index;
        int signal = 1;
        int r = GetSNMPPacket(5, key, {column});
        if (r == MIB_ERR_NO_ANSWER) {
            // A printer that does not answer shows the quiet signal, not an error.
            signal = 1;
        } else if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetSNMPPacket ERROR=%d\n", r);
            return r;
        } else {
            std::vector<SeqEntry> alerts;
            r = ReadAllBindings(&alerts);
            if (r != 0) return r;
            bool warning = false, critical = false;
            int noted = 0;
            for (const SeqEntry& a : alerts) {
                BerInfo info;
                if (GetBERInfo(a.value, &info) != 0 || info.content.empty()) continue;
                int32_t severity = 0;
                if (r = DecodeINT(info.content, &severity); r != 0) {
                    BerError(r);
                    return -3;
                }
                if (severity == 4) {
                    warning = true;
                } else if (severity == 3) {
                    critical = true;
                    // Only rows of this column carry an alert index after the column OID.
                    if (a.oid->size() <= column.size() || a.oid->compare(0, column.size(), column) != 0) continue;
                    int32_t level = 0;
                    r = SignalTrainingLevel(key, *a.oid, &level);
                    if (r != 0) {
                        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetAlertTrainingLevelValue ERROR=%d\n", r);
                        return r;
                    }
                    if (level > 6) return -3;
                    if (level >= 5) {
                        noted = 4;
                        break;
                    }
                    if (level >= 1) noted = 3;
                }
            }
            // A critical alert whose training level says nothing still is an error signal.
            signal = !warning && !critical ? 1 : !critical ? 2 : noted != 0 ? noted : 3;
        }
        return EncodeResult(MIB_BER_INTEGER, std::to_string(signal));
    });
}

int CTagProcessor::GetPaperType(int argc, void** argv) {
    return DeviceTag("GetPaperType", argc, argv, 1, [&](const DeviceKey& key) -> int {
        // Paper size indexes in order of first appearance, each once.
        std::vector<std::string> sizes;
        int r = GetSNMPPacket(5, key, {kPaperIndex + key.index});
        std::vector<SeqEntry> rows;
        if (r == 0) r = ReadAllBindings(&rows);
        for (size_t i = 0; r == 0 && i < rows.size(); ++i) {
            int32_t k = 0;
            r = ValueInt(rows[i].value, &k, "DecodeINT ERROR=%d\n");
            std::string text = std::to_string(k);
            if (r == 0 && k > 0 && std::find(sizes.begin(), sizes.end(), text) == sizes.end()) sizes.push_back(text);
        }
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetPaperSizeIndex ERROR=%d\n", r);
            return r;
        }
        if (sizes.empty()) return 0;  // no sizes: NULL, and no error
        std::string names;
        for (size_t first = 0; first < sizes.size(); first += kNamesPerGet) {
            size_t count = std::min(kNamesPerGet, sizes.size() - first);
            std::vector<std::string> oids;
            for (size_t i = 0; i < count; ++i) oids.push_back(kPaperName + key.index + "." + sizes[first + i]);
            r = GetSNMPPacket(0, key, oids);
            for (size_t i = 0; r == 0 && i < count; ++i) {
                std::vector<uint8_t> element;
                r = GetBERData(static_cast<int>(i), &element);
                if (r != 0) {
                    r = MibError(r);
                    break;
                }
                std::string name;
                r = ValueText(element, &name, "DecodeSTR ERROR=%d\n");
                if (r == 0) names += (first + i == 0 ? "" : "/") + name;
            }
            if (r != 0) {
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetPaperName ERROR=%d\n", r);
                return r;
            }
        }
        return EncodeResult(MIB_BER_OCTET_STRING, names);
    });
}

int CTagProcessor::GetDeviceName(int argc, void** argv) {
    return TextTag("GetDeviceName", argc, argv, 1, [&]() -> int {
        DeviceKey key;
        if (SetDevKeyInfo(Text(argv, 1), &key) != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR\n");
            return -3;
        }
        if (!key.ip.empty()) {
            char name[DB_HOSTNAME_SIZE + 1] = {};
            EnsureDbThread();
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBReadIPHostName\n");
            int r = DBReadIPHostName(key.ip.c_str(), name);
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBReadIPHostName=%d\n", r);
            if (r == -1) return DbError(r);
            std::string text = name[0] ? std::string(name) : key.ip;
            return EncodeResult(MIB_BER_OCTET_STRING, text);
        }
        if (!key.ipx.empty()) {
            int r = GetSNMPPacket(0, key, {kIpxName});
            if (r != 0) return r;
            std::vector<uint8_t> element;
            r = GetBERData(0, &element);
            if (r != 0) return MibError(r);
            SetResult(std::move(element));
            return 0;
        }
        return -2;
    });
}

int CTagProcessor::GetStorageSize(int argc, void** argv) {
    return DeviceTag("GetStorageSize", argc, argv, 2, [&](const DeviceKey& key) -> int {
        int r = GetSNMPPacket(5, key, {kStorageDescr});
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetSNMPPacket ERROR=%d\n", r);
            return r;
        }
        std::vector<SeqEntry> rows;
        r = ReadAllBindings(&rows);
        if (r != 0) return r;
        const std::string wanted = Text(argv, 2);
        std::string row;
        for (const SeqEntry& e : rows) {
            std::string description;
            r = ValueText(e.value, &description, "DecodeSTR ERROR=%d\n");
            if (r != 0) return r;
            if (!EqualNoCase(description, wanted)) continue;
            // The row index is what follows the column OID and its dot.
            if (e.oid->size() > kStorageDescr.size() + 1 && e.oid->compare(0, kStorageDescr.size(), kStorageDescr) == 0 &&
                (*e.oid)[kStorageDescr.size()] == '.') {
                row = e.oid->substr(kStorageDescr.size() + 1);
                break;
            }
        }
        if (row.empty()) return 0;  // no such storage: NULL, and no error
        r = GetSNMPPacket(0, key, {kStorageSize + row, kStorageUnits + row});
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetSNMPPacket ERROR=%d\n", r);
            return r;
        }
        uint32_t numbers[2] = {};
        for (int i = 0; i < 2; ++i) {
            std::vector<uint8_t> element;
            r = GetBERData(i, &element);
            if (r != 0) return MibError(r);
            r = ValueUint(element, &numbers[i]);
            if (r != 0) return r;
        }
        // Two 32-bit factors always fit 64 bits.
        unsigned long long bytes = static_cast<unsigned long long>(numbers[0]) * numbers[1];
        return EncodeResult(MIB_BER_OCTET_STRING, FormatStorageSize(bytes));
    });
}

}  // namespace qm::tag
