// The gateway calls of one printer poll, each with the gateway's two-call buffer sizing.
#include "printer_session.h"

#include <span>

#include "qm/snmp/ber.h"
#include "qmmibgw.h"

namespace qm::monitor {

namespace snmp = qm::snmp;

std::optional<Value> DecodeValue(const std::vector<uint8_t>& ber) {
    snmp::BerElement e;
    if (snmp::ReadElement(std::span<const uint8_t>(ber), &e) != snmp::BerStatus::kOk) {
        return std::nullopt;
    }
    Value v;
    switch (e.tag) {
    case snmp::tag::kInteger: {
        int32_t n;
        if (snmp::DecodeInt32(e.content, &n) != snmp::BerStatus::kOk) return std::nullopt;
        v.number = n;
        return v;
    }
    case snmp::tag::kCounter32:
    case snmp::tag::kGauge32:
    case snmp::tag::kTimeTicks: {
        uint32_t n;
        if (snmp::DecodeUint32(e.content, &n) != snmp::BerStatus::kOk) return std::nullopt;
        v.number = n;
        return v;
    }
    case snmp::tag::kOctetString: {
        v.isText = true;
        std::string_view s(reinterpret_cast<const char*>(e.content.data()), e.content.size());
        v.text = std::string(s.substr(0, s.find('\0')));
        return v;
    }
    default:
        return std::nullopt;
    }
}

TableWalk::TableWalk(std::vector<Binding> bindings, const std::string& entryOid,
                     uint32_t deviceIndex)
    : bindings_(std::move(bindings)) {
    snmp::Oid entry;
    if (snmp::ParseOidText(entryOid, &entry) != snmp::BerStatus::kOk) return;
    for (size_t i = 0; i < bindings_.size(); ++i) {
        snmp::Oid oid;
        if (snmp::ParseOidText(bindings_[i].oid, &oid) != snmp::BerStatus::kOk) continue;
        // entry . column . device . row
        if (oid.size() != entry.size() + 3 || !snmp::OidIsBelow(oid, entry)) continue;
        const uint32_t column = oid[entry.size()];
        if (oid[entry.size() + 1] != deviceIndex) continue;
        const uint32_t row = oid.back();
        if (index_.emplace(std::make_pair(column, row), i).second) rows_[column].push_back(row);
    }
}

std::vector<uint32_t> TableWalk::Rows(uint32_t column) const {
    auto it = rows_.find(column);
    return it == rows_.end() ? std::vector<uint32_t>{} : it->second;
}

const Binding* TableWalk::At(uint32_t column, uint32_t row) const {
    auto it = index_.find({column, row});
    return it == index_.end() ? nullptr : &bindings_[it->second];
}

PrinterSession::PrinterSession() {
    int h = MIBInitialize();
    handle_ = h >= 0 ? h : -1;
}

PrinterSession::~PrinterSession() {
    if (handle_ < 0) return;
    if (open_) MIBClose(handle_);
    MIBRelease(handle_);
}

int PrinterSession::Open(const std::string& ip, const std::string& ipx) {
    unsigned char channel[MIB_CHANNEL_SIZE] = {};
    int rc = MIBGetChannelInfo(handle_, ip.c_str(), ipx.c_str(), channel);
    if (rc != 0) return rc;
    rc = MIBOpen(handle_, ip.c_str(), ipx.c_str(), channel);
    open_ = rc == 0;
    return rc;
}

int PrinterSession::Request(const std::string& oid) {
    const char* oids[] = {oid.c_str()};
    int length = 0;
    int rc = MIBCreateGetRequestSNMPPacket(handle_, 5, 1, kReadCommunity, 1, oids, &length, nullptr);
    if (rc != MIB_ERR_BUFFER) return rc == 0 ? -1 : rc;
    std::vector<unsigned char> packet(static_cast<size_t>(length));
    rc = MIBCreateGetRequestSNMPPacket(handle_, 5, 1, kReadCommunity, 1, oids, &length,
                                       packet.data());
    if (rc != 0) return rc;
    return MIBSend(handle_, length, packet.data());
}

int PrinterSession::Receive(std::vector<Binding>* bindings) {
    bindings->clear();
    int length = 0;
    int rc = MIBReceive(handle_, &length, nullptr);
    if (rc != MIB_ERR_BUFFER) return rc == 0 ? -1 : rc;
    std::vector<unsigned char> response(static_cast<size_t>(length));
    rc = MIBReceive(handle_, &length, response.data());
    if (rc != 0) return rc;
    for (int i = 0;; ++i) {
        Binding b;
        int n = 0;
        rc = MIBGetchObjectIDFromSNMPPacket(handle_, i, length, response.data(), &n, nullptr);
        if (rc == MIB_ERR_NO_BINDING) break;
        if (rc != MIB_ERR_BUFFER) return rc == 0 ? -1 : rc;
        std::vector<char> text(static_cast<size_t>(n));
        rc = MIBGetchObjectIDFromSNMPPacket(handle_, i, length, response.data(), &n, text.data());
        if (rc != 0) return rc;
        b.oid.assign(text.data());
        n = 0;
        rc = MIBGetBERDataFromSNMPPacket(handle_, i, length, response.data(), &n, nullptr);
        if (rc != MIB_ERR_BUFFER) return rc == 0 ? -1 : rc;
        b.value.resize(static_cast<size_t>(n));
        rc = MIBGetBERDataFromSNMPPacket(handle_, i, length, response.data(), &n, b.value.data());
        if (rc != 0) return rc;
        b.value.resize(static_cast<size_t>(n));
        bindings->push_back(std::move(b));
    }
    return 0;
}

int PrinterSession::ErrorNo() const { return MIBGetErrorNo(handle_); }

}  // namespace qm::monitor
