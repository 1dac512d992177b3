// The exported gateway calls: handle table, channel handling, packet building and exchanges.
#include "qmmibgw.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QBUtil.h"
#include "channel.h"
#include "exchange.h"
#include "get.h"
#include "qm/platform/handle_table.h"
#include "qm/snmp/ber.h"
#include "qm/snmp/message.h"
#include "settings.h"
#include "transport.h"
#include "walk.h"

namespace qm::mibgw {
namespace {

constexpr const char* kModule = "qmmibgw";
constexpr int kMaxOids = 256;
constexpr size_t kMaxCommunity = 255;
const snmp::Oid kProbeOid = {1, 3, 6, 1, 2, 1, 1, 2, 0};  // sysObjectID.0

// A request as built by this handle, kept so that MIBSend/MIBReceive know what to expect.
struct Pending {
    std::vector<uint8_t> bytes;
    bool walk = false;
    WalkPlan plan;  // walks only
    bool get = false;
    GetPlan getPlan;  // gets and get-nexts only
    Expected expected;
};

// Where the bindings of the last answer handed out by MIBReceive lie, so that callers reading
// binding after binding of a long table do not make every read scan the answer from the start.
// Used only for the very buffer MIBReceive filled, and only while that binding's bytes are still
// the ones delivered; any other buffer is scanned, with the same bounds checks.
struct DeliveredIndex {
    const unsigned char* buffer = nullptr;
    size_t length = 0;
    std::vector<uint8_t> copy;
    struct Entry {
        size_t oidOffset, oidSize, valueOffset, valueSize;
    };
    std::vector<Entry> entries;

    void Build(const unsigned char* where, const std::vector<uint8_t>& answer) {
        buffer = where;
        length = answer.size();
        copy = answer;
        entries.clear();
        snmp::Message m;
        if (snmp::DecodeMessage(copy, &m) != snmp::BerStatus::kOk) {
            buffer = nullptr;
            return;
        }
        for (const snmp::Binding& b : m.bindings) {
            entries.push_back({static_cast<size_t>(b.oidElement.data() - copy.data()), b.oidElement.size(),
                               static_cast<size_t>(b.value.whole.data() - copy.data()), b.value.whole.size()});
        }
    }

    // 1 found, 0 past the last binding, -1 not applicable (scan instead).
    int Find(std::span<const uint8_t> response, size_t index, snmp::BerElement* oid, snmp::BerElement* value) const {
        if (buffer == nullptr || response.data() != buffer || response.size() != length) return -1;
        if (index >= entries.size()) {
            return std::equal(response.begin(), response.begin() + std::min<size_t>(length, 32), copy.begin()) ? 0 : -1;
        }
        const Entry& e = entries[index];
        size_t begin = e.oidOffset, end = e.valueOffset + e.valueSize;
        if (!std::equal(response.begin() + static_cast<std::ptrdiff_t>(begin), response.begin() + static_cast<std::ptrdiff_t>(end),
                        copy.begin() + static_cast<std::ptrdiff_t>(begin))) {
            return -1;
        }
        if (snmp::ReadElement(response.subspan(e.oidOffset, e.oidSize), oid) != snmp::BerStatus::kOk ||
            snmp::ReadElement(response.subspan(e.valueOffset, e.valueSize), value) != snmp::BerStatus::kOk) {
            return -1;
        }
        return 1;
    }
};

struct Handle {
    // Held for the whole of a call, including its wait for the agent.
    std::mutex mu;
    // Also guards `settings`, which MIBInitializeLike copies without waiting for an exchange
    // in progress: writers hold both locks, readers either.
    std::mutex settingsMu;
    Settings settings;
    RequestIds ids;
    UdpPeer peer;
    bool open = false;
    Channel channel;
    int lastError = MIB_OK;
    int agentStatus = 0;
    int agentIndex = 0;
    std::optional<Pending> built;     // last packet built
    std::optional<Pending> inflight;  // sent, answer not yet collected
    std::optional<std::vector<uint8_t>> answer;  // collected, waiting for a big enough buffer
    DeliveredIndex delivered;
};

// Binding `index` of a response: from the delivered answer's index when it applies, else by
// scanning the response.
snmp::BerStatus LocateBinding(const Handle& h, std::span<const uint8_t> response, size_t index,
                              snmp::BerElement* oid, snmp::BerElement* value) {
    switch (h.delivered.Find(response, index, oid, value)) {
        case 1: return snmp::BerStatus::kOk;
        case 0: return snmp::BerStatus::kOutOfRange;
        default: return snmp::FindBinding(response, index, oid, value);
    }
}

platform::HandleTable<Handle> gHandles;

std::shared_ptr<Handle> Find(int handle) { return gHandles.Find(handle); }

// Records the outcome of a call as the handle's last error and passes the code on.
int Done(Handle& h, int code, int detail) {
    h.lastError = detail;
    // Running past the last binding and asking for a bigger buffer are how callers are meant
    // to proceed, not failures worth a trace record.
    if (code != MIB_OK && code != MIB_ERR_BUFFER && code != MIB_ERR_NO_BINDING) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QMMIBGW: error %d (detail %d)\n", code, detail);
    }
    return code;
}
int Done(Handle& h, int code) { return Done(h, code, code); }

// Copies `bytes` out under the two-call sizing rule.
int CopyOut(std::span<const uint8_t> bytes, int* length, void* buffer) {
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) return MIB_ERR_TOO_LARGE;
    int needed = static_cast<int>(bytes.size());
    if (buffer == nullptr || *length < needed) {
        *length = needed;
        return MIB_ERR_BUFFER;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    *length = needed;
    return MIB_OK;
}

// The end of a call that copied out: a buffer too small is the code, but not the last error.
int CopiedOut(Handle& h, int code) { return Done(h, code, code == MIB_ERR_BUFFER ? MIB_OK : code); }

// The checks of a call on binding `index` of a response, and the binding: MIB_OK with its
// OID and value elements, else the call's ended result.
int BindingArgument(Handle& h, int index, int responseLength, const unsigned char* response, const int* length,
                    snmp::BerElement* oid, snmp::BerElement* value) {
    if (response == nullptr || responseLength <= 0 || length == nullptr || index < 0) return Done(h, MIB_ERR_PARAM);
    snmp::BerStatus s = LocateBinding(h, {response, static_cast<size_t>(responseLength)},
                                      static_cast<size_t>(index), oid, value);
    if (s == snmp::BerStatus::kOutOfRange) return Done(h, MIB_ERR_NO_BINDING);
    if (s != snmp::BerStatus::kOk) return Done(h, MIB_ERR_MALFORMED);
    return MIB_OK;
}

bool ParseIpv4(const char* text, uint32_t* out) {
    if (text == nullptr || *text == 0) return false;
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    *out = ntohl(a.s_addr);
    return true;
}

bool Empty(const char* text) { return text == nullptr || *text == 0; }

Timing TimingOf(const Settings& s) { return {s.timeoutMs, s.retries}; }

// The device address from the caller's texts: the IP text, never IPX.
int AddressOf(const char* ip, const char* ipx, uint32_t* address) {
    if (Empty(ip)) return Empty(ipx) ? MIB_ERR_PARAM : MIB_ERR_IPX;
    return ParseIpv4(ip, address) ? MIB_OK : MIB_ERR_PARAM;
}

// Learns the device's SNMP version by asking for sysObjectID.0: v2c first, then v1. Any
// answer, even one that reports an error, proves the version.
int ProbeVersion(Handle& h, uint32_t address, snmp::SnmpVersion* version, int* detail) {
    UdpPeer probe;
    if (!probe.Open(address, h.settings.port)) {
        if (probe.Unreachable()) {
            *detail = MIB_ERR_NO_ANSWER;
            return MIB_ERR_FAILED;
        }
        *detail = MIB_ERR_SOCKET;
        return MIB_ERR_SOCKET;
    }
    for (snmp::SnmpVersion v : {snmp::SnmpVersion::kV2c, snmp::SnmpVersion::kV1}) {
        snmp::Request r;
        r.version = v;
        r.community = h.settings.probeCommunity;
        r.type = snmp::pdu::kGet;
        r.requestId = h.ids.Next();
        r.bindings.push_back({kProbeOid, {}});
        std::vector<uint8_t> answer;
        int code = Exchange(probe, snmp::EncodeRequest(r), {r.requestId, v, r.community},
                            TimingOf(h.settings), false, &answer, detail);
        if (code == MIB_OK) {
            *version = v;
            return MIB_OK;
        }
        if (*detail != MIB_ERR_NO_ANSWER) return code;
    }
    return MIB_ERR_FAILED;
}

bool ParseDecimal(std::string_view text, bool allowSign, int64_t min, uint64_t max, int64_t* sOut,
                  uint64_t* uOut) {
    if (text.empty()) return false;
    if (allowSign) {
        int64_t v = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec != std::errc() || end != text.data() + text.size()) return false;
        if (v < min || (v > 0 && static_cast<uint64_t>(v) > max)) return false;
        *sOut = v;
        return true;
    }
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v > max) return false;
    *uOut = v;
    return true;
}

// Encodes one value from its text; MIB_ERR_PARAM for text that does not fit the type.
int EncodeValue(int type, const char* value, std::vector<uint8_t>* out) {
    snmp::BerWriter w;
    std::string_view text = value ? std::string_view(value) : std::string_view();
    int64_t s = 0;
    uint64_t u = 0;
    switch (type) {
        case MIB_BER_INTEGER:
            if (!ParseDecimal(text, true, INT32_MIN, INT32_MAX, &s, &u)) return MIB_ERR_PARAM;
            w.AddInteger(s);
            break;
        case MIB_BER_OCTET_STRING:
            w.AddText(text);
            break;
        case MIB_BER_NULL:
            w.AddNull();
            break;
        case MIB_BER_OID:
            if (w.AddOidText(text) != snmp::BerStatus::kOk) return MIB_ERR_PARAM;
            break;
        case MIB_BER_IPADDRESS: {
            in_addr a{};
            if (value == nullptr || inet_pton(AF_INET, value, &a) != 1) return MIB_ERR_PARAM;
            w.AddOctets({reinterpret_cast<const uint8_t*>(&a.s_addr), 4}, snmp::tag::kIpAddress);
            break;
        }
        case MIB_BER_COUNTER32:
        case MIB_BER_GAUGE32:
        case MIB_BER_TIMETICKS:
            if (!ParseDecimal(text, false, 0, UINT32_MAX, &s, &u)) return MIB_ERR_PARAM;
            w.AddUnsigned(u, static_cast<uint8_t>(type));
            break;
        case MIB_BER_COUNTER64:
            if (!ParseDecimal(text, false, 0, UINT64_MAX, &s, &u)) return MIB_ERR_PARAM;
            w.AddUnsigned(u, snmp::tag::kCounter64);
            break;
        default:
            return MIB_ERR_TYPE;
    }
    *out = w.Take();
    return MIB_OK;
}

int ParseOids(int count, const char* const* oids, std::vector<snmp::Oid>* out) {
    if (count < 1 || count > kMaxOids || oids == nullptr) return MIB_ERR_PARAM;
    out->resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (oids[i] == nullptr || snmp::ParseOidText(oids[i], &(*out)[static_cast<size_t>(i)]) != snmp::BerStatus::kOk) {
            return MIB_ERR_PARAM;
        }
    }
    return MIB_OK;
}

int CheckCommunity(const char* community) {
    return community != nullptr && std::strlen(community) <= kMaxCommunity ? MIB_OK : MIB_ERR_PARAM;
}

int MaxRepetitions(const Handle& h, int number) {
    return number >= 2 && number <= 255 ? number : h.settings.maxRepetitions;
}

// Finishes a packet build: remembers it and copies it out.
int StoreBuilt(Handle& h, Pending pending, int* length, unsigned char* packet) {
    int code = CopyOut(pending.bytes, length, packet);
    if (code == MIB_OK) h.built = std::move(pending);
    return Done(h, code, code == MIB_ERR_BUFFER ? MIB_OK : code);
}

// An element the caller encoded: its extent comes from its own header. The caller promises a
// complete element; the length is capped so a damaged header cannot make us copy megabytes.
bool ElementExtent(const unsigned char* element, size_t* size) {
    if (element == nullptr) return false;
    size_t pos = 1;
    size_t length = element[pos++];
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 2) return false;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | element[pos++];
    }
    if (length > 65535) return false;
    *size = pos + length;
    return true;
}

}  // namespace
}  // namespace qm::mibgw

using namespace qm::mibgw;
namespace snmp = qm::snmp;

extern "C" {

namespace {
int AddHandle(Settings settings) {
    auto h = std::make_shared<Handle>();
    h->settings = std::move(settings);
    const int id = gHandles.Add(std::move(h));
    return id != 0 ? id : MIB_ERR_FAILED;
}
}  // namespace

int MIBInitialize(void) { return AddHandle(LoadSettings()); }

int MIBInitializeLike(int handle) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    Settings copy;
    {
        std::lock_guard lock(h->settingsMu);
        copy = h->settings;
    }
    return AddHandle(std::move(copy));
}

int MIBRelease(int handle) {
    std::shared_ptr<Handle> h = gHandles.Remove(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    h->peer.Close();
    return MIB_OK;
}

int MIBSetOption(int handle, int option, int value) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    std::lock_guard settingsLock(h->settingsMu);
    Settings& s = h->settings;
    // Each option, the range it accepts and where it goes.
    struct Option {
        int option, low, high;
        void (*set)(Settings&, int);
    };
    static const Option kOptions[] = {
        {MIB_OPT_PORT, 1, 65535, [](Settings& t, int v) { t.port = static_cast<uint16_t>(v); }},
        {MIB_OPT_TIMEOUT_MS, 1, 600000, [](Settings& t, int v) { t.timeoutMs = v; }},
        {MIB_OPT_RETRIES, 0, 100, [](Settings& t, int v) { t.retries = v; }},
        {MIB_OPT_VERSION, 0, 2, [](Settings& t, int v) { t.version = v; }},
        {MIB_OPT_MAX_REPETITIONS, 1, 255, [](Settings& t, int v) { t.maxRepetitions = v; }},
    };
    for (const Option& o : kOptions) {
        if (o.option != option) continue;
        if (value < o.low || value > o.high) return MIB_ERR_PARAM;
        o.set(s, value);
        return MIB_OK;
    }
    return MIB_ERR_PARAM;
}

int MIBGetChannelInfo(int handle, const char* ip, const char* ipx, unsigned char* channel) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (channel == nullptr) return Done(*h, MIB_ERR_PARAM);
    Channel c;
    int code = AddressOf(ip, ipx, &c.address);
    if (code != MIB_OK) return Done(*h, code);
    c.port = h->settings.port;
    if (h->settings.version == 1) {
        c.version = snmp::SnmpVersion::kV1;
    } else if (h->settings.version == 2) {
        c.version = snmp::SnmpVersion::kV2c;
    } else {
        int detail = MIB_OK;
        code = ProbeVersion(*h, c.address, &c.version, &detail);
        if (code != MIB_OK) return Done(*h, code, detail);
        c.probed = true;
    }
    EncodeChannel(c, channel);
    return Done(*h, MIB_OK);
}

int MIBOpen(int handle, const char* ip, const char* ipx, const unsigned char* channel) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (channel == nullptr) return Done(*h, MIB_ERR_PARAM);
    uint32_t address = 0;
    int code = AddressOf(ip, ipx, &address);
    if (code != MIB_OK) return Done(*h, code);
    Channel c;
    // A record from another gateway layout, another address or another agent port (the
    // installation's settings changed) would send requests to the wrong place: the caller
    // must fetch a fresh one.
    if (!DecodeChannel(channel, &c) || c.address != address || c.port != h->settings.port) {
        return Done(*h, MIB_ERR_STALE_CHANNEL);
    }
    h->built.reset();
    h->inflight.reset();
    h->answer.reset();
    if (!h->peer.Open(c.address, c.port)) {
        h->open = false;
        if (h->peer.Unreachable()) return Done(*h, MIB_ERR_FAILED, MIB_ERR_NO_ANSWER);
        return Done(*h, MIB_ERR_SOCKET);
    }
    h->open = true;
    h->channel = c;
    return Done(*h, MIB_OK);
}

int MIBClose(int handle) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    h->peer.Close();
    h->open = false;
    h->built.reset();
    h->inflight.reset();
    h->answer.reset();
    return MIB_OK;
}

int MIBCreateGetRequestSNMPPacket(int handle, int kind, int number, const char* community,
                                  int count, const char* const* oids, int* length,
                                  unsigned char* packet) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (length == nullptr || (kind != 0 && kind != 1 && kind != 5) || CheckCommunity(community) != MIB_OK) {
        return Done(*h, MIB_ERR_PARAM);
    }
    std::vector<snmp::Oid> parsed;
    int code = ParseOids(count, oids, &parsed);
    if (code != MIB_OK || (kind == 5 && count != 1)) return Done(*h, MIB_ERR_PARAM);
    if (!h->open) return Done(*h, MIB_ERR_NOT_OPEN);

    Pending p;
    int32_t id = h->ids.Next();
    p.expected = {id, h->channel.version, community};
    if (kind == 5) {
        p.walk = true;
        p.plan.root = parsed[0];
        p.plan.version = h->channel.version;
        p.plan.community = community;
        p.plan.maxRepetitions = MaxRepetitions(*h, number);
        p.plan.maxResponse = h->settings.maxResponse;
        p.bytes = WalkRequest(p.plan, p.plan.root, id);
    } else {
        p.get = true;
        p.getPlan.version = h->channel.version;
        p.getPlan.community = community;
        p.getPlan.type = kind == 0 ? snmp::pdu::kGet : snmp::pdu::kGetNext;
        p.getPlan.oids = std::move(parsed);
        std::vector<size_t> all(p.getPlan.oids.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        p.bytes = GetRequest(p.getPlan, all, id);
    }
    return StoreBuilt(*h, std::move(p), length, packet);
}

int MIBCreateSetRequestSNMPPacket(int handle, int number, const char* community, int count,
                                  const char* const* oids, const unsigned char* const* values,
                                  int* length, unsigned char* packet) {
    (void)number;  // sets are single exchanges: nothing to tune
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (length == nullptr || values == nullptr || CheckCommunity(community) != MIB_OK) {
        return Done(*h, MIB_ERR_PARAM);
    }
    std::vector<snmp::Oid> parsed;
    if (ParseOids(count, oids, &parsed) != MIB_OK) return Done(*h, MIB_ERR_PARAM);
    if (!h->open) return Done(*h, MIB_ERR_NOT_OPEN);

    snmp::Request r;
    r.version = h->channel.version;
    r.community = community;
    r.type = snmp::pdu::kSet;
    r.requestId = h->ids.Next();
    for (int i = 0; i < count; ++i) {
        size_t size = 0;
        if (!ElementExtent(values[i], &size)) return Done(*h, MIB_ERR_PARAM);
        std::span<const uint8_t> raw(values[i], size);
        snmp::BerElement e;
        if (snmp::ReadElement(raw, &e) != snmp::BerStatus::kOk || e.whole.size() != size) {
            return Done(*h, MIB_ERR_PARAM);
        }
        r.bindings.push_back({std::move(parsed[static_cast<size_t>(i)]), {raw.begin(), raw.end()}});
    }
    Pending p;
    p.expected = {r.requestId, r.version, r.community};
    p.bytes = snmp::EncodeRequest(r);
    return StoreBuilt(*h, std::move(p), length, packet);
}

int MIBSend(int handle, int length, const unsigned char* packet) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (packet == nullptr || length <= 0 || length > 65507) return Done(*h, MIB_ERR_PARAM);
    if (!h->open) return Done(*h, MIB_ERR_NOT_OPEN);
    std::span<const uint8_t> bytes(packet, static_cast<size_t>(length));
    Pending p;
    if (h->built && std::equal(bytes.begin(), bytes.end(), h->built->bytes.begin(), h->built->bytes.end())) {
        p = *h->built;
    } else {
        // A packet built elsewhere: learn from its header what the answer must carry.
        snmp::Message m;
        if (snmp::DecodeHeader(bytes, &m) != snmp::BerStatus::kOk) return Done(*h, MIB_ERR_PARAM);
        p.bytes.assign(bytes.begin(), bytes.end());
        p.expected = {m.requestId, m.version, std::string(m.community)};
    }
    h->answer.reset();
    h->inflight.reset();
    if (!h->peer.Send(bytes)) {
        if (h->peer.Unreachable()) return Done(*h, MIB_ERR_FAILED, MIB_ERR_NO_ANSWER);
        return Done(*h, MIB_ERR_SOCKET);
    }
    h->inflight = std::move(p);
    return Done(*h, MIB_OK);
}

int MIBReceive(int handle, int* length, unsigned char* response) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (length == nullptr) return Done(*h, MIB_ERR_PARAM);
    if (!h->answer) {
        if (!h->inflight || !h->open) return Done(*h, MIB_ERR_NOT_OPEN);
        Pending p = std::move(*h->inflight);
        h->inflight.reset();
        std::vector<uint8_t> answer;
        Timing timing = TimingOf(h->settings);
        if (p.walk) {
            WalkOutcome w = RunWalk(h->peer, p.plan, timing, h->ids, p.expected.requestId, true, &answer);
            if (w.code != MIB_OK) {
                h->agentStatus = w.agentStatus;
                h->agentIndex = w.agentIndex;
                return Done(*h, w.code, w.detail);
            }
        } else if (p.get) {
            GetOutcome g = RunGet(h->peer, p.getPlan, timing, h->ids, p.expected.requestId, true, &answer);
            if (g.code != MIB_OK) {
                h->agentStatus = g.agentStatus;
                h->agentIndex = g.agentIndex;
                return Done(*h, g.code, g.detail);
            }
        } else {
            int detail = MIB_OK;
            int code = Exchange(h->peer, p.bytes, p.expected, timing, true, &answer, &detail);
            if (code != MIB_OK) return Done(*h, code, detail);
            snmp::Message m;
            snmp::DecodeHeader(answer, &m);
            if (m.errorStatus != snmp::errstat::kNoError) {
                h->agentStatus = m.errorStatus;
                h->agentIndex = m.errorIndex;
                return Done(*h, MIB_ERR_AGENT);
            }
        }
        h->agentStatus = h->agentIndex = 0;
        h->answer = std::move(answer);
    }
    int code = CopyOut(*h->answer, length, response);
    if (code == MIB_OK) {
        h->delivered.Build(response, *h->answer);
        h->answer.reset();
    }
    return CopiedOut(*h, code);
}

int MIBGetBERDataFromSNMPPacket(int handle, int index, int responseLength,
                                const unsigned char* response, int* length, unsigned char* buffer) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    snmp::BerElement oid, value;
    if (int code = BindingArgument(*h, index, responseLength, response, length, &oid, &value); code != MIB_OK)
        return code;
    return CopiedOut(*h, CopyOut(value.whole, length, buffer));
}

int MIBGetchObjectIDFromSNMPPacket(int handle, int index, int responseLength,
                                   const unsigned char* response, int* length, char* buffer) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    snmp::BerElement oidElement, value;
    if (int code = BindingArgument(*h, index, responseLength, response, length, &oidElement, &value);
        code != MIB_OK)
        return code;
    snmp::Oid oid;
    if (snmp::DecodeOid(oidElement.content, &oid) != snmp::BerStatus::kOk) return Done(*h, MIB_ERR_MALFORMED);
    std::string text = snmp::OidToText(oid);
    int code = CopyOut({reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1}, length, buffer);
    return CopiedOut(*h, code);
}

int MIBBEREncode(int handle, int type, const char* value, int* length, unsigned char* buffer) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (length == nullptr || (value == nullptr && type != MIB_BER_NULL)) return Done(*h, MIB_ERR_PARAM);
    std::vector<uint8_t> element;
    int code = EncodeValue(type, value, &element);
    if (code != MIB_OK) return Done(*h, code);
    code = CopyOut(element, length, buffer);
    return CopiedOut(*h, code);
}

int MIBGetErrorNo(int handle) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    return h->lastError;
}

int MIBGetAgentError(int handle, int* status, int* index) {
    auto h = Find(handle);
    if (!h) return MIB_ERR_HANDLE;
    std::lock_guard lock(h->mu);
    if (status) *status = h->agentStatus;
    if (index) *index = h->agentIndex;
    return MIB_OK;
}

}  // extern "C"
