/* rvadmin.h: the administration of the RV client library's queue managers and queues.
 *
 * Queue managers live in the data root, the folder that RV_DATA_DIR names (default
 * ${XDG_STATE_HOME:-$HOME/.local/state}/rv). A queue manager keeps its queues in the data root
 * itself (backend "embedded", the default) or stands for an AMQP 0-9-1 broker (backend
 * "amqp"); these calls and those of rvic.h work the same on both.
 *
 * Every call returns its reason code, RVRC_NONE when it succeeded, and leaves the text of a
 * failure for RVErrorText (rvic.h): what failed and why, ready to show to a user. Names are
 * NUL-terminated; a queue manager name that is NULL or "" stands for the default queue manager
 * only where a call says so. The calls may be used from any thread, and any number of processes
 * may administer one data root at once.
 *
 * Usable from C (C11) and C++.
 */
#ifndef RV_RVADMIN_H
#define RV_RVADMIN_H

#include "rvic.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Queue manager flags. */
#define RVQMF_DEFAULT 1   /* the default queue manager */
#define RVQMF_QUIESCING 2 /* new connections are refused (RVRC_Q_MGR_QUIESCING) */
#define RVQMF_BROKER                                                     \
  4 /* its queues live on a broker: a browse hides the messages it has   \
       seen from other getters until it ends, and a queue has no maximum \
       message length of its own */
#define RVQMF_VOLATILE                                                \
  8 /* the data root is on a memory file system (tmpfs, ramfs): puts  \
       succeed, but the queue manager and the messages kept there are \
       gone after a restart of the machine */

typedef struct RVQMINFO {
  char name[RV_Q_MGR_NAME_LENGTH + 1];
  char backend[16]; /* "embedded", "amqp" */
  RVLONG flags;     /* RVQMF_* */
} RVQMINFO;

typedef struct RVQINFO {
  char name[RV_Q_NAME_LENGTH + 1];
  long long depth; /* messages on the queue; -1 when a broker no longer has the queue */
  long long maxDepth;
  long long maxMsgLength;
} RVQINFO;

/* One setting of a queue manager. Backend "embedded" takes none. Backend "amqp" takes:
 *   "url"            the broker's address, amqp://USER@HOST[:PORT][,HOST[:PORT]...]/VHOST or
 *                    amqps://... for TLS (the default vhost "/" is written %2f; the hosts are the
 *                    nodes of one cluster, tried in turn; never a password). Needed.
 *   "password-file"  a file that holds the user's password on one line, or
 *   "password"       the password itself; either is copied into the queue manager's folder
 *                    with mode 0600. One of them is needed unless a client certificate is
 *                    given, which then logs in by itself (SASL EXTERNAL).
 *   "tls-ca-file"    (amqps) the CA certificates that the broker's certificate must chain to;
 *                    default: the system's CA store
 *   "tls-cert-file", "tls-key-file"  (amqps) a client certificate and its key, together
 *   "tls-verify"     (amqps) "yes" (default): the broker's certificate and host name are
 *                    verified; "no" turns both checks off, for test brokers only
 * The files are kept by absolute path, not copied. */
typedef struct RVSETTING {
  const char* key;
  const char* value;
} RVSETTING;

/* Called once for each item of a listing or browse; returning non-zero ends the call early
 * (with RVRC_NONE). The pointers are valid during the call only. */
typedef int (*RVQMFN)(void* context, const RVQMINFO* qm);
typedef int (*RVQFN)(void* context, const RVQINFO* queue);
typedef int (*RVMSGFN)(void* context, const RVMD* md, const void* data, RVLONG length);
typedef int (*RVSETTINGFN)(void* context, const RVSETTING* setting);

/* RVRC_OBJECT_NAME_ERROR unless name is a valid queue or queue manager name: 1 to 48
 * characters from A-Z a-z 0-9 . _ / %, no empty, "." or ".." part between slashes and no %XX
 * escape. The error text says so, starting with "name". */
RV_API RVLONG RVAdminCheckName(const char* name);

/* Creates queue manager qmName served by backend (NULL or "": "embedded") with count
 * settings. makeDefault non-zero also makes it the default queue manager. The data root is
 * created (mode 0700) when it does not exist. RVRC_OBJECT_NAME_ERROR when it exists. */
RV_API RVLONG RVAdminCreateQM(const char* qmName, int makeDefault, const char* backend,
                              const RVSETTING* settings, size_t count);

/* Deletes queue manager qmName with its queues. Without force, refuses (RVRC_OPTIONS_ERROR)
 * while an embedded queue holds messages. A broker's queues stay on the broker. A put that
 * races with the deletion either lands first (and is counted, or makes the deletion refuse) or
 * fails with RVRC_CONNECTION_BROKEN. */
RV_API RVLONG RVAdminDeleteQM(const char* qmName, int force);
/* As RVAdminDeleteQM; *removed (may be NULL) counts the embedded messages that force deleted. */
RV_API RVLONG RVAdminDeleteQMEx(const char* qmName, int force, long long* removed);

/* Describes queue manager qmName (NULL or "": the default one). */
RV_API RVLONG RVAdminDescribeQM(const char* qmName, RVQMINFO* info);

/* Calls fn for each setting of queue manager qmName (NULL or "": the default one) as a user may
 * see it, a name and a text, never a password: for backend "amqp" "url", "tls", "client
 * certificate", "client key" and "login"; backend "embedded" has none. */
RV_API RVLONG RVAdminQMSettings(const char* qmName, RVSETTINGFN fn, void* context);

/* Changes settings of queue manager qmName. Backend "amqp" takes a new password
 * ("password-file" or "password", as for RVAdminCreateQM) and nothing else; other settings, and
 * any setting of an embedded queue manager, give RVRC_OPTIONS_ERROR. */
RV_API RVLONG RVAdminUpdateQM(const char* qmName, const RVSETTING* settings, size_t count);

/* Calls fn for every queue manager of the data root, sorted by name. */
RV_API RVLONG RVAdminListQMs(RVQMFN fn, void* context);

/* Quiesces queue manager qmName (quiescing non-zero) or lifts its quiescing. */
RV_API RVLONG RVAdminSetQuiescing(const char* qmName, int quiescing);

/* Defines queue on qmName. maxDepth (at least 1) limits the number of its messages and
 * maxMsgLength (0 to 2147483647) the length of one; -1 gives the default (50000 messages,
 * 104857600 bytes). A broker queue is durable; a maximum message length cannot be set there
 * (RVRC_OPTIONS_ERROR). RVRC_OBJECT_NAME_ERROR when the queue exists. */
RV_API RVLONG RVAdminDefineQueue(const char* qmName, const char* queue, long long maxDepth,
                                 long long maxMsgLength);

/* As RVAdminDefineQueue, with the type of queue: NULL, "" or "classic" for the usual one;
 * "quorum" declares a quorum queue, the broker's replicated durable queue for clusters (broker
 * queue managers only, RVRC_OPTIONS_ERROR elsewhere; it delivers in arrival order, without
 * priorities). */
RV_API RVLONG RVAdminDefineQueueOfType(const char* qmName, const char* queue, long long maxDepth,
                                       long long maxMsgLength, const char* type);

/* Removes queue from qmName; refuses (RVRC_OPTIONS_ERROR) while it holds messages, also
 * messages held by open handles. Puts that race with it either land first (and make it
 * refuse) or fail with RVRC_CONNECTION_BROKEN. */
RV_API RVLONG RVAdminUndefineQueue(const char* qmName, const char* queue);
/* As RVAdminUndefineQueue; with force non-zero the queue goes with its messages, and *removed
 * (may be NULL) counts them. A broker queue manager refuses force (RVRC_OPTIONS_ERROR). */
RV_API RVLONG RVAdminUndefineQueueEx(const char* qmName, const char* queue, int force,
                                     long long* removed);

/* Calls fn for every queue of qmName (NULL or "": the default one), sorted by name, with its
 * depth. On a broker: the queues that RVAdminDefineQueue declared through this data root (AMQP
 * cannot list a vhost's queues), as the broker reports them. A queue whose definition cannot be
 * read is left out, and the call then ends with RVRC_UNEXPECTED_ERROR and names it, and why,
 * after fn has seen every other queue. */
RV_API RVLONG RVAdminListQueues(const char* qmName, RVQFN fn, void* context);

/* Removes every message from queue that no handle holds; *removed (may be NULL) counts them. */
RV_API RVLONG RVAdminClearQueue(const char* qmName, const char* queue, long long* removed);

/* Calls fn for every message on queue, in delivery order, without taking it. */
RV_API RVLONG RVAdminBrowse(const char* qmName, const char* queue, RVMSGFN fn, void* context);

#ifdef __cplusplus
}
#endif

#endif /* RV_RVADMIN_H */
