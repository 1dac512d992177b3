// CTagProcessor's life and frame: construction and release, the checks and closing traces
// every tag shares, the error mapping, and the SNMP exchange with the device's stored channel.
#include "processor.h"

#include <cstring>

#include "QBUtil.h"
#include "discovery_link.h"
#include "qmdbmgr.h"
#include "qmmibgw.h"

namespace qm::tag {

namespace {

constexpr const char* kModule = "TPMainClass";
constexpr const char* kReadCommunity = "tarlow";
constexpr int kTagNumber = 37;
// Buffers grow at most this often on -108; a gateway that keeps asking is broken.
constexpr int kMaxGrow = 8;

// The configuration database keeps one context per thread; the HTTP server calls tags from
// several threads, so every thread opens its own context before its first database call.
thread_local bool tDbReady = false;

}  // namespace

void EnsureDbThread() {
    if (!tDbReady) tDbReady = DBMgrInitialize() == 0;
}

CTagProcessor::CTagProcessor(void* hostContext, void* hostValue, QmOutputCallback output, int32_t reserved)
    : hostContext_(hostContext), hostValue_(hostValue), output_(output), reserved_(reserved) {
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(IN) CTagProcessor()\n");
    // The first gateway handle is made here, so that a gateway that cannot start fails the
    // processor; calls running side by side add more as they need them.
    const int gateway = MIBInitialize();
    if (gateway <= 0) {
        startResult_ = -1;
    } else {
        allGateways_.push_back(gateway);
        idleGateways_.push_back(gateway);
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: QBInitialize\n");
    int r = DiscoveryInitialize();
    if (r != 0) startResult_ = -1;
    else discoveryStarted_ = true;
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: QBInitialize m_nResultCode=%d\n", startResult_);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBMgrInitialize\n");
    r = DBMgrInitialize();
    if (r != 0) {
        startResult_ = -1;
    } else {
        dbStarted_ = true;
        tDbReady = true;
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBMgrInitialize m_nResultCode=%d\n", startResult_);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(OUT) CTagProcessor()  m_nResultCode = %d\n", startResult_);
}

CTagProcessor::~CTagProcessor() {
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(IN) ~CTagProcessor()\n");
    CloseAllLogs();
    sessions_.CloseAll();
    for (int gateway : allGateways_) MIBRelease(gateway);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: QBRelease\n");
    if (discoveryStarted_) DiscoveryRelease();
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: QBRelease\n");
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBMgrRelease\n");
    if (dbStarted_) {
        DBMgrRelease();
        tDbReady = false;
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBMgrRelease\n");
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(OUT) ~CTagProcessor()\n");
}

// ---- Per-thread state ---------------------------------------------------------------------

namespace {
// The state the running call on this thread works on, and whose it is.
struct Bound {
    const CTagProcessor* owner = nullptr;
    CallState* state = nullptr;
};
thread_local Bound tBound;
}  // namespace

CTagProcessor::CallScope::CallScope(CTagProcessor& p) : p_(p) {
    CallState* state;
    {
        std::lock_guard lock(p.statesMu_);
        std::unique_ptr<CallState>& slot = p.states_[std::this_thread::get_id()];
        if (!slot) slot = std::make_unique<CallState>();
        state = slot.get();
    }
    tBound = {&p, state};
}

CTagProcessor::CallScope::~CallScope() {
    if (tBound.owner == &p_) p_.ReturnGateway(*tBound.state);
    tBound = {};
}

CallState& CTagProcessor::State() {
    if (tBound.owner == this) return *tBound.state;
    // A method run outside a call scope (not one of the exports' paths) still gets the
    // thread's own state.
    std::lock_guard lock(statesMu_);
    std::unique_ptr<CallState>& slot = states_[std::this_thread::get_id()];
    if (!slot) slot = std::make_unique<CallState>();
    return *slot;
}

void CTagProcessor::DropThreadResult() {
    std::lock_guard lock(statesMu_);
    auto it = states_.find(std::this_thread::get_id());
    if (it == states_.end()) return;
    ReturnGateway(*it->second);
    if (tBound.state == it->second.get()) tBound = {};
    states_.erase(it);
}

int CTagProcessor::Gateway() {
    CallState& state = State();
    if (state.gateway > 0) return state.gateway;
    {
        std::lock_guard lock(gatewaysMu_);
        if (!idleGateways_.empty()) {
            state.gateway = idleGateways_.back();
            idleGateways_.pop_back();
            return state.gateway;
        }
    }
    // Every handle is in use by another call: one more, kept for later calls, with the
    // settings of the first (all calls reach printers alike, whatever the registry says now).
    int first = 0;
    {
        std::lock_guard lock(gatewaysMu_);
        if (!allGateways_.empty()) first = allGateways_.front();
    }
    const int made = first > 0 ? MIBInitializeLike(first) : MIBInitialize();
    if (made <= 0) return made;  // the gateway calls then fail with a handle error
    std::lock_guard lock(gatewaysMu_);
    allGateways_.push_back(made);
    state.gateway = made;
    return made;
}

void CTagProcessor::ReturnGateway(CallState& state) {
    if (state.gateway <= 0) return;
    std::lock_guard lock(gatewaysMu_);
    idleGateways_.push_back(state.gateway);
    state.gateway = 0;
}

// ---- Frame ------------------------------------------------------------------------------

bool CTagProcessor::CheckArgs(int argc, void** argv, int expected, bool keyFirst) {
    State().mibError = State().qbError = State().dbError = State().asnError = 0;
    bool good = argc - 1 == expected;
    for (int i = 1; good && i <= expected; ++i) good = argv[i] != nullptr;
    if (good && keyFirst) good = *static_cast<const char*>(argv[1]) != 0;
    if (!good) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "PARAM ERROR\n");
        return false;
    }
    Result().clear();
    return true;
}

bool CTagProcessor::Called(const char* name, int argc, void** argv, int expected, bool keyFirst) {
    if (!CheckArgs(argc, argv, expected, keyFirst)) return false;
    if ((QbGetTraceLevel() & QB_TRACE_INFO) == 0) return true;
    std::string call = std::string(name) + "(";
    for (int i = 1; i <= expected; ++i) {
        if (i > 1) call += ',';
        call += Text(argv, i);
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED %s)\n", call.c_str());
    return true;
}

int CTagProcessor::EncodeResult(int type, const std::string& text) {
    std::vector<uint8_t> value;
    int r = Encode(type, text, &value);
    if (r == 0) SetResult(std::move(value));
    return r;
}

void CTagProcessor::SetErrorResult() { Result().assign(nullResult_, nullResult_ + sizeof nullResult_); }

void CTagProcessor::SetResult(std::vector<uint8_t> bytes) { Result() = std::move(bytes); }

int CTagProcessor::Finish(const char* name, void** argv, int code) {
    if (code != 0 || Result().empty()) SetErrorResult();
    *static_cast<const unsigned char**>(argv[0]) = Result().data();
    QbDump(QB_TRACE_INFO, kModule, __LINE__, Result().data(), static_cast<int>(Result().size()));
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "MIBError = '%d',DBError = '%d',QBAPIError = '%d',ASN1 = '%d'\n",
            State().mibError, State().dbError, State().qbError, State().asnError);
    QbTrace(code == 0 ? QB_TRACE_INFO : QB_TRACE_ERROR, kModule, __LINE__, "%s is returned '%d'\n", name, code);
    // Work buffers do not outlive the call; big walks would otherwise stay allocated.
    State().packet = {};
    State().response = {};
    State().lastResult = code;
    return code;
}

// The error bytes are signed bytes; component codes fit them (-128..127 for the gateway's
// codes down to -122, the store's small negative codes and the BER helpers' ones).
int CTagProcessor::MibError(int e) {
    State().mibError = static_cast<int8_t>(e);
    return e == -104 || e == -2 ? -3 : -2;
}

int CTagProcessor::BerError(int e) {
    State().asnError = static_cast<int8_t>(e);
    return e == -4 || e == -2 ? -3 : -2;
}

int CTagProcessor::DbError(int e) {
    State().dbError = static_cast<int8_t>(e);
    return e == -2 ? -3 : -2;
}

// ---- Device access ----------------------------------------------------------------------

int CTagProcessor::OpenDevice(const DeviceKey& key) {
    unsigned char channel[DB_CHANNEL_MAX] = {};
    int size = 0;
    EnsureDbThread();
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBReadChannelInfo\n");
    int r = DBReadChannelInfo(key.dbKey.c_str(), channel, &size);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBReadChannelInfo=%d\n", r);
    if (r != 0) return DbError(r);
    const char* ip = key.ip.c_str();
    const char* ipx = key.ipx.c_str();
    if (size == 0) {
        r = MIBGetChannelInfo(Gateway(), ip, ipx, channel);
        if (r != 0) return MibError(r);
    }
    r = MIBOpen(Gateway(), ip, ipx, channel);
    if (r == MIB_ERR_STALE_CHANNEL) {
        r = MIBGetChannelInfo(Gateway(), ip, ipx, channel);
        if (r != 0) return MibError(r);
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBWriteChannelInfo\n");
        r = DBWriteChannelInfo(key.dbKey.c_str(), channel, MIB_CHANNEL_SIZE);
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBWriteChannelInfo=%d\n", r);
        if (r != 0) return DbError(r);
        r = MIBOpen(Gateway(), ip, ipx, channel);
    }
    if (r != 0) return MibError(r);
    return 0;
}

int CTagProcessor::GetSNMPPacket(int kind, const DeviceKey& key, const std::vector<std::string>& oids) {
    int code = OpenDevice(key);
    if (code == 0) {
        std::vector<const char*> texts;
        texts.reserve(oids.size());
        for (const std::string& o : oids) texts.push_back(o.c_str());
        int length = static_cast<int>(State().packet.size());
        int r = MIB_ERR_BUFFER;
        for (int i = 0; i < kMaxGrow && r == MIB_ERR_BUFFER; ++i) {
            State().packet.resize(static_cast<size_t>(length));
            r = MIBCreateGetRequestSNMPPacket(Gateway(), kind, kTagNumber, kReadCommunity,
                                              static_cast<int>(texts.size()), texts.data(), &length,
                                              State().packet.empty() ? nullptr : State().packet.data());
        }
        if (r == 0) r = MIBSend(Gateway(), length, State().packet.data());
        if (r == 0) {
            int size = static_cast<int>(State().response.capacity());
            r = MIB_ERR_BUFFER;
            for (int i = 0; i < kMaxGrow && r == MIB_ERR_BUFFER; ++i) {
                State().response.resize(static_cast<size_t>(size));
                r = MIBReceive(Gateway(), &size, State().response.empty() ? nullptr : State().response.data());
            }
            if (r == 0) State().response.resize(static_cast<size_t>(size));
        }
        if (r != 0) code = MibError(r);
    }
    // A device that does not answer is told apart from every other failure: pages show it.
    if (State().mibError == MIB_ERR_FAILED && MIBGetErrorNo(Gateway()) == MIB_ERR_NO_ANSWER) code = MIB_ERR_NO_ANSWER;
    MIBClose(Gateway());
    return code;
}

int CTagProcessor::GetBERData(int index, std::vector<uint8_t>* value) {
    int length = 64;
    int r = MIB_ERR_BUFFER;
    for (int i = 0; i < kMaxGrow && r == MIB_ERR_BUFFER; ++i) {
        value->resize(static_cast<size_t>(length));
        r = MIBGetBERDataFromSNMPPacket(Gateway(), index, static_cast<int>(State().response.size()), State().response.data(),
                                        &length, value->data());
    }
    if (r == 0) value->resize(static_cast<size_t>(length));
    return r;
}

int CTagProcessor::GetOid(int index, std::string* oid) {
    std::vector<char> text;
    int length = 128;
    int r = MIB_ERR_BUFFER;
    for (int i = 0; i < kMaxGrow && r == MIB_ERR_BUFFER; ++i) {
        text.resize(static_cast<size_t>(length));
        r = MIBGetchObjectIDFromSNMPPacket(Gateway(), index, static_cast<int>(State().response.size()), State().response.data(),
                                           &length, text.data());
    }
    if (r == 0) oid->assign(text.data(), ::strnlen(text.data(), text.size()));
    return r;
}

int CTagProcessor::GetBERDataandOid(int index, std::vector<uint8_t>* value, std::string* oid) {
    int r = GetBERData(index, value);
    if (r == 0) r = GetOid(index, oid);
    return r;
}

int CTagProcessor::ReadAllBindings(std::vector<SeqEntry>* out) {
    for (int j = 0;; ++j) {
        SeqEntry e;
        std::string oid;
        int r = GetOid(j, &oid);
        if (r == 0) r = GetBERData(j, &e.value);
        if (r == MIB_ERR_NO_BINDING) return 0;
        if (r != 0) return MibError(r);
        e.oid = std::move(oid);
        out->push_back(std::move(e));
    }
}

int CTagProcessor::Encode(int type, const std::string& text, std::vector<uint8_t>* out) {
    int length = 16;
    int r = MIB_ERR_BUFFER;
    for (int i = 0; i < kMaxGrow && r == MIB_ERR_BUFFER; ++i) {
        out->resize(static_cast<size_t>(length));
        r = MIBBEREncode(Gateway(), type, text.c_str(), &length, out->data());
    }
    if (r != 0) return MibError(r);
    out->resize(static_cast<size_t>(length));
    return 0;
}

int CTagProcessor::Encode(const std::vector<SeqEntry>& entries) {
    std::vector<uint8_t> bytes(256);
    int size = static_cast<int>(bytes.size());
    int r = CreateSEQ(entries, bytes.data(), &size);
    if (r == kBerBufferSmall) {
        bytes.resize(static_cast<size_t>(size));
        r = CreateSEQ(entries, bytes.data(), &size);
    }
    if (r != 0) return r;
    bytes.resize(static_cast<size_t>(size));
    SetResult(std::move(bytes));
    return 0;
}

int CTagProcessor::ValueContent(const std::vector<uint8_t>& element, bool needContent, BerInfo* info) {
    int r = GetBERInfo(element, info);
    if (r != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetBERInfo ERROR=%d\n", r);
        return BerError(r);
    }
    if (needContent && info->content.empty()) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "GetBERInfo pBERValue = NULL");
        return -2;
    }
    return 0;
}

int CTagProcessor::Decoded(int r, const char* decodeTrace) {
    if (r == 0) return 0;
    QbTrace(QB_TRACE_ERROR, kModule, __LINE__, decodeTrace, r);
    return BerError(r);
}

int CTagProcessor::ValueInt(const std::vector<uint8_t>& element, int32_t* out, const char* decodeTrace) {
    BerInfo info;
    int r = ValueContent(element, true, &info);
    return r != 0 ? r : Decoded(DecodeINT(info.content, out), decodeTrace);
}

int CTagProcessor::ValueUint(const std::vector<uint8_t>& element, uint32_t* out) {
    BerInfo info;
    int r = ValueContent(element, true, &info);
    return r != 0 ? r : Decoded(DecodeUINT(info.content, out), "DecodeUINT ERROR=%d\n");
}

int CTagProcessor::ValueText(const std::vector<uint8_t>& element, std::string* out, const char* decodeTrace) {
    BerInfo info;
    int r = ValueContent(element, false, &info);
    if (r != 0) return r;
    std::vector<char> text(64);
    int size = static_cast<int>(text.size());
    r = DecodeSTR(info.content, text.data(), &size);
    if (r == kBerBufferSmall) {
        text.resize(static_cast<size_t>(size));
        r = DecodeSTR(info.content, text.data(), &size);
    }
    if ((r = Decoded(r, decodeTrace)) != 0) return r;
    // Printers pad texts with NUL bytes to their field's width ("RAM\0\0\0\0\0"); as text the
    // value ends at the first one, so it compares and joins like the same text unpadded.
    out->assign(text.data(), ::strnlen(text.data(), static_cast<size_t>(size - 1)));
    return 0;
}

int CTagProcessor::GetLastError(int argc, void** argv) {
    if (!CheckArgs(argc, argv, 0, false)) return Finish("GetLastError", argv, -2);
    int previous = State().lastResult;
    int code = EncodeResult(MIB_BER_INTEGER, std::to_string(previous));
    Finish("GetLastError", argv, code);
    // Asking for the last result does not replace it.
    State().lastResult = previous;
    return code;
}

}  // namespace qm::tag
