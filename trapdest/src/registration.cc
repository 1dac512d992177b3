// Slot rules. Slot 1 is preferred; slot 2 is taken only when another computer holds slot 1, and
// a slot held by anyone else is never overwritten. A failing get or set stops the later steps
// but not the closing: the printer step's result is that of closing the channel, so a printer
// that is off does not count as a failure of the caller's operation.
#include "registration.h"

#include "QBUtil.h"
#include "local_address.h"
#include "printer_session.h"
#include "qmmibgw.h"
#include "qntrap.h"

namespace qm::trapdest {

namespace {

constexpr const char* kModule = "qntrap";

struct Slot {
    const char* address;  // IpAddress
    const char* enabled;  // INTEGER 1 on, 0 off
};
constexpr Slot kSlot1{"1.3.6.1.4.1.40404.1.1.3.1.2.7.0", "1.3.6.1.4.1.40404.1.1.3.1.2.9.0"};
constexpr Slot kSlot2{"1.3.6.1.4.1.40404.1.1.3.1.2.8.0", "1.3.6.1.4.1.40404.1.1.3.1.2.10.0"};

// Writes the address and, once that request went out, the switch.
bool Write(PrinterSession& printer, const Slot& slot, const char* address, const char* enabled) {
    return printer.Set(slot.address, MIB_BER_IPADDRESS, address) &&
           printer.Set(slot.enabled, MIB_BER_INTEGER, enabled);
}

void Register(PrinterSession& printer, const std::string& self) {
    SlotRead first = printer.ReadAddress(kSlot1.address);
    if (first.state == SlotState::kFailed) return;
    if (first.state == SlotState::kEmpty) {
        Write(printer, kSlot1, self.c_str(), "1");
        return;
    }
    if (first.address == self) return;  // registered already
    SlotRead second = printer.ReadAddress(kSlot2.address);
    if (second.state == SlotState::kEmpty) Write(printer, kSlot2, self.c_str(), "1");
}

void Unregister(PrinterSession& printer, const std::string& self) {
    SlotRead first = printer.ReadAddress(kSlot1.address);
    if (first.state == SlotState::kFailed) return;
    if (first.state == SlotState::kAddress && first.address == self &&
        !Write(printer, kSlot1, "0.0.0.0", "0")) {
        return;
    }
    SlotRead second = printer.ReadAddress(kSlot2.address);
    if (second.state == SlotState::kAddress && second.address == self) {
        Write(printer, kSlot2, "0.0.0.0", "0");
    }
}

template <typename Step>
int PrinterStep(const char* name, const char* printer, Step step) {
    LocalAddress self = DiscoverLocalAddress();
    if (self.address.empty()) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTRAP: %s: no address to register: %s\n", name,
                self.why.c_str());
        return QNTRAP_ERR_LOCAL_ADDRESS;
    }
    if (self.loopback && self.source == "setting") {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__,
                "QNTRAP: %s names the loopback address %s; printers cannot send traps there\n",
                kAddressSetting, self.address.c_str());
    } else if (self.loopback) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__,
                "QNTRAP: %s resolves to the loopback address %s only; printers cannot send traps "
                "there: name this computer's address in HKEY_LOCAL_MACHINE\\%s\\%s\n",
                self.source.c_str(), self.address.c_str(), kSetupKey, kAddressSetting);
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QNTRAP: %s(%s) as %s (%s)\n", name, printer,
            self.address.c_str(), self.source.c_str());
    if (*printer == '\0') return QNTRAP_ERR_CHANNEL;

    PrinterSession session;
    if (!session.Initialise()) return QNTRAP_ERR_GATEWAY_INIT;
    int result = QNTRAP_OK;
    if (session.Open(printer)) {
        step(session, self.address);
        if (!session.Close()) result = QNTRAP_ERR_CHANNEL;
    } else {
        session.Close();
        result = QNTRAP_ERR_CHANNEL;
    }
    if (!session.Release()) result = QNTRAP_ERR_GATEWAY_RELEASE;
    return result;
}

}  // namespace

int SetTrapDestination(const char* printer) {
    return PrinterStep("QnConfigSetTrapIP", printer, Register);
}

int ResetTrapDestination(const char* printer) {
    return PrinterStep("QnConfigReSetTrapIP", printer, Unregister);
}

}  // namespace qm::trapdest
