// Walking a subtree with get-bulk (v2c) or get-next (v1) and packing the result as one answer.
#include "walk.h"

#include "qmmibgw.h"

namespace qm::mibgw {

namespace {

bool IsException(uint8_t t) {
    return t == snmp::tag::kNoSuchObject || t == snmp::tag::kNoSuchInstance ||
           t == snmp::tag::kEndOfMibView;
}

// Collects bindings as raw (OID element, value element) pairs and builds the final message.
class Collector {
public:
    explicit Collector(size_t limit) : limit_(limit) {}
    bool Add(const snmp::Binding& b) {
        size_t grows = b.oidElement.size() + b.value.whole.size() + 6;
        if (size_ + grows > limit_) return false;
        size_ += grows;
        bindings_.insert(bindings_.end(), {0x30});
        std::vector<uint8_t> body(b.oidElement.begin(), b.oidElement.end());
        body.insert(body.end(), b.value.whole.begin(), b.value.whole.end());
        snmp::AppendLength(bindings_, body.size());
        bindings_.insert(bindings_.end(), body.begin(), body.end());
        ++count_;
        return true;
    }
    size_t count() const { return count_; }
    std::vector<uint8_t> Finish(const WalkPlan& plan, int32_t id) const {
        snmp::BerWriter w;
        const snmp::PduMarks marks =
            snmp::OpenPdu(w, plan.version, plan.community, snmp::pdu::kResponse, id);
        w.AddRaw(bindings_);
        snmp::ClosePdu(w, marks);
        return w.Take();
    }

private:
    size_t limit_;
    size_t size_ = 0;
    size_t count_ = 0;
    std::vector<uint8_t> bindings_;
};

std::vector<uint8_t> GetRequest(const WalkPlan& plan, const snmp::Oid& oid, int32_t id) {
    snmp::Request r;
    r.version = plan.version;
    r.community = plan.community;
    r.type = snmp::pdu::kGet;
    r.requestId = id;
    r.bindings.push_back({oid, {}});
    return snmp::EncodeRequest(r);
}

}  // namespace

std::vector<uint8_t> WalkRequest(const WalkPlan& plan, const snmp::Oid& from, int32_t requestId) {
    snmp::Request r;
    r.version = plan.version;
    r.community = plan.community;
    r.requestId = requestId;
    if (plan.version == snmp::SnmpVersion::kV2c) {
        r.type = snmp::pdu::kGetBulk;
        r.nonRepeaters = 0;
        r.maxRepetitions = plan.maxRepetitions;
    } else {
        r.type = snmp::pdu::kGetNext;
    }
    r.bindings.push_back({from, {}});
    return snmp::EncodeRequest(r);
}

WalkOutcome RunWalk(UdpPeer& peer, const WalkPlan& givenPlan, const Timing& timing, RequestIds& ids,
                    int32_t firstId, bool firstSent, std::vector<uint8_t>* response) {
    WalkOutcome out;
    WalkPlan plan = givenPlan;
    Collector collected(plan.maxResponse);
    snmp::Oid cursor = plan.root;
    int32_t id = firstId;
    bool sent = firstSent;
    std::vector<uint8_t> answer;
    bool done = false;
    while (!done) {
        std::vector<uint8_t> request = WalkRequest(plan, cursor, id);
        int code = Exchange(peer, request, {id, plan.version, plan.community}, timing, sent, &answer,
                            &out.detail);
        if (code != MIB_OK) {
            out.code = code;
            return out;
        }
        snmp::Message m;
        snmp::DecodeMessage(answer, &m);  // Exchange checked that it decodes
        if (m.errorStatus == snmp::errstat::kTooBig && plan.version == snmp::SnmpVersion::kV2c &&
            plan.maxRepetitions > 1) {
            // The agent cannot fit that many repetitions into one answer: ask for fewer.
            plan.maxRepetitions /= 2;
            id = ids.Next();
            sent = false;
            continue;
        }
        if (m.errorStatus != snmp::errstat::kNoError) {
            // SNMPv1 agents end a walk with noSuchName; anything else ends it too, and is an
            // error only when nothing was read yet.
            if (m.errorStatus != snmp::errstat::kNoSuchName && collected.count() == 0) {
                out.code = out.detail = MIB_ERR_AGENT;
                out.agentStatus = m.errorStatus;
                out.agentIndex = m.errorIndex;
                return out;
            }
            break;
        }
        if (m.bindings.empty()) break;
        for (const snmp::Binding& b : m.bindings) {
            if (b.value.tag == snmp::tag::kEndOfMibView || !snmp::OidIsBelow(b.oid, plan.root) ||
                snmp::OidCompare(b.oid, cursor) <= 0) {
                // Left the subtree, reached the end, or an agent that does not move forward
                // (which would otherwise loop for ever).
                done = true;
                break;
            }
            if (!collected.Add(b)) {
                out.code = out.detail = MIB_ERR_TOO_LARGE;
                return out;
            }
            cursor = b.oid;
        }
        id = ids.Next();
        sent = false;
    }

    if (collected.count() == 0) {
        // Nothing below the OID: read the OID itself, as a scalar walk would show it.
        std::vector<uint8_t> request = GetRequest(plan, plan.root, id);
        int code = Exchange(peer, request, {id, plan.version, plan.community}, timing, false,
                            &answer, &out.detail);
        if (code != MIB_OK) {
            out.code = code;
            return out;
        }
        snmp::Message m;
        snmp::DecodeMessage(answer, &m);
        if (m.errorStatus == snmp::errstat::kNoError && m.bindings.size() == 1 &&
            !IsException(m.bindings[0].value.tag) && snmp::OidCompare(m.bindings[0].oid, plan.root) == 0) {
            collected.Add(m.bindings[0]);
        }
    }
    *response = collected.Finish(plan, firstId);
    out.code = out.detail = MIB_OK;
    return out;
}

}  // namespace qm::mibgw
