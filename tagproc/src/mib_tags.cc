// The MIB data tags: get a list of objects, get the next one, read a subtree, set one object.
#include <string>
#include <vector>

#include "QBUtil.h"
#include "processor.h"
#include "qmmibgw.h"

namespace qm::tag {

namespace {

constexpr const char* kModule = "TPMainClass";
constexpr const char* kWriteCommunity = "wixam";
constexpr int kTagNumber = 37;


}  // namespace

int CTagProcessor::GetMIBData(int argc, void** argv) {
    return TextTag("GetMIBData", argc, argv, 2, [&]() -> int {
        std::vector<std::string> oids = SplitOidList(Text(argv, 2));
        DeviceKey key;
        int r = SetDevKeyInfo(Text(argv, 1), &key);
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR=%d\n", r);
            return -3;
        }
        r = GetSNMPPacket(0, key, oids);
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetSNMPPacket ERROR=%d\n", r);
            return r;
        }
        std::vector<SeqEntry> entries(oids.size());
        for (size_t i = 0; i < oids.size(); ++i) {
            std::string returned;
            r = GetBERDataandOid(static_cast<int>(i), &entries[i].value, &returned);
            if (r != 0) {
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetBERDataandOid ERROR=%d\n", r);
                return MibError(r);
            }
            // The row names what the page asked for, whatever the agent put there.
            entries[i].oid = oids[i];
        }
        r = Encode(entries);
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CreateSEQ ERROR=%d\n", r);
            return BerError(r);
        }
        return 0;
    });
}

int CTagProcessor::KeyAndExchange(void** argv, int kind, DeviceKey* key) {
    int r = SetDevKeyInfo(Text(argv, 1), key);
    if (r != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo=%d\n", r);
        return -3;
    }
    r = GetSNMPPacket(kind, *key, {Text(argv, 2)});
    if (r != 0) QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetSNMPPacket=%d\n", r);
    return r;
}

int CTagProcessor::EncodeEntries(const std::vector<SeqEntry>& entries) {
    int r = Encode(entries);
    if (r != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CreateSEQ=%d\n", r);
        return BerError(r);
    }
    return 0;
}

int CTagProcessor::GetNextMIBData(int argc, void** argv) {
    return TextTag("GetNextMIBData", argc, argv, 2, [&]() -> int {
        DeviceKey key;
        int r = KeyAndExchange(argv, 1, &key);
        if (r != 0) return r;
        std::vector<SeqEntry> entries(1);
        std::string returned;
        r = GetBERDataandOid(0, &entries[0].value, &returned);
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetBERDataandOid=%d\n", r);
            return MibError(r);
        }
        entries[0].oid = std::move(returned);
        return EncodeEntries(entries);
    });
}

int CTagProcessor::GetEntryMIBData(int argc, void** argv) {
    return TextTag("GetEntryMIBData", argc, argv, 2, [&]() -> int {
        DeviceKey key;
        int r = KeyAndExchange(argv, 5, &key);
        if (r != 0) return r;
        std::vector<SeqEntry> entries;
        r = ReadAllBindings(&entries);
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetBERDataandOid=%d\n", r);
            return r;
        }
        if (entries.empty()) return -4;
        return EncodeEntries(entries);
    });
}

int CTagProcessor::SetMIBData(int argc, void** argv) {
    if (!CheckArgs(argc, argv, 4, true)) return Finish("SetMIBData", argv, -2);
    const int32_t type = *static_cast<const int32_t*>(argv[3]);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED SetMIBData(%s,%s,%d,%s)\n", Text(argv, 1), Text(argv, 2), type,
            Text(argv, 4));
    auto run = [&]() -> int {
        DeviceKey key;
        int r = SetDevKeyInfo(Text(argv, 1), &key);
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo=%d\n", r);
            return -3;
        }
        // One value is encoded, so only the first OID of a list is set.
        std::vector<std::string> oids = SplitOidList(Text(argv, 2));
        int code = OpenDevice(key);
        if (code == 0) {
            std::vector<uint8_t> value;
            code = Encode(type, Text(argv, 4), &value);
            if (code == 0) {
                const char* oid = oids[0].c_str();
                const unsigned char* values[1] = {value.data()};
                int length = 0;
                r = MIB_ERR_BUFFER;
                for (int i = 0; i < 8 && r == MIB_ERR_BUFFER; ++i) {
                    State().packet.resize(static_cast<size_t>(length));
                    r = MIBCreateSetRequestSNMPPacket(Gateway(), kTagNumber, kWriteCommunity, 1, &oid, values, &length,
                                                      State().packet.empty() ? nullptr : State().packet.data());
                }
                // The answer is not awaited: a request on its way is success.
                if (r == 0) r = MIBSend(Gateway(), length, State().packet.data());
                if (r != 0) code = MibError(r);
            }
        }
        if (State().mibError == MIB_ERR_FAILED && MIBGetErrorNo(Gateway()) == MIB_ERR_NO_ANSWER) code = MIB_ERR_NO_ANSWER;
        MIBClose(Gateway());
        return code;
    };
    int code = run();
    // Setting has no data to show: the page always receives NULL.
    SetErrorResult();
    return Finish("SetMIBData", argv, code);
}

}  // namespace qm::tag
