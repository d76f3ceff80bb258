#include "RvTestSupport.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "MessageTime.h"
#include "ObjectName.h"
#include "ProcessRunner.h"
#include "Registry.h"
#include "rvadmin.h"

namespace rvtest {

namespace {
std::string gRoot;
}

std::string FreshDataRoot(const std::string& tag, bool inMemory) {
  gRoot = MakeTempDir("rv-" + tag, inMemory) + "/data";
  ::setenv("RV_DATA_DIR", gRoot.c_str(), 1);
  return gRoot;
}

void CreateQueueManager(const std::string& qm, bool makeDefault) {
  if (RVAdminCreateQM(qm.c_str(), makeDefault, nullptr, nullptr, 0) != RVRC_NONE) {
    throw std::runtime_error(RVErrorText());
  }
}

void DefineQueue(const std::string& qm, const std::string& queue, long long maxDepth,
                 long long maxMessageLength) {
  if (RVAdminDefineQueue(qm.c_str(), queue.c_str(), maxDepth, maxMessageLength) != RVRC_NONE) {
    throw std::runtime_error(RVErrorText());
  }
}

void PutAll(const std::string& qm, const std::string& queue,
            const std::vector<std::string>& messages) {
  RVHCONN c;
  RVHOBJ o;
  if (Connect(qm, &c).cc != RVCC_OK) throw std::runtime_error("PutAll: cannot connect to " + qm);
  Outcome open = Open(c, queue, RVOO_OUTPUT, &o);
  for (size_t i = 0; open.cc == RVCC_OK && i < messages.size(); ++i) {
    Outcome put = Put(c, o, messages[i]);
    if (put.cc == RVCC_FAILED) open = put;
  }
  if (open.cc == RVCC_OK) Close(c, &o);
  Disconnect(&c);
  if (open.cc != RVCC_OK) {
    throw std::runtime_error("PutAll: open or put on " + queue + " gave " +
                             std::to_string(open.reason));
  }
}

Outcome Connect(const std::string& qm, RVHCONN* hconn) {
  RVCNO cno;
  RVInitCNO(&cno);
  Outcome o;
  RVCONNX(qm.c_str(), &cno, hconn, &o.cc, &o.reason);
  return o;
}

Outcome Open(RVHCONN hconn, const std::string& queue, RVLONG options, RVHOBJ* hobj) {
  RVOD od;
  RVInitOD(&od);
  std::memcpy(od.objectName, queue.data(), std::min(queue.size(), sizeof od.objectName));
  Outcome o;
  RVOPEN(hconn, &od, options, hobj, &o.cc, &o.reason);
  return o;
}

Outcome Close(RVHCONN hconn, RVHOBJ* hobj) {
  Outcome o;
  RVCLOSE(hconn, hobj, RVCO_NONE, &o.cc, &o.reason);
  return o;
}

Outcome Disconnect(RVHCONN* hconn) {
  Outcome o;
  RVDISC(hconn, &o.cc, &o.reason);
  return o;
}

Outcome Put(RVHCONN hconn, RVHOBJ hobj, const std::string& data, RVMD* md, RVLONG putOptions) {
  RVMD local;
  RVInitMD(&local);
  RVPMO pmo;
  RVInitPMO(&pmo);
  pmo.options = putOptions;
  Outcome o;
  RVPUT(hconn, hobj, md != nullptr ? md : &local, &pmo, static_cast<RVLONG>(data.size()),
        data.data(), &o.cc, &o.reason);
  return o;
}

Outcome Get(RVHCONN hconn, RVHOBJ hobj, std::string* data, RVLONG waitMs, RVMD* md, RVLONG bufLen,
            RVLONG matchOptions, RVLONG* dataLen, RVLONG extraOptions) {
  RVMD local;
  RVInitMD(&local);
  RVGMO gmo;
  RVInitGMO(&gmo);
  gmo.options = RVGMO_NO_SYNCPOINT | extraOptions | (waitMs != 0 ? RVGMO_WAIT : 0);
  gmo.waitInterval = waitMs;
  gmo.matchOptions = matchOptions;
  std::string buf(static_cast<size_t>(bufLen), '\0');
  RVLONG length = -7;
  Outcome o;
  RVGET(hconn, hobj, md != nullptr ? md : &local, &gmo, bufLen, buf.data(), &length, &o.cc,
        &o.reason);
  if (dataLen != nullptr) *dataLen = length;
  if (data != nullptr) {
    data->clear();
    if (o.cc != RVCC_FAILED && length >= 0) data->assign(buf.data(), std::min(length, bufLen));
  }
  return o;
}

rv::Status StoreSession::Connect(rv::FileSystem& fs, const std::string& name) {
  rv::Status s = rv::DataRoot::Open(false, &root, fs);
  if (s.ok()) s = rv::Registry::Open(root, name, &qm, &backend);
  if (s.ok()) s = backend->Connect(qm, &connection);
  return s;
}

rv::Status StorePut(rv::OpenQueue& queue, const std::string& data) {
  RVMD md;
  RVInitMD(&md);
  md.priority = 0;
  int64_t now = rv::MessageTime::NowMs();
  return queue.Put(md, data.data(), data.size(), now, 0);
}

rv::Status StoreGet(rv::OpenQueue& queue, std::string* data, RVLONG bufLen, RVLONG options,
                    RVLONG waitMs) {
  RVMD md;
  RVInitMD(&md);
  RVGMO gmo;
  RVInitGMO(&gmo);
  gmo.options = options;
  gmo.waitInterval = waitMs;
  std::string buf(static_cast<size_t>(bufLen), '\0');
  rv::Delivery delivery;
  rv::Status s = queue.Get(gmo, rv::MatchCriteria(md, gmo), buf.data(), bufLen, &delivery);
  data->clear();
  if (!s.ok()) return s;
  data->assign(buf.data(), std::min<size_t>(buf.size(), delivery.length));
  if (delivery.length > bufLen) return rv::Status::Error(RVRC_TRUNCATED_MSG_FAILED, "truncated");
  return s;
}

std::vector<std::string> Drain(const std::string& qm, const std::string& queue) {
  RVHCONN hconn;
  RVHOBJ hobj;
  std::vector<std::string> out;
  if (Connect(qm, &hconn).cc != RVCC_OK) throw std::runtime_error("Drain: cannot connect");
  Outcome o = Open(hconn, queue, RVOO_INPUT_AS_Q_DEF, &hobj);
  if (o.cc != RVCC_OK) throw std::runtime_error("Drain: open gave " + std::to_string(o.reason));
  for (;;) {
    std::string data;
    o = Get(hconn, hobj, &data, 0, nullptr, 1 << 20);
    if (o.reason == RVRC_NO_MSG_AVAILABLE) break;
    if (o.cc != RVCC_OK) throw std::runtime_error("Drain: get gave " + std::to_string(o.reason));
    out.push_back(data);
  }
  Close(hconn, &hobj);
  Disconnect(&hconn);
  return out;
}

std::vector<std::string> FilesIn(const std::string& relative) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(gRoot + "/" + relative, ec)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string QueueFolder(const std::string& qm, const std::string& queue) {
  return "qmgrs/" + rv::ObjectName::Encode(qm) + "/queues/" + rv::ObjectName::Encode(queue);
}

}  // namespace rvtest
