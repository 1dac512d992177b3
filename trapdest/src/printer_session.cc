// The gateway calls of one printer step, each buffer sized the gateway's way: ask with no
// buffer, get -108 and the size needed, allocate, ask again.
#include "printer_session.h"

#include <span>

#include "QBUtil.h"
#include "local_address.h"
#include "qm/snmp/ber.h"
#include "qmmibgw.h"

namespace qm::trapdest {

namespace {

constexpr const char* kModule = "qntrap";
constexpr const char* kReadCommunity = "tarlow";
constexpr const char* kWriteCommunity = "wixam";
constexpr int kNumber = 1;     // "no preference" for the gateway
constexpr int kWholeTable = 5; // request kind: the object, or what lies below it

// The two-call pattern. `call(length, buffer)` is made once without a buffer; -108 brings the
// size, the buffer is allocated and the call made again. A gateway that still asks for more
// the second time is not believed a third time.
template <typename Call>
int Sized(std::vector<unsigned char>* buffer, Call call) {
    int length = 0;
    int rc = call(&length, nullptr);
    if (rc != MIB_ERR_BUFFER) return rc == MIB_OK ? MIB_ERR_FAILED : rc;  // no size learnt
    if (length <= 0) return MIB_ERR_FAILED;
    buffer->assign(static_cast<size_t>(length), 0);
    rc = call(&length, buffer->data());
    if (rc == MIB_OK) buffer->resize(static_cast<size_t>(length));
    return rc;
}

}  // namespace

PrinterSession::~PrinterSession() {
    Close();
    if (handle_ > 0) Release();
}

bool PrinterSession::Initialise() {
    int h = MIBInitialize();
    if (h <= 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: MIBInitialize failed (%d)\n", h);
        return false;
    }
    handle_ = h;
    return true;
}

bool PrinterSession::Open(const char* printer) {
    unsigned char channel[MIB_CHANNEL_SIZE] = {};
    int rc = MIBGetChannelInfo(handle_, printer, "", channel);
    if (rc != MIB_OK) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: MIBGetChannelInfo(%s) failed (%d, %d)\n",
                printer, rc, MIBGetErrorNo(handle_));
        return false;
    }
    opened_ = true;
    rc = MIBOpen(handle_, printer, "", channel);
    if (rc != MIB_OK) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: MIBOpen(%s) failed (%d)\n", printer, rc);
        return false;
    }
    return true;
}

SlotRead PrinterSession::ReadAddress(const char* oid) {
    SlotRead read;
    const char* oids[] = {oid};
    int rc = Sized(&packet_, [&](int* length, unsigned char* buffer) {
        return MIBCreateGetRequestSNMPPacket(handle_, kWholeTable, kNumber, kReadCommunity, 1, oids,
                                             length, buffer);
    });
    if (rc == MIB_OK) rc = MIBSend(handle_, static_cast<int>(packet_.size()), packet_.data());
    if (rc == MIB_OK) {
        rc = Sized(&response_, [&](int* length, unsigned char* buffer) {
            return MIBReceive(handle_, length, buffer);
        });
    }
    if (rc == MIB_OK) {
        rc = Sized(&value_, [&](int* length, unsigned char* buffer) {
            return MIBGetBERDataFromSNMPPacket(handle_, 0, static_cast<int>(response_.size()),
                                               response_.data(), length, buffer);
        });
    }
    if (rc != MIB_OK) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: get %s failed (%d, %d)\n", oid, rc,
                MIBGetErrorNo(handle_));
        return read;
    }
    snmp::BerElement element;
    if (snmp::ReadElement(value_, &element) != snmp::BerStatus::kOk) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: %s: value cannot be decoded\n", oid);
        return read;
    }
    // An exception value (no such object) or a value of another type is no destination slot:
    // writing into it would only make the printer refuse the set, or change something else.
    if (element.tag != snmp::tag::kIpAddress && element.tag != snmp::tag::kOctetString) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: %s: value of type 0x%02X is no address\n",
                oid, element.tag);
        return read;
    }
    if (element.content.empty()) {
        read.state = SlotState::kEmpty;
        return read;
    }
    if (element.content.size() < 4) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: %s: address of %zu bytes\n", oid,
                element.content.size());
        return read;
    }
    read.address = DottedText(element.content.data());
    // Removal writes 0.0.0.0, so a slot this library freed must count as free again.
    read.state = read.address == "0.0.0.0" ? SlotState::kEmpty : SlotState::kAddress;
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QNTRAP: %s = %s\n", oid,
            read.state == SlotState::kEmpty ? "(empty)" : read.address.c_str());
    return read;
}

bool PrinterSession::Set(const char* oid, int type, const char* value) {
    int rc = Sized(&value_, [&](int* length, unsigned char* buffer) {
        return MIBBEREncode(handle_, type, value, length, buffer);
    });
    if (rc == MIB_OK) {
        const char* oids[] = {oid};
        const unsigned char* values[] = {value_.data()};
        rc = Sized(&packet_, [&](int* length, unsigned char* buffer) {
            return MIBCreateSetRequestSNMPPacket(handle_, kNumber, kWriteCommunity, 1, oids, values,
                                                 length, buffer);
        });
    }
    if (rc == MIB_OK) rc = MIBSend(handle_, static_cast<int>(packet_.size()), packet_.data());
    if (rc != MIB_OK) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: set %s = %s failed (%d, %d)\n", oid, value,
                rc, MIBGetErrorNo(handle_));
        return false;
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QNTRAP: set %s = %s sent\n", oid, value);
    return true;
}

bool PrinterSession::Close() {
    if (!opened_) return true;  // MIBOpen was never reached
    opened_ = false;
    int rc = MIBClose(handle_);
    if (rc != MIB_OK) QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: MIBClose failed (%d)\n", rc);
    return rc == MIB_OK;
}

bool PrinterSession::Release() {
    int h = handle_;
    handle_ = 0;
    int rc = MIBRelease(h);
    if (rc != MIB_OK) QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: MIBRelease failed (%d)\n", rc);
    return rc == MIB_OK;
}

}  // namespace qm::trapdest
