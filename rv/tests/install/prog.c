/* A client of the installed RV library, built against the installed tree alone: it sets up a
 * queue manager and a queue through rvadmin.h, puts and gets a message through rvic.h, reads the
 * error text of calls that fail, and has the broker backend's module loaded for a broker queue
 * manager (whose broker is down). Usage: prog WORKDIR. Exit status 0 when every check held. */
#include <rvadmin.h>
#include <rvic.h>
#include <stdio.h>
#include <string.h>

static int failures;

#define CHECK(cond, what)                                                                \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      fprintf(stderr, "prog: %s failed (line %d): %s\n", what, __LINE__, RVErrorText()); \
      ++failures;                                                                        \
    }                                                                                    \
  } while (0)

static int FindQueue(void* context, const RVQINFO* queue) {
  if (strcmp(queue->name, "IT.Q") == 0) *(long long*)context = queue->depth;
  return 0;
}

static void OpenQueue(RVHCONN hconn, const char* name, RVLONG options, RVHOBJ* hobj,
                      RVLONG* compCode, RVLONG* reason) {
  RVOD od;
  RVInitOD(&od);
  strncpy(od.objectName, name, sizeof od.objectName);
  RVOPEN(hconn, &od, options, hobj, compCode, reason);
}

int main(int argc, char** argv) {
  RVCNO cno;
  RVMD md;
  RVPMO pmo;
  RVGMO gmo;
  RVHCONN hconn;
  RVHOBJ hobj, other;
  RVLONG cc, rc, length;
  char buffer[64];
  char path[4096];
  long long depth = -1;
  RVSETTING broker[2];
  RVQMINFO info;
  FILE* f;

  if (argc != 2) return 2;
  CHECK(RVAdminCreateQM("IT.QM", 1, NULL, NULL, 0) == RVRC_NONE, "create");
  CHECK(RVAdminDefineQueue("IT.QM", "IT.Q", 10, 1000) == RVRC_NONE, "define");

  RVInitCNO(&cno);
  RVCONNX("IT.QM", &cno, &hconn, &cc, &rc);
  CHECK(cc == RVCC_OK, "connect");
  OpenQueue(hconn, "IT.Q", RVOO_OUTPUT | RVOO_INPUT_SHARED, &hobj, &cc, &rc);
  CHECK(cc == RVCC_OK, "open");
  RVInitMD(&md);
  memcpy(md.format, RVFMT_STRING, 8);
  RVInitPMO(&pmo);
  RVPUT(hconn, hobj, &md, &pmo, 5, "hello", &cc, &rc);
  CHECK(cc == RVCC_OK, "put");
  CHECK(RVAdminListQueues(NULL, FindQueue, &depth) == RVRC_NONE && depth == 1, "depth after put");

  RVInitMD(&md);
  RVInitGMO(&gmo);
  RVGET(hconn, hobj, &md, &gmo, 2, buffer, &length, &cc, &rc);
  CHECK(cc == RVCC_WARNING && rc == RVRC_TRUNCATED_MSG_FAILED && length == 5, "short get");
  RVGET(hconn, hobj, &md, &gmo, sizeof buffer, buffer, &length, &cc, &rc);
  CHECK(cc == RVCC_OK && length == 5 && memcmp(buffer, "hello", 5) == 0, "get");
  CHECK(memcmp(md.format, RVFMT_STRING, 8) == 0, "format of the message got");
  CHECK(strcmp(RVErrorText(), "") == 0, "error text after a call that succeeded");

  OpenQueue(hconn, "NO.Q", RVOO_OUTPUT, &other, &cc, &rc);
  CHECK(cc == RVCC_FAILED && rc == RVRC_UNKNOWN_OBJECT_NAME, "open of an unknown queue");
  CHECK(strstr(RVErrorText(), "NO.Q") != NULL, "error text of the unknown queue");
  printf("unknown queue: %ld %s\n", (long)rc, RVErrorText());
  RVCLOSE(hconn, &hobj, RVCO_NONE, &cc, &rc);
  RVDISC(&hconn, &cc, &rc);
  CHECK(cc == RVCC_OK && strcmp(RVErrorText(), "") == 0, "disconnect");

  /* The broker backend is a module of its own, found beside the installed library. */
  snprintf(path, sizeof path, "%s/password", argv[1]);
  f = fopen(path, "w");
  CHECK(f != NULL && fputs("secret\n", f) >= 0 && fclose(f) == 0, "password file");
  broker[0].key = "url";
  broker[0].value = "amqp://probes@127.0.0.1:1/it";
  broker[1].key = "password-file";
  broker[1].value = path;
  CHECK(RVAdminCreateQM("IT.BROKER", 0, "amqp", broker, 2) == RVRC_NONE, "create on a broker");
  CHECK(RVAdminDescribeQM("IT.BROKER", &info) == RVRC_NONE && (info.flags & RVQMF_BROKER) &&
            strcmp(info.backend, "amqp") == 0,
        "describe the broker queue manager");
  RVCONNX("IT.BROKER", &cno, &hconn, &cc, &rc);
  CHECK(cc == RVCC_FAILED && rc == RVRC_Q_MGR_NOT_AVAILABLE, "connect to a broker that is down");
  CHECK(strstr(RVErrorText(), "cannot reach") != NULL, "error text of the broker that is down");
  printf("broker down: %ld %s\n", (long)rc, RVErrorText());

  CHECK(RVAdminDeleteQM("IT.BROKER", 0) == RVRC_NONE, "delete the broker queue manager");
  CHECK(RVAdminDeleteQM("IT.QM", 0) == RVRC_NONE, "delete");
  printf("library %s: %d failures\n", RVVersion(), failures);
  return failures == 0 ? 0 : 1;
}
