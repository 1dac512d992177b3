// Recognises a printer from its SNMP answers and gathers its index and MAC address.
#include "device.h"

#include <cstdio>

#include "QBAPI.h"

namespace qm::discovery {

namespace {

using snmp::Oid;

const Oid kPrtGeneralConfigChanges = {1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 1};
const Oid kHrDeviceType = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 2};
const Oid kHrDevicePrinter = {1, 3, 6, 1, 2, 1, 25, 3, 1, 5};
const Oid kIfPhysAddress = {1, 3, 6, 1, 2, 1, 2, 2, 1, 6};
const Oid kIpAdEntIfIndex = {1, 3, 6, 1, 2, 1, 4, 20, 1, 2};
const Oid kPrivateArc = {1, 3, 6, 1, 4, 1, 40404};

enum ProbeColumn { kColPrt = 0, kColHrType, kColPhys, kColPrivate, kColumnCount };
const Oid* const kProbeOids[kColumnCount] = {&kPrtGeneralConfigChanges, &kHrDeviceType, &kIfPhysAddress,
                                             &kPrivateArc};

// Agents walk hrDeviceType and ifPhysAddress a row per request; a device with more rows than
// this before its printer row (or its first MAC address) is not worth the traffic.
constexpr int kMaxWalkSteps = 32;

bool IsException(const snmp::BerElement& value) {
    return value.tag == snmp::tag::kNoSuchObject || value.tag == snmp::tag::kNoSuchInstance ||
           value.tag == snmp::tag::kEndOfMibView;
}

// The row index right below a column: column.<index>, nothing more.
bool SingleIndexBelow(const Oid& oid, const Oid& column, uint32_t* index) {
    if (oid.size() != column.size() + 1 || !snmp::OidIsBelow(oid, column)) return false;
    *index = oid.back();
    return *index != 0;
}

}  // namespace

Device::Device(uint32_t address) : address_(address) {
    for (int c = 0; c < kColumnCount; ++c) probeColumns_.push_back(c);
}

Ask Device::FirstProbe() {
    Ask ask;
    for (const Oid* oid : kProbeOids) ask.oids.push_back(*oid);
    return ask;
}

Ask Device::NextAsk() const {
    Ask ask;
    switch (step_) {
        case Step::kProbe:
            for (int c : probeColumns_) ask.oids.push_back(*kProbeOids[c]);
            break;
        case Step::kHrWalk:
            ask.oids.push_back(hrCursor_);
            break;
        case Step::kIfIndex: {
            ask.pduType = snmp::pdu::kGet;
            Oid oid = kIpAdEntIfIndex;
            for (int shift = 24; shift >= 0; shift -= 8) oid.push_back((address_ >> shift) & 0xFF);
            ask.oids.push_back(std::move(oid));
            break;
        }
        case Step::kPhys: {
            ask.pduType = snmp::pdu::kGet;
            Oid oid = kIfPhysAddress;
            oid.push_back(ifIndex_);
            ask.oids.push_back(std::move(oid));
            break;
        }
        case Step::kPhysWalk:
            ask.oids.push_back(physCursor_);
            break;
        case Step::kDone:
        case Step::kDropped:
            break;
    }
    return ask;
}

bool Device::TakeMac(const snmp::BerElement& value) {
    if (value.tag != snmp::tag::kOctetString || value.content.size() != 6) return false;
    bool allZero = true;
    for (uint8_t b : value.content) allZero = allZero && b == 0;
    if (allZero) return false;
    char text[13];
    for (size_t i = 0; i < 6; ++i) std::snprintf(text + 2 * i, 3, "%02X", value.content[i]);
    mac_ = text;
    return true;
}

void Device::FallBackToFirstMac() {
    if (!firstMac_.empty()) {
        mac_ = firstMac_;
        step_ = Step::kDone;
    } else if (!physCursor_.empty()) {
        walkSteps_ = 0;
        step_ = Step::kPhysWalk;
    } else {
        step_ = Step::kDone;  // a printer without a MAC address we could learn
    }
}

void Device::AfterRecognition() {
    if (printerMib_ || hrPrinter_) {
        step_ = Step::kIfIndex;
    } else if (!hrCursor_.empty()) {
        walkSteps_ = 0;
        step_ = Step::kHrWalk;
    } else {
        step_ = Step::kDropped;
    }
}

void Device::AbsorbProbe(const snmp::Message& answer) {
    // SNMPv1 answers a get-next past the end of the MIB with noSuchName for the whole request;
    // ask again without that column, which then simply is absent.
    if (answer.errorStatus == snmp::errstat::kNoSuchName && answer.errorIndex >= 1 &&
        static_cast<size_t>(answer.errorIndex) <= probeColumns_.size()) {
        probeColumns_.erase(probeColumns_.begin() + (answer.errorIndex - 1));
        if (probeColumns_.empty()) step_ = Step::kDropped;
        return;
    }
    if (answer.errorStatus != snmp::errstat::kNoError || answer.bindings.size() != probeColumns_.size()) {
        step_ = Step::kDropped;
        return;
    }
    for (size_t i = 0; i < probeColumns_.size(); ++i) {
        const snmp::Binding& b = answer.bindings[i];
        if (IsException(b.value)) continue;
        uint32_t index = 0;
        switch (probeColumns_[i]) {
            case kColPrt:
                if (SingleIndexBelow(b.oid, kPrtGeneralConfigChanges, &index)) {
                    printerMib_ = true;
                    prtIndex_ = index;
                }
                break;
            case kColHrType:
                if (SingleIndexBelow(b.oid, kHrDeviceType, &index)) {
                    Oid type;
                    if (b.value.tag == snmp::tag::kOid && snmp::DecodeOid(b.value.content, &type) == snmp::BerStatus::kOk &&
                        type == kHrDevicePrinter) {
                        hrPrinter_ = true;
                        hrIndex_ = index;
                    } else {
                        hrCursor_ = b.oid;
                    }
                }
                break;
            case kColPhys:
                if (snmp::OidIsBelow(b.oid, kIfPhysAddress)) {
                    if (TakeMac(b.value)) {
                        firstMac_ = mac_;
                        mac_.clear();
                    } else {
                        physCursor_ = b.oid;
                    }
                }
                break;
            case kColPrivate:
                privateArc_ = snmp::OidIsBelow(b.oid, kPrivateArc);
                break;
        }
    }
    AfterRecognition();
}

void Device::Absorb(const snmp::Message& answer) {
    if (step_ == Step::kProbe) {
        AbsorbProbe(answer);
        return;
    }
    bool usable = answer.errorStatus == snmp::errstat::kNoError && answer.bindings.size() == 1 &&
                  !IsException(answer.bindings[0].value);
    const snmp::Binding* b = usable ? &answer.bindings[0] : nullptr;
    switch (step_) {
        case Step::kHrWalk: {
            uint32_t index = 0;
            if (b == nullptr || !SingleIndexBelow(b->oid, kHrDeviceType, &index) ||
                snmp::OidCompare(b->oid, hrCursor_) <= 0) {
                step_ = Step::kDropped;  // left the column (or an agent walking backwards)
                return;
            }
            Oid type;
            if (b->value.tag == snmp::tag::kOid && snmp::DecodeOid(b->value.content, &type) == snmp::BerStatus::kOk &&
                type == kHrDevicePrinter) {
                hrPrinter_ = true;
                hrIndex_ = index;
                AfterRecognition();
                return;
            }
            hrCursor_ = b->oid;
            if (++walkSteps_ >= kMaxWalkSteps) step_ = Step::kDropped;
            return;
        }
        case Step::kIfIndex: {
            int64_t ifIndex = 0;
            if (b != nullptr && b->value.tag == snmp::tag::kInteger &&
                snmp::DecodeInteger(b->value.content, &ifIndex) == snmp::BerStatus::kOk && ifIndex > 0 &&
                ifIndex <= 0x7FFFFFFF) {
                ifIndex_ = static_cast<uint32_t>(ifIndex);
                step_ = Step::kPhys;
            } else {
                FallBackToFirstMac();
            }
            return;
        }
        case Step::kPhys:
            if (b != nullptr && TakeMac(b->value)) {
                step_ = Step::kDone;
            } else {
                FallBackToFirstMac();
            }
            return;
        case Step::kPhysWalk:
            if (b == nullptr || !snmp::OidIsBelow(b->oid, kIfPhysAddress) ||
                snmp::OidCompare(b->oid, physCursor_) <= 0) {
                step_ = Step::kDone;
                return;
            }
            if (TakeMac(b->value) || ++walkSteps_ >= kMaxWalkSteps) {
                step_ = Step::kDone;
                return;
            }
            physCursor_ = b->oid;
            return;
        default:
            return;
    }
}

void Device::GiveUp() {
    switch (step_) {
        case Step::kProbe:
        case Step::kHrWalk:
            step_ = Step::kDropped;
            break;
        case Step::kIfIndex:
        case Step::kPhys:
            FallBackToFirstMac();
            // A device that stopped answering is not asked for more rows.
            if (step_ == Step::kPhysWalk) step_ = Step::kDone;
            break;
        case Step::kPhysWalk:
            step_ = Step::kDone;
            break;
        default:
            break;
    }
}

int Device::DeviceType() const {
    if (!printerMib_) return QB_DEVTYPE_HOST_PRINTER;
    return privateArc_ ? QB_DEVTYPE_PRINTER_PRIVATE : QB_DEVTYPE_PRINTER_MIB;
}

std::string Device::ResultText() const {
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u;;%s;%X", (address_ >> 24) & 0xFF, (address_ >> 16) & 0xFF,
                  (address_ >> 8) & 0xFF, address_ & 0xFF, mac_.c_str(), DeviceIndex());
    return text;
}

}  // namespace qm::discovery
