// Gets that survive SNMPv1's all-or-nothing noSuchName and agents with small messages.
#include "get.h"

#include <optional>

#include "qmmibgw.h"

namespace qm::mibgw {

namespace {

// What came back for one OID of the plan: the binding's OID and value elements, copied.
struct Answered {
    std::vector<uint8_t> oidElement;
    std::vector<uint8_t> value;
};

class Getter {
public:
    Getter(UdpPeer& peer, const GetPlan& plan, const Timing& timing, RequestIds& ids)
        : peer_(peer), plan_(plan), timing_(timing), ids_(ids), results_(plan.oids.size()) {}

    // Asks for the plan's OIDs at positions `which`; the first request may be the caller's.
    GetOutcome Ask(std::vector<size_t> which, int32_t id, bool sent) {
        GetOutcome out;
        // Each round either ends or drops one object, so this ends after at most |which| rounds.
        while (!which.empty()) {
            std::vector<uint8_t> answer;
            std::vector<uint8_t> request = GetRequest(plan_, which, id);
            int code = Exchange(peer_, request, {id, plan_.version, plan_.community}, timing_, sent, &answer,
                                &out.detail);
            sent = false;
            bool first = exchanges_++ == 0;
            if (code != MIB_OK) {
                out.code = code;
                return out;
            }
            snmp::Message m;
            snmp::DecodeMessage(answer, &m);  // Exchange checked that it decodes
            const auto n = static_cast<int32_t>(which.size());
            if (m.errorStatus == snmp::errstat::kNoError) {
                out.code = out.detail = MIB_OK;
                if (first) {
                    whole_ = std::move(answer);
                    return out;
                }
                if (m.bindings.size() != which.size()) {
                    out.code = MIB_ERR_FAILED;
                    out.detail = MIB_ERR_MALFORMED;
                    return out;
                }
                for (size_t j = 0; j < which.size(); ++j) {
                    const snmp::Binding& b = m.bindings[j];
                    results_[which[j]] = Answered{{b.oidElement.begin(), b.oidElement.end()},
                                                  {b.value.whole.begin(), b.value.whole.end()}};
                }
                return out;
            }
            if (m.errorStatus == snmp::errstat::kNoSuchName && plan_.version == snmp::SnmpVersion::kV1 &&
                plan_.type == snmp::pdu::kGet && m.errorIndex >= 1 && m.errorIndex <= n) {
                // Left unanswered, the object reads as noSuchObject when the response is built.
                which.erase(which.begin() + (m.errorIndex - 1));
                id = ids_.Next();
                continue;
            }
            if (m.errorStatus == snmp::errstat::kTooBig && which.size() > 1) {
                std::vector<size_t> second(which.begin() + static_cast<std::ptrdiff_t>(which.size() / 2), which.end());
                which.resize(which.size() / 2);
                GetOutcome half = Ask(std::move(which), ids_.Next(), false);
                if (half.code != MIB_OK) return half;
                return Ask(std::move(second), ids_.Next(), false);
            }
            out.code = out.detail = MIB_ERR_AGENT;
            out.agentStatus = m.errorStatus;
            // The index the caller can use names its own request's binding.
            out.agentIndex = m.errorIndex >= 1 && m.errorIndex <= n
                                 ? static_cast<int>(which[static_cast<size_t>(m.errorIndex - 1)]) + 1
                                 : m.errorIndex;
            return out;
        }
        out.code = out.detail = MIB_OK;
        return out;
    }

    // The agent's own answer when the first request got everything.
    std::vector<uint8_t>& whole() { return whole_; }

    std::vector<uint8_t> Response(int32_t id) const {
        snmp::BerWriter w;
        const snmp::PduMarks marks =
            snmp::OpenPdu(w, plan_.version, plan_.community, snmp::pdu::kResponse, id);
        for (size_t i = 0; i < results_.size(); ++i) {
            size_t vb = w.Open(snmp::tag::kSequence);
            if (results_[i]) {
                w.AddRaw(results_[i]->oidElement);
                w.AddRaw(results_[i]->value);
            } else {
                w.AddOid(plan_.oids[i]);
                w.AddNull(snmp::tag::kNoSuchObject);
            }
            w.Close(vb);
        }
        snmp::ClosePdu(w, marks);
        return w.Take();
    }

private:
    UdpPeer& peer_;
    const GetPlan& plan_;
    const Timing& timing_;
    RequestIds& ids_;
    std::vector<std::optional<Answered>> results_;
    int exchanges_ = 0;
    std::vector<uint8_t> whole_;
};

}  // namespace

std::vector<uint8_t> GetRequest(const GetPlan& plan, const std::vector<size_t>& which, int32_t requestId) {
    snmp::Request r;
    r.version = plan.version;
    r.community = plan.community;
    r.type = plan.type;
    r.requestId = requestId;
    for (size_t i : which) r.bindings.push_back({plan.oids[i], {}});
    return snmp::EncodeRequest(r);
}

GetOutcome RunGet(UdpPeer& peer, const GetPlan& plan, const Timing& timing, RequestIds& ids,
                  int32_t firstId, bool firstSent, std::vector<uint8_t>* response) {
    std::vector<size_t> all(plan.oids.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    Getter getter(peer, plan, timing, ids);
    GetOutcome out = getter.Ask(std::move(all), firstId, firstSent);
    if (out.code != MIB_OK) return out;
    // The usual case costs one exchange and no re-encoding: the agent's answer is handed on.
    *response = getter.whole().empty() ? getter.Response(firstId) : std::move(getter.whole());
    return out;
}

}  // namespace qm::mibgw
