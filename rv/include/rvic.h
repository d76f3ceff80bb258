/* rvic.h: the C interface of the RV client library.
 *
 * Six calls connect to a queue manager, open a queue, put and get messages, close the queue and
 * disconnect. Every call reports a completion code (RVCC_*) and a reason code (RVRC_*) through
 * the caller's variables and never throws or aborts. The records (connect options, object
 * descriptor, message descriptor, put and get options) are laid out field by field with no gaps,
 * numbers in native byte order; character fields are fixed-width and not NUL-terminated.
 *
 * Ownership: the caller owns every record and buffer; the library keeps no pointer to them after
 * a call returns. Handles are small integers owned by the library until RVCLOSE or RVDISC.
 * A connection handle and its object handles belong to the process that made them and may be
 * used from one thread at a time. Any number of processes may use the same queues at once.
 * rvadmin.h sets up the queue managers and queues; RVErrorText says more about a failure.
 *
 * Usable from C (C11) and C++.
 */
#ifndef RV_RVIC_H
#define RV_RVIC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define RV_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#define RV_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif

/* The calls that the shared library exports; everything else in it stays hidden. */
#if defined(__GNUC__)
#define RV_API __attribute__((visibility("default")))
#else
#define RV_API
#endif

typedef int32_t RVLONG;
typedef int32_t RVHCONN;
typedef int32_t RVHOBJ;
typedef unsigned char RVBYTE;

/* Handles set by RVDISC and RVCLOSE: no call accepts them. */
#define RVHC_UNUSABLE_HCONN ((RVHCONN)-1)
#define RVHO_UNUSABLE_HOBJ ((RVHOBJ)-1)

/* Completion codes. */
#define RVCC_OK 0
#define RVCC_WARNING 1
#define RVCC_FAILED 2

/* Reason codes. */
#define RVRC_NONE 0
#define RVRC_BUFFER_ERROR 2004        /* a buffer pointer is null where data is needed */
#define RVRC_BUFFER_LENGTH_ERROR 2005 /* a buffer length is negative */
#define RVRC_CONNECTION_BROKEN 2009
#define RVRC_DATA_LENGTH_ERROR 2010 /* the data length pointer is null */
#define RVRC_HCONN_ERROR 2018
#define RVRC_HOBJ_ERROR 2019
#define RVRC_MD_ERROR 2026
#define RVRC_MSG_TOO_BIG_FOR_Q 2030
#define RVRC_NO_MSG_AVAILABLE 2033
#define RVRC_NOT_AUTHORIZED 2035
#define RVRC_NOT_OPEN_FOR_BROWSE 2036
#define RVRC_NOT_OPEN_FOR_INPUT 2037
#define RVRC_NOT_OPEN_FOR_OUTPUT 2039
#define RVRC_OBJECT_IN_USE 2042 /* opened for exclusive input elsewhere */
#define RVRC_OD_ERROR 2044
#define RVRC_OPTIONS_ERROR 2046
#define RVRC_Q_FULL 2053
#define RVRC_Q_MGR_NAME_ERROR 2058
#define RVRC_Q_MGR_NOT_AVAILABLE 2059
#define RVRC_TRUNCATED_MSG_FAILED 2080
#define RVRC_UNKNOWN_OBJECT_NAME 2085
#define RVRC_RESOURCE_PROBLEM 2102
#define RVRC_CNO_ERROR 2139
#define RVRC_OBJECT_NAME_ERROR 2152
#define RVRC_Q_MGR_QUIESCING 2161
#define RVRC_PMO_ERROR 2173
#define RVRC_GMO_ERROR 2186
#define RVRC_UNEXPECTED_ERROR 2195

/* Object types. */
#define RVOT_Q 1

/* Open options. */
#define RVOO_INPUT_AS_Q_DEF 1
#define RVOO_INPUT_SHARED 2
#define RVOO_INPUT_EXCLUSIVE 4
#define RVOO_BROWSE 8
#define RVOO_OUTPUT 16
#define RVOO_FAIL_IF_QUIESCING 8192

/* Close options. */
#define RVCO_NONE 0

/* Put options. */
#define RVPMO_NONE 0
#define RVPMO_NO_SYNCPOINT 4
#define RVPMO_NEW_MSG_ID 64
#define RVPMO_NEW_CORREL_ID 128
#define RVPMO_KEEP_PUT_DATE 2048 /* keep the descriptor's put date, time and application */
#define RVPMO_FAIL_IF_QUIESCING 8192

/* Get options. */
#define RVGMO_NO_WAIT 0
#define RVGMO_WAIT 1
#define RVGMO_NO_SYNCPOINT 4
#define RVGMO_BROWSE_FIRST 16
#define RVGMO_BROWSE_NEXT 32
#define RVGMO_HOLD 512 /* deliver the message but keep it held for this handle (see RVGET) */
#define RVGMO_FAIL_IF_QUIESCING 8192

/* Wait interval without limit. */
#define RVWI_UNLIMITED (-1)

/* Match options. */
#define RVMO_NONE 0
#define RVMO_MATCH_MSG_ID 1
#define RVMO_MATCH_CORREL_ID 2

/* Message descriptor values. */
#define RVMT_DATAGRAM 8
#define RVEI_UNLIMITED (-1)
#define RVENC_NATIVE 546
#define RVCCSI_Q_MGR 0
#define RVCCSI_UTF8 1208
#define RVPRI_PRIORITY_AS_Q_DEF (-1)
#define RVPRI_MAX 9
#define RVPER_NOT_PERSISTENT 0
#define RVPER_PERSISTENT 1
#define RVPER_PERSISTENCE_AS_Q_DEF 2
#define RVAT_UNIX 6
#define RVFMT_NONE "        "
#define RVFMT_STRING "RVSTR   "

/* Field widths. */
#define RV_Q_NAME_LENGTH 48
#define RV_Q_MGR_NAME_LENGTH 48
#define RV_MSG_ID_LENGTH 24
#define RV_CORREL_ID_LENGTH 24
#define RV_USER_ID_LENGTH 12
#define RV_APPL_NAME_LENGTH 28

/* Connect options, 20 bytes. The last field stands for a 32-bit pointer and must hold 0. */
typedef struct RVCNO {
  char structId[4]; /* "CNO " */
  RVLONG version;   /* 1 */
  RVLONG options;   /* 0 */
  RVLONG offset;    /* 0 */
  RVLONG pointer32; /* 0 */
} RVCNO;

/* Object descriptor, 336 bytes. */
typedef struct RVOD {
  char structId[4];                  /* "OD  " */
  RVLONG version;                    /* 1 */
  RVLONG objectType;                 /* RVOT_Q */
  char objectName[RV_Q_NAME_LENGTH]; /* up to the first NUL */
  char objectQMgrName[RV_Q_MGR_NAME_LENGTH];
  char dynamicQName[RV_Q_NAME_LENGTH];
  char alternateUserId[RV_USER_ID_LENGTH];
  RVBYTE reserved[168];
} RVOD;

/* Message descriptor, 364 bytes. */
typedef struct RVMD {
  char structId[4]; /* "MD  " */
  RVLONG version;   /* 1 */
  RVLONG report;
  RVLONG messageType;
  RVLONG expiry; /* tenths of a second, RVEI_UNLIMITED */
  RVLONG feedback;
  RVLONG encoding;
  RVLONG codedCharSetId;
  char format[8];
  RVLONG priority; /* 0..9 or RVPRI_PRIORITY_AS_Q_DEF */
  RVLONG persistence;
  RVBYTE messageId[RV_MSG_ID_LENGTH];
  RVBYTE correlationId[RV_CORREL_ID_LENGTH];
  RVLONG backoutCount;
  char replyToQ[RV_Q_NAME_LENGTH];
  char replyToQMgr[RV_Q_MGR_NAME_LENGTH];
  char userIdentifier[RV_USER_ID_LENGTH];
  RVBYTE accountingToken[32];
  char applIdentityData[32];
  RVLONG putApplType;
  char putApplName[RV_APPL_NAME_LENGTH];
  char putDate[8]; /* YYYYMMDD, UTC */
  char putTime[8]; /* HHMMSSTH, UTC */
  char applOriginData[4];
  RVBYTE groupId[24];
  RVLONG messageSequenceNumber;
  RVLONG offset;
  RVLONG messageFlags;
  RVLONG unsplitLength;
} RVMD;

/* Put message options, 152 bytes. */
typedef struct RVPMO {
  char structId[4]; /* "PMO " */
  RVLONG version;   /* 1 */
  RVLONG options;   /* RVPMO_* */
  RVLONG timeout;   /* -1 */
  RVBYTE reserved[136];
} RVPMO;

/* Get message options, 100 bytes. */
typedef struct RVGMO {
  char structId[4];    /* "GMO " */
  RVLONG version;      /* 1 */
  RVLONG options;      /* RVGMO_* */
  RVLONG waitInterval; /* milliseconds, RVWI_UNLIMITED */
  RVLONG signal1;
  RVLONG signal2;
  char resolvedQName[RV_Q_NAME_LENGTH]; /* set by RVGET */
  RVLONG matchOptions;                  /* RVMO_* */
  char groupStatus;
  char segmentStatus;
  char segmentation;
  char reserved1;
  RVBYTE messageToken[16];
  RVLONG returnedLength; /* set by RVGET: bytes placed in the buffer */
} RVGMO;

#define RV_CHECK_FIELD(type, field, off) \
  RV_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " must lie at " #off)

RV_STATIC_ASSERT(sizeof(RVCNO) == 20, "RVCNO must be 20 bytes");
RV_CHECK_FIELD(RVCNO, structId, 0);
RV_CHECK_FIELD(RVCNO, version, 4);
RV_CHECK_FIELD(RVCNO, options, 8);
RV_CHECK_FIELD(RVCNO, offset, 12);
RV_CHECK_FIELD(RVCNO, pointer32, 16);

RV_STATIC_ASSERT(sizeof(RVOD) == 336, "RVOD must be 336 bytes");
RV_CHECK_FIELD(RVOD, structId, 0);
RV_CHECK_FIELD(RVOD, version, 4);
RV_CHECK_FIELD(RVOD, objectType, 8);
RV_CHECK_FIELD(RVOD, objectName, 12);
RV_CHECK_FIELD(RVOD, objectQMgrName, 60);
RV_CHECK_FIELD(RVOD, dynamicQName, 108);
RV_CHECK_FIELD(RVOD, alternateUserId, 156);
RV_CHECK_FIELD(RVOD, reserved, 168);

RV_STATIC_ASSERT(sizeof(RVMD) == 364, "RVMD must be 364 bytes");
RV_CHECK_FIELD(RVMD, structId, 0);
RV_CHECK_FIELD(RVMD, version, 4);
RV_CHECK_FIELD(RVMD, report, 8);
RV_CHECK_FIELD(RVMD, messageType, 12);
RV_CHECK_FIELD(RVMD, expiry, 16);
RV_CHECK_FIELD(RVMD, feedback, 20);
RV_CHECK_FIELD(RVMD, encoding, 24);
RV_CHECK_FIELD(RVMD, codedCharSetId, 28);
RV_CHECK_FIELD(RVMD, format, 32);
RV_CHECK_FIELD(RVMD, priority, 40);
RV_CHECK_FIELD(RVMD, persistence, 44);
RV_CHECK_FIELD(RVMD, messageId, 48);
RV_CHECK_FIELD(RVMD, correlationId, 72);
RV_CHECK_FIELD(RVMD, backoutCount, 96);
RV_CHECK_FIELD(RVMD, replyToQ, 100);
RV_CHECK_FIELD(RVMD, replyToQMgr, 148);
RV_CHECK_FIELD(RVMD, userIdentifier, 196);
RV_CHECK_FIELD(RVMD, accountingToken, 208);
RV_CHECK_FIELD(RVMD, applIdentityData, 240);
RV_CHECK_FIELD(RVMD, putApplType, 272);
RV_CHECK_FIELD(RVMD, putApplName, 276);
RV_CHECK_FIELD(RVMD, putDate, 304);
RV_CHECK_FIELD(RVMD, putTime, 312);
RV_CHECK_FIELD(RVMD, applOriginData, 320);
RV_CHECK_FIELD(RVMD, groupId, 324);
RV_CHECK_FIELD(RVMD, messageSequenceNumber, 348);
RV_CHECK_FIELD(RVMD, offset, 352);
RV_CHECK_FIELD(RVMD, messageFlags, 356);
RV_CHECK_FIELD(RVMD, unsplitLength, 360);

RV_STATIC_ASSERT(sizeof(RVPMO) == 152, "RVPMO must be 152 bytes");
RV_CHECK_FIELD(RVPMO, structId, 0);
RV_CHECK_FIELD(RVPMO, version, 4);
RV_CHECK_FIELD(RVPMO, options, 8);
RV_CHECK_FIELD(RVPMO, timeout, 12);
RV_CHECK_FIELD(RVPMO, reserved, 16);

RV_STATIC_ASSERT(sizeof(RVGMO) == 100, "RVGMO must be 100 bytes");
RV_CHECK_FIELD(RVGMO, structId, 0);
RV_CHECK_FIELD(RVGMO, version, 4);
RV_CHECK_FIELD(RVGMO, options, 8);
RV_CHECK_FIELD(RVGMO, waitInterval, 12);
RV_CHECK_FIELD(RVGMO, signal1, 16);
RV_CHECK_FIELD(RVGMO, signal2, 20);
RV_CHECK_FIELD(RVGMO, resolvedQName, 24);
RV_CHECK_FIELD(RVGMO, matchOptions, 72);
RV_CHECK_FIELD(RVGMO, groupStatus, 76);
RV_CHECK_FIELD(RVGMO, segmentStatus, 77);
RV_CHECK_FIELD(RVGMO, segmentation, 78);
RV_CHECK_FIELD(RVGMO, reserved1, 79);
RV_CHECK_FIELD(RVGMO, messageToken, 80);
RV_CHECK_FIELD(RVGMO, returnedLength, 96);

/* Fill a record with its usual start values (all other bytes zero). */
static inline void RVInitCNO(RVCNO* cno) {
  RVCNO v = {{'C', 'N', 'O', ' '}, 1, 0, 0, 0};
  *cno = v;
}

static inline void RVInitOD(RVOD* od) {
  RVOD v;
  size_t i;
  for (i = 0; i < sizeof v; ++i) ((unsigned char*)&v)[i] = 0;
  v.structId[0] = 'O';
  v.structId[1] = 'D';
  v.structId[2] = ' ';
  v.structId[3] = ' ';
  v.version = 1;
  v.objectType = RVOT_Q;
  *od = v;
}

static inline void RVInitMD(RVMD* md) {
  RVMD v;
  size_t i;
  for (i = 0; i < sizeof v; ++i) ((unsigned char*)&v)[i] = 0;
  v.structId[0] = 'M';
  v.structId[1] = 'D';
  v.structId[2] = ' ';
  v.structId[3] = ' ';
  v.version = 1;
  v.messageType = RVMT_DATAGRAM;
  v.expiry = RVEI_UNLIMITED;
  v.encoding = RVENC_NATIVE;
  v.codedCharSetId = RVCCSI_Q_MGR;
  for (i = 0; i < 8; ++i) v.format[i] = ' ';
  v.priority = RVPRI_PRIORITY_AS_Q_DEF;
  v.persistence = RVPER_PERSISTENCE_AS_Q_DEF;
  v.messageSequenceNumber = 1;
  v.unsplitLength = -1;
  *md = v;
}

static inline void RVInitPMO(RVPMO* pmo) {
  RVPMO v;
  size_t i;
  for (i = 0; i < sizeof v; ++i) ((unsigned char*)&v)[i] = 0;
  v.structId[0] = 'P';
  v.structId[1] = 'M';
  v.structId[2] = 'O';
  v.structId[3] = ' ';
  v.version = 1;
  v.timeout = -1;
  *pmo = v;
}

static inline void RVInitGMO(RVGMO* gmo) {
  RVGMO v;
  size_t i;
  for (i = 0; i < sizeof v; ++i) ((unsigned char*)&v)[i] = 0;
  v.structId[0] = 'G';
  v.structId[1] = 'M';
  v.structId[2] = 'O';
  v.structId[3] = ' ';
  v.version = 1;
  v.groupStatus = ' ';
  v.segmentStatus = ' ';
  v.segmentation = ' ';
  v.reserved1 = ' ';
  v.returnedLength = -1;
  *gmo = v;
}

/* Connects to the queue manager named by the NUL-terminated name (trailing blanks ignored; empty:
 * the default queue manager). The name and cno must not be null (2058, 2139 otherwise).
 * Reasons: 2058 malformed name, 2059 no such queue manager (or its broker cannot be reached, or
 * the module of its backend cannot be loaded), 2161 quiescing, 2102 data root unusable. */
RV_API void RVCONNX(const char* qmgrName, RVCNO* cno, RVHCONN* hconn, RVLONG* compCode,
                    RVLONG* reason);

/* Opens the queue that od names for the uses that options give (RVOO_*). Reasons: 2018, 2044,
 * 2046 options, 2152 malformed name, 2085 unknown queue, 2161 quiescing with
 * RVOO_FAIL_IF_QUIESCING. */
RV_API void RVOPEN(RVHCONN hconn, RVOD* od, RVLONG options, RVHOBJ* hobj, RVLONG* compCode,
                   RVLONG* reason);

/* Closes the queue; *hobj becomes RVHO_UNUSABLE_HOBJ. A message held after a truncated get goes
 * back to its place on the queue. */
RV_API void RVCLOSE(RVHCONN hconn, RVHOBJ* hobj, RVLONG options, RVLONG* compCode, RVLONG* reason);

/* Ends the connection and closes its queues; *hconn becomes RVHC_UNUSABLE_HCONN. */
RV_API void RVDISC(RVHCONN* hconn, RVLONG* compCode, RVLONG* reason);

/* Puts bufLen bytes as one message. On success the message is on disk (flushed) and fully
 * visible; the descriptor then holds the message identifier, put date and time that were set. */
RV_API void RVPUT(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVPMO* pmo, RVLONG bufLen, const void* buf,
                  RVLONG* compCode, RVLONG* reason);

/* Takes the next message (highest priority first, then first in, first out) into buf. When the
 * message is longer than bufLen: completion 1, reason 2080, *dataLen the full length, and the
 * message stays on the queue held for this handle until taken, or until the handle is closed.
 * With RVGMO_HOLD the message is delivered and held in the same way, so that a program can save
 * it before the next get takes it for good; should the program end first, it goes back to its
 * place (a queue manager that cannot hold refuses the option with 2046). On an embedded queue
 * manager a message taken for good is removed on disk before the call returns: no crash or power
 * cut delivers it again.
 * On other failures *dataLen is left unchanged. */
RV_API void RVGET(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf,
                  RVLONG* dataLen, RVLONG* compCode, RVLONG* reason);

/* The reason code's symbolic name and a one-line explanation, e.g.
 * "RVRC_NO_MSG_AVAILABLE: no message is available on the queue". Never null; static storage. */
RV_API const char* RVReasonText(RVLONG reason);

/* What the last call of this thread that reports a completion code (here or in rvadmin.h) had
 * to say beyond its reason code: what failed, on which queue, queue manager or file, and the
 * system's or the broker's cause. "" after a call that succeeded; every such call clears it
 * when it starts. Never null; the text stays valid until this thread's next call. */
RV_API const char* RVErrorText(void);

/* The library's version, "MAJOR.MINOR.PATCH". */
RV_API const char* RVVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* RV_RVIC_H */
