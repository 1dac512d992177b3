/* Tag library QMSITE (libQMSITE.so): the tags with which the management pages change what the
 * configuration database keeps (groups, sub-groups, members, device, group and model items,
 * settings) and start or stop watching a printer. Templates call them as QMSITE.<name>(...);
 * the reading tags stay in QMTAG. The reference for template authors is sitetags/README.md.
 *
 * TAGInitialize creates a processor and returns its handle (above 0), or -1 when the
 * configuration database could not start. TAGRelease ends it (-2 for an unknown handle).
 * Every tag takes (argument count, argument vector) as described in qmintpr/tag_library.h and
 * returns:
 *     0     done; the result slot points to the tag's value (NULL for most), owned by the
 *           processor and valid until its next call
 *    -2     bad call: wrong number of arguments, a NULL or empty argument; or the database
 *           failed
 *    -3     refused: the input cannot be used (not a device key, too long, a name in use, a
 *           value that does not fit the setting, a sub-group that would close a cycle, the
 *           All Devices group, an item these tags do not write)
 *    -4     not there: the group, or the registered device, does not exist
 * On every failure the result slot points to a BER NULL (0x05 0x00) and nothing was changed.
 * Calls on one processor are serialised by the interpreter. */
#ifndef QMSITE_H
#define QMSITE_H

#include <stdint.h>

#include "qmintpr/tag_library.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QMSITE_EXPORT __attribute__((visibility("default")))

QMSITE_EXPORT int32_t TAGInitialize(void* hostContext, void* hostValue, QmOutputCallback output, int32_t reserved);
QMSITE_EXPORT int32_t TAGRelease(int32_t handle);

/* Groups: (name), (name, new name), (name). */
QMSITE_EXPORT int32_t TAGCreateGroup(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGRenameGroup(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGDeleteGroup(int32_t argc, void** argv);
/* Sub-groups: (group, sub-group). */
QMSITE_EXPORT int32_t TAGAddSubGroup(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGDeleteSubGroup(int32_t argc, void** argv);
/* Members: (group, device key); (group) -> rows {NULL, key} of registered devices not in it. */
QMSITE_EXPORT int32_t TAGAddGroupMember(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGDeleteGroupMember(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGGetAddMemberList(int32_t argc, void** argv);
/* Items: (device key | group | model, item, value) -> the value as stored; (item, value). */
QMSITE_EXPORT int32_t TAGSetDeviceInfo(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGSetGroupInfo(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGSetModelInfo(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGSetQMInfo(int32_t argc, void** argv);
/* Watching a printer for its logs: (device key). */
QMSITE_EXPORT int32_t TAGWatchDevice(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGUnwatchDevice(int32_t argc, void** argv);
/* Receivers of notices: (address, "" for all) -> rows {NULL, handle, address, port}; (address, port, level,
 * interval, text, device key) -> the new handle; (handle). */
QMSITE_EXPORT int32_t TAGGetReceiverList(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGRegisterReceiver(int32_t argc, void** argv);
QMSITE_EXPORT int32_t TAGDeleteReceiver(int32_t argc, void** argv);

#ifdef __cplusplus
}
#endif

#endif /* QMSITE_H */
