/* Configuration database (libqmdbmgr.so): settings, devices, channels, host names, models,
 * groups and group membership, kept in ISAM file sets under "..\\conf\\" relative to the
 * calling process's current folder.
 *
 * Conventions: every function returns 0 on success and -1 on failure. Strings are
 * single-byte and NUL-terminated; callers own every buffer and give at least the sizes
 * documented per function. An absent record is no failure for a read: the read returns 0
 * and an empty string. No file stays open between calls, so threads and processes may call
 * side by side; each thread calls DBMgrInitialize before its first other call.
 *
 * Trace lines go through QbTrace with the prefix "QMDBMGR: " (level 0x80, failures 0x8800). */
#ifndef QMDBMGR_H
#define QMDBMGR_H

#ifdef __cplusplus
extern "C" {
#endif

/* Member list handle; DB_NO_HANDLE stands for none. */
typedef long DBHANDLE;
#define DB_NO_HANDLE (-1L)

/* Buffer sizes the functions rely on. */
#define DB_SETTING_ITEM_MAX 127 /* characters of a setting name */
#define DB_SETTING_DATA_SIZE 256
#define DB_KEY_SIZE 65          /* device keys and group names: 64 characters + NUL */
#define DB_CHANNEL_MAX 64       /* bytes of a channel block */
#define DB_IPADDR_SIZE 16
#define DB_HOSTNAME_SIZE 64
#define DB_MODEL_NAME_MAX 31
#define DB_MAPINFO_SIZE 5120

int DBMgrInitialize(void);
int DBMgrRelease(void);

/* System settings. Data: at least 256 bytes. */
int DBReadQMInfo(const char* Item, char* Data);
int DBWriteQMInfo(const char* Item, const char* Data);

/* Devices ("DEV_..." items; lpszData at least 65 bytes). */
int DBReadDeviceInfo(const char* lpszDKey, const char* lpszItem, char* lpszData);
int DBWriteDeviceInfo(const char* lpszDKey, const char* lpszItem, const char* lpszData);

/* Channel blocks of up to 64 bytes (pChannel at least 64 bytes for a read). */
int DBReadChannelInfo(const char* lpszDKey, unsigned char* pChannel, int* pnSize);
int DBWriteChannelInfo(const char* lpszDKey, const unsigned char* pChannel, int nSize);
int DBConvDeviceKeyChannelInfo(const char* lpszDKey, const char* lpszNewDkey);

/* Two calls: *pnDnum == 0 counts the devices; *pnDnum == n copies the first n keys in
 * ascending order into lppszDKey[0..n-1] (each at least 65 bytes). */
int DBReadDeviceKeyList(int* pnDnum, char** lppszDKey);

/* Host names of IP addresses (lpszHName at least 64 bytes). */
int DBReadIPHostName(const char* lpszIPAddr, char* lpszHName);
int DBWriteIPHostName(const char* lpszIPAddr, const char* lpszHName);

/* Models ("MCN_..." items; lpszData as large as the item's field). */
int DBReadModelInfo(const char* lpszModel, const char* lpszItem, char* lpszData);
int DBWriteModelInfo(const char* lpszModel, const char* lpszItem, const char* lpszData);

/* Groups ("GRP_..." items; lpszData at least 5120 bytes for GRP_MapInfo, 65 otherwise: a
 * read of any other item gives at most 64 characters, so GRP_BGImageFile, stored up to 127,
 * is cut on read). */
int DBReadGroupInfo(const char* lpszGroup, const char* lpszItem, char* lpszData);
int DBWriteGroupInfo(const char* lpszGroup, const char* lpszItem, const char* lpszData);
int DBCreateGroupInfo(const char* lpszGroup);
int DBDeleteGroupInfo(const char* lpszGroup);

/* Name lists in two calls as DBReadDeviceKeyList (buffers of at least 65 bytes). For
 * DBReadAddGroupNameList a count of n copies at most n names and leaves the count as given. */
int DBReadGroupNameList(int* pnGnum, char** lppszGroup);
int DBReadSubGroupNameList(const char* lpszGroup, int* pnGnum, char** lppszGroup);
int DBReadAddGroupNameList(const char* lpszGroup, int* pnGnum, char** lppszGroup);
int DBWriteSubGroupInGroup(const char* lpszGroup, const char* lpszSubGroup);
int DBDeleteSubGroupInGroup(const char* lpszGroup, const char* lpszSubGroup);

/* Member lists through handles. A null group name opens group 0, "All Devices". The key
 * returned by a read points into the handle and stays valid until the next call on it; an
 * empty key (length 0) ends the list. Writing group 0 through a handle rewrites the whole
 * All Devices list; closing that handle starts the host name registration. */
DBHANDLE DBOpenDeviceKeyInGroup(const char* lpszGroup);
int DBReadDeviceKeyInGroup(DBHANDLE hHandle, char** lppszDKey, int* pnLength);
int DBWriteDeviceKeyInGroup(DBHANDLE hHandle, const char* lpszDKey);
int DBDeleteDeviceKeyInGroup(DBHANDLE hHandle, const char* lpszDKey);
int DBCloseDeviceKeyInGroup(DBHANDLE hHandle);

/* Device and group logs, read through the log reader QMNTC (loaded by name). nLogKind: 0 error
 * log, 1 print log, 2 consumables log. A read gives the next line (pointing into the handle's
 * buffer, valid until the next call) and its length, 0 at the end of the log. */
DBHANDLE DBOpenGroupLog(const char* lpszGroup);
DBHANDLE DBOpenDeviceLog(const char* lpszDKey, int nLogKind);
int DBReadGroupLog(DBHANDLE hHandle, char** lppszLine, int* pnLength);
int DBReadDeviceLog(DBHANDLE hHandle, char** lppszLine, int* pnLength);
int DBCloseGroupLog(DBHANDLE hHandle);
int DBCloseDeviceLog(DBHANDLE hHandle);
int DBConvDeviceKeyInGroup(const char* lpszDKey, const char* lpszNewDkey);

#ifdef __cplusplus
}
#endif

#endif /* QMDBMGR_H */
