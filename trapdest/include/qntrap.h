/* Trap destination library (libqntrap.so): enters this computer as one of the two trap
 * destinations of a printer, or takes it out again, over SNMP through the gateway
 * (libqmmibgw.so). It keeps no state between calls; calls may come from any thread.
 *
 * Both calls take the printer's IPv4 address as dotted text and return:
 *    0  the printer step ran and the channel was closed (also when the printer did not answer
 *       or refused a request: registration is best effort, see below);
 *   -6  the address to register could not be determined (nothing was sent to the printer);
 *   -4  the SNMP gateway could not be initialised;
 *   -1  the channel to the printer could not be opened or closed (also: no address given, or
 *       a printer that answers no SNMP version at all, since the gateway learns the version
 *       when it opens the channel);
 *   -5  the gateway could not be released.
 *
 * The printer's slots (private arc 1.3.6.1.4.1.40404.1.1.3.1.2): .7.0 and .8.0 hold the two
 * destination addresses (IpAddress), .9.0 and .10.0 switch them on (INTEGER 1) or off (0).
 * A slot is empty when its value has no content or holds 0.0.0.0 (the value a removal
 * writes). Reads use the community "tarlow", sets "wixam"; sets are sent without waiting for
 * the printer's answer.
 *
 * QnConfigSetTrapIP: slot 1 empty -> slot 1 gets this computer and is switched on; slot 1
 * held by another computer -> the same with slot 2 if it is empty; both held, or slot 1
 * already this computer -> nothing changes.
 * QnConfigReSetTrapIP: every slot holding this computer is set to 0.0.0.0 and switched off.
 *
 * The address registered: the text value TrapDestinationAddress under
 * HKEY_LOCAL_MACHINE\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup when it is set (a dotted IPv4
 * address; anything else gives -6), else the first IPv4 address the computer name resolves
 * to. A name that resolves to a loopback address is traced as an error: a printer cannot send
 * traps to 127.x.x.x, so such machines must name their address in that setting. */
#ifndef QNTRAP_H
#define QNTRAP_H

#ifdef __cplusplus
extern "C" {
#endif

#define QNTRAP_OK 0
#define QNTRAP_ERR_CHANNEL (-1)
#define QNTRAP_ERR_GATEWAY_INIT (-4)
#define QNTRAP_ERR_GATEWAY_RELEASE (-5)
#define QNTRAP_ERR_LOCAL_ADDRESS (-6)

int QnConfigSetTrapIP(const char* printerAddress);
int QnConfigReSetTrapIP(const char* printerAddress);

#ifdef __cplusplus
}
#endif

#endif /* QNTRAP_H */
