/* The ISAM store interface ("CTREESTD"): fixed-length records in file sets with key indexes.
 *
 * Both databases load libCTREESTD.so by name and fetch every call below by its exported name.
 *
 * Model
 *  - A file set is one data file of fixed-length records plus its indexes. It lives in one
 *    SQLite file named after the data file with ".dat" appended ("..\\conf\\QMCONFIG" is
 *    "../conf/QMCONFIG.dat" relative to the current folder). Index file names in the
 *    definition are kept for the record but need no files of their own.
 *  - Data file number d (assigned by the store when the definition says -1) owns index
 *    numbers d+1 .. d+n. Numbers are private to the calling thread.
 *  - Keys are compared as bytes in "comparable form": text segments as they are, unsigned
 *    segments (little-endian machine integers in the record) big-endian. Indexes that allow
 *    duplicates get the record position appended as 4 big-endian bytes, so their key length
 *    is 4 more than their segments, and duplicates come in the order of record positions.
 *    Keys shorter than the key length are filled with the index's padding byte. Key
 *    arguments of the lookups are in comparable form and keyLength bytes long; TFRMKEY turns
 *    a key laid out as in the record (segments back to back) into that form.
 *  - Each thread has its own context (INTISAM): open files, the current record per data
 *    file, and per index the last key visited, which NXT/PRV calls continue from. Adding,
 *    rewriting and deleting act on the current record and never move an index walk, so a
 *    walk may delete or rewrite as it goes.
 *  - Every call is atomic on its own. LKISAM(lock) turns the thread's open file sets (and any
 *    opened while locked) into one write transaction each, taken in file-name order; it is
 *    the serialisation between processes, and LKISAM(0) commits. A process killed at any
 *    moment leaves each file set as of its last completed call (or lock/free span).
 *  - Several processes and threads share the files; waits for another writer are busy waits
 *    (up to QM_ISAM_BUSY_MS, default 30 s) rather than failures.
 *
 * Results: 0 success, and the ISAM_* numbers below. */
#ifndef QMISAM_H
#define QMISAM_H

#ifdef __cplusplus
extern "C" {
#endif

#define ISAM_OK 0
#define ISAM_KEY_DUPLICATE 2  /* the key of a unique index is already present */
#define ISAM_IO_ERROR 5       /* the SQLite layer failed (message in the trace) */
#define ISAM_BUSY 11          /* another writer held the file longer than the busy wait */
#define ISAM_FILE_MISSING 12  /* OPNIFIL: the file set does not exist */
#define ISAM_FILE_EXISTS 17   /* CREIFIL: the file set exists already */
#define ISAM_BAD_DEFINITION 22 /* null or inconsistent definition, or not what the file holds */
#define ISAM_BAD_FILE_NUMBER 26 /* no open data file or index by that number */
#define ISAM_NUMBER_IN_USE 46  /* a fixed file number that is already taken */
#define ISAM_NO_CURRENT 100   /* no current record / no walk position */
#define ISAM_END 101          /* no such key, or the end of a walk */
#define ISAM_ALREADY_INIT 125 /* INTISAM on a thread that has a context (counts as success) */

#define ISAM_SEG_TEXT 0     /* bytes as they are */
#define ISAM_SEG_UNSIGNED 1 /* unsigned integer in machine order, compared by value; any
                              length (the notification database keys 12-byte segments so) */

#define ISAM_LOCK_FREE 0
#define ISAM_LOCK_WRITE 2 /* what the configuration database asks for */
#define ISAM_LOCK_READ_WRITE 3 /* what the notification database asks for; same effect */

typedef struct IsamSegment {
    int offset; /* in the record */
    int length;
    int kind;   /* ISAM_SEG_TEXT or ISAM_SEG_UNSIGNED */
} IsamSegment;

typedef struct IsamIndex {
    const char* fileName; /* informational */
    int keyLength;        /* segments plus 4 when duplicates are allowed */
    int duplicates;       /* non-zero: duplicates allowed (position appended) */
    int padding;          /* byte that fills a key up to keyLength */
    int segmentCount;
    const IsamSegment* segments;
} IsamIndex;

typedef struct IsamFileSet {
    const char* fileName; /* data file, Windows or POSIX spelling */
    int dataFileNumber;   /* -1: assigned by OPNIFIL/CREIFIL and written back here */
    int recordLength;
    int growthStep;       /* informational */
    int fileMode;         /* informational (files are always shared) */
    int indexCount;
    const IsamIndex* indexes;
} IsamFileSet;

typedef void (*IsamThreadFunction)(void* argument);

/* Library and threads. */
int ctThrdInit(int mode, long reserved1, long reserved2);
int ctThrdTerm(void);
void ctThrdExit(void);
int ctThrdCreate(IsamThreadFunction function, void* argument, long reserved1, long reserved2);
int INTISAM(int buffers, int files, int sectors);
int CLISAM(void);

/* File sets. CMPIFIL compacts a file set that the calling thread does not hold open. */
int OPNIFIL(IsamFileSet* definition);
int CREIFIL(IsamFileSet* definition);
int CLIFIL(IsamFileSet* definition);
int CMPIFIL(IsamFileSet* definition);

/* Records. ADDREC makes the new record current; RWTREC and DELREC act on the current one. */
int ADDREC(int dataFile, const void* record);
int RWTREC(int dataFile, const void* record);
int DELREC(int dataFile);

/* Lookups on an index; the record found becomes current and the walk position. */
int EQLREC(int index, const void* key, void* record);
int GTREC(int index, const void* key, void* record);
int GTEREC(int index, const void* key, void* record);
int FRSREC(int index, void* record);
int NXTREC(int index, void* record);
int PRVREC(int index, void* record);
int LSTREC(int index, void* record);

/* Set walks: the records whose keys share the first `significant` bytes of `key`. NXTSET and
 * PRVSET continue the set that FRSSET or LSTSET began on that index. */
int FRSSET(int index, const void* key, void* record, int significant);
int LSTSET(int index, const void* key, void* record, int significant);
int NXTSET(int index, void* record);
int PRVSET(int index, void* record);

/* Turns a key laid out as in the record into comparable form, in place; returns `key`, or
 * null for an unknown index. */
void* TFRMKEY(int index, void* key);

int LKISAM(int mode);
/* Re-reads the current record from the file (mode is informational). */
int UPDCURI(int dataFile, int mode);
/* Current record position (non-zero), 0 when there is none. */
long GETCURP(int dataFile);
/* Makes the record at `position` current again and copies it (recordLength bytes). */
int SETCURI(int dataFile, long position, void* record, int recordLength);
/* Number of records in the data file, or -1. */
long DATENT(int dataFile);

#ifdef __cplusplus
}
#endif

#endif /* QMISAM_H */
