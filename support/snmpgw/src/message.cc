// Encoding of SNMP request messages and bounds-checked decoding of agents' answers.
#include "qm/snmp/message.h"

namespace qm::snmp {

const char* ErrorStatusName(int status) {
    static const char* const kNames[] = {
        "noError",          "tooBig",           "noSuchName",     "badValue",
        "readOnly",         "genErr",           "noAccess",       "wrongType",
        "wrongLength",      "wrongEncoding",    "wrongValue",     "noCreation",
        "inconsistentValue", "resourceUnavailable", "commitFailed", "undoFailed",
        "authorizationError", "notWritable",    "inconsistentName"};
    if (status >= 0 && status < static_cast<int>(sizeof kNames / sizeof kNames[0])) return kNames[status];
    return "unknownError";
}

PduMarks OpenPdu(BerWriter& w, SnmpVersion version, std::string_view community, uint8_t type,
                 int32_t requestId, int32_t first, int32_t second) {
    PduMarks marks;
    marks.message = w.Open(tag::kSequence);
    w.AddInteger(static_cast<int>(version));
    w.AddText(community);
    marks.body = w.Open(type);
    w.AddInteger(requestId);
    w.AddInteger(first);
    w.AddInteger(second);
    marks.list = w.Open(tag::kSequence);
    return marks;
}

void ClosePdu(BerWriter& w, const PduMarks& marks) {
    w.Close(marks.list);
    w.Close(marks.body);
    w.Close(marks.message);
}

std::vector<uint8_t> EncodeRequest(const Request& request) {
    BerWriter w;
    const PduMarks marks = OpenPdu(w, request.version, request.community, request.type,
                                   request.requestId, request.nonRepeaters,
                                   request.maxRepetitions);
    for (const OutBinding& b : request.bindings) {
        size_t vb = w.Open(tag::kSequence);
        w.AddOid(b.oid);
        if (b.value.empty()) {
            w.AddNull();
        } else {
            w.AddRaw(b.value);
        }
        w.Close(vb);
    }
    ClosePdu(w, marks);
    return w.Take();
}

namespace {

BerStatus ReadInt32(BerReader& reader, int32_t* out) {
    BerElement e;
    BerStatus s = reader.Expect(tag::kInteger, &e);
    if (s != BerStatus::kOk) return s;
    int64_t v = 0;
    s = DecodeInteger(e.content, &v);
    if (s != BerStatus::kOk) return s;
    if (v < INT32_MIN || v > INT32_MAX) return BerStatus::kOutOfRange;
    *out = static_cast<int32_t>(v);
    return BerStatus::kOk;
}

// Decodes everything up to the binding list; `list` receives the list's content.
BerStatus DecodeUpToBindings(std::span<const uint8_t> bytes, Message* out,
                             std::span<const uint8_t>* list) {
    BerElement top;
    BerStatus s = ReadElement(bytes, &top);
    if (s != BerStatus::kOk) return s;
    if (top.tag != tag::kSequence) return BerStatus::kBadTag;
    if (top.whole.size() != bytes.size()) return BerStatus::kBadLength;  // trailing bytes

    BerReader message(top.content);
    int32_t version = 0;
    if ((s = ReadInt32(message, &version)) != BerStatus::kOk) return s;
    if (version != 0 && version != 1) return BerStatus::kBadValue;
    out->version = static_cast<SnmpVersion>(version);
    BerElement community;
    if ((s = message.Expect(tag::kOctetString, &community)) != BerStatus::kOk) return s;
    out->community = {reinterpret_cast<const char*>(community.content.data()), community.content.size()};

    BerElement body;
    if ((s = message.Next(&body)) != BerStatus::kOk) return s;
    if (!message.AtEnd()) return BerStatus::kBadLength;
    if (body.tag < pdu::kGet || body.tag > pdu::kReport || body.tag == pdu::kTrapV1) return BerStatus::kBadTag;
    out->type = body.tag;

    BerReader fields(body.content);
    if ((s = ReadInt32(fields, &out->requestId)) != BerStatus::kOk) return s;
    if ((s = ReadInt32(fields, &out->errorStatus)) != BerStatus::kOk) return s;
    if ((s = ReadInt32(fields, &out->errorIndex)) != BerStatus::kOk) return s;
    BerElement bindings;
    if ((s = fields.Expect(tag::kSequence, &bindings)) != BerStatus::kOk) return s;
    if (!fields.AtEnd()) return BerStatus::kBadLength;
    *list = bindings.content;
    return BerStatus::kOk;
}

BerStatus ReadBinding(BerReader& list, BerElement* oid, BerElement* value) {
    BerElement vb;
    BerStatus s = list.Expect(tag::kSequence, &vb);
    if (s != BerStatus::kOk) return s;
    BerReader inner(vb.content);
    if ((s = inner.Expect(tag::kOid, oid)) != BerStatus::kOk) return s;
    if ((s = inner.Next(value)) != BerStatus::kOk) return s;
    if (!inner.AtEnd()) return BerStatus::kBadLength;
    return BerStatus::kOk;
}

}  // namespace

BerStatus DecodeHeader(std::span<const uint8_t> bytes, Message* out) {
    std::span<const uint8_t> list;
    out->bindings.clear();
    return DecodeUpToBindings(bytes, out, &list);
}

BerStatus DecodeMessage(std::span<const uint8_t> bytes, Message* out) {
    std::span<const uint8_t> list;
    out->bindings.clear();
    BerStatus s = DecodeUpToBindings(bytes, out, &list);
    if (s != BerStatus::kOk) return s;
    BerReader reader(list);
    while (!reader.AtEnd()) {
        Binding b;
        BerElement oid;
        if ((s = ReadBinding(reader, &oid, &b.value)) != BerStatus::kOk) return s;
        if ((s = DecodeOid(oid.content, &b.oid)) != BerStatus::kOk) return s;
        b.oidElement = oid.whole;
        out->bindings.push_back(std::move(b));
    }
    return BerStatus::kOk;
}

BerStatus FindBinding(std::span<const uint8_t> bytes, size_t index, BerElement* oidElement,
                      BerElement* value) {
    Message header;
    std::span<const uint8_t> list;
    BerStatus s = DecodeUpToBindings(bytes, &header, &list);
    if (s != BerStatus::kOk) return s;
    BerReader reader(list);
    for (size_t i = 0;; ++i) {
        if (reader.AtEnd()) return BerStatus::kOutOfRange;
        if ((s = ReadBinding(reader, oidElement, value)) != BerStatus::kOk) return s;
        if (i == index) return BerStatus::kOk;
    }
}

}  // namespace qm::snmp
