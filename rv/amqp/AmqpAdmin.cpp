#include "AmqpAdmin.h"

#include <algorithm>
#include <sstream>

#include "AmqpQueue.h"
#include "SmallFile.h"

namespace rv {

namespace {

amqp_table_entry_t IntEntry(const char* key, int64_t value) {
  amqp_table_entry_t e{};
  e.key = amqp_cstring_bytes(key);
  e.value.kind = AMQP_FIELD_KIND_I64;
  e.value.value.i64 = value;
  return e;
}

amqp_table_entry_t TextEntry(const char* key, const char* value) {
  amqp_table_entry_t e{};
  e.key = amqp_cstring_bytes(key);
  e.value.kind = AMQP_FIELD_KIND_UTF8;
  e.value.value.bytes = amqp_cstring_bytes(value);
  return e;
}

}  // namespace

Status AmqpAdmin::Channel(amqp_channel_t* channel) {
  _session->ReleaseBuffers();
  return _session->TakeChannel(channel);
}

Status AmqpAdmin::Define(const QueueAttributes& attributes) {
  if (attributes.maxMessageLength >= 0) {
    return Status::Error(
        RVRC_OPTIONS_ERROR,
        "a maximum message length is not available on broker queue manager " + _qmName);
  }
  const std::string& queue = attributes.name;
  const int64_t maxDepth = attributes.maxDepth;
  const bool quorum = attributes.type == kQuorum;
  if (!attributes.type.empty() && !quorum) {
    return Status::Error(RVRC_OPTIONS_ERROR, "queue type \"" + attributes.type +
                                                 "\" is not known; use classic or quorum");
  }
  amqp_channel_t channel = 0;
  Status s = Channel(&channel);
  if (!s.ok()) return s;
  // A quorum queue has no priorities: it must not be asked for them.
  amqp_table_entry_t entries[3] = {
      TextEntry("x-overflow", "reject-publish"), IntEntry("x-max-length", maxDepth),
      quorum ? TextEntry("x-queue-type", kQuorum) : IntEntry("x-max-priority", RVPRI_MAX)};
  amqp_table_t arguments;
  arguments.num_entries = 3;
  arguments.entries = entries;
  amqp_queue_declare(_session->state(), channel, amqp_cstring_bytes(queue.c_str()), 0, 1, 0, 0,
                     arguments);
  s = _session->Check(amqp_get_rpc_reply(_session->state()), channel,
                      "cannot declare queue " + queue + " on the " + _session->where());
  if (!s.ok()) {
    if (s.reason() == RVRC_OPTIONS_ERROR) {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           s.message() +
                               " (the queue exists with other settings; undefine it "
                               "first to change them)");
    }
    return s;
  }
  _session->GiveBackChannel(channel);
  return Record(queue, maxDepth, attributes.type, true);
}

Status AmqpAdmin::Undefine(const std::string& queue) {
  amqp_channel_t channel = 0;
  Status s = Channel(&channel);
  if (!s.ok()) return s;
  amqp_queue_delete(_session->state(), channel, amqp_cstring_bytes(queue.c_str()), 0, 1);
  s = _session->Check(amqp_get_rpc_reply(_session->state()), channel,
                      "cannot delete queue " + queue + " on the " + _session->where());
  if (s.reason() == RVRC_OPTIONS_ERROR) {
    return Status::Error(RVRC_OPTIONS_ERROR,
                         "queue " + queue + " holds messages (rvqm clear empties it)");
  }
  if (!s.ok() && s.reason() != RVRC_UNKNOWN_OBJECT_NAME) return s;
  if (s.ok()) _session->GiveBackChannel(channel);
  return Record(queue, 0, "", false);
}

Status AmqpAdmin::Clear(const std::string& queue, int64_t* removed) {
  amqp_channel_t channel = 0;
  Status s = Channel(&channel);
  if (!s.ok()) return s;
  amqp_queue_purge_ok_t* ok =
      amqp_queue_purge(_session->state(), channel, amqp_cstring_bytes(queue.c_str()));
  s = _session->Check(amqp_get_rpc_reply(_session->state()), channel,
                      "cannot clear queue " + queue + " on the " + _session->where());
  if (!s.ok()) return s;
  *removed = ok->message_count;
  _session->GiveBackChannel(channel);
  return Status::Ok();
}

Status AmqpAdmin::List(std::vector<QueueSummary>* queues) {
  std::vector<Recorded> recorded;
  Status s = ReadRecords(_qmDirFd, &recorded);
  if (!s.ok()) return s;
  queues->assign(recorded.begin(), recorded.end());
  for (QueueSummary& q : *queues) {
    amqp_channel_t channel = 0;
    s = Channel(&channel);
    if (!s.ok()) return s;
    amqp_queue_declare_ok_t* ok =
        amqp_queue_declare(_session->state(), channel, amqp_cstring_bytes(q.name.c_str()), 1, 0, 0,
                           0, amqp_empty_table);
    s = _session->Check(amqp_get_rpc_reply(_session->state()), channel,
                        "cannot examine queue " + q.name + " on the " + _session->where());
    if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME) continue;
    if (!s.ok()) return s;
    q.depth = ok->message_count;
    _session->GiveBackChannel(channel);
  }
  return Status::Ok();
}

Status AmqpAdmin::ReadRecords(int qmDirFd, std::vector<Recorded>* queues) {
  queues->clear();
  std::string text;
  Status s = SmallFile::Read(qmDirFd, kQueuesFile, &text);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME) return Status::Ok();
  if (!s.ok()) return s;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    Recorded q;
    q.maxMessageLength = AmqpQueue::kMaxMessageLength;
    if (fields >> q.name >> q.maxDepth) {
      fields >> q.type;  // absent in the lines of classic queues
      queues->push_back(q);
    }
  }
  return Status::Ok();
}

int64_t AmqpAdmin::MaxDepth(int qmDirFd, const std::string& queue) {
  std::vector<Recorded> queues;
  if (!ReadRecords(qmDirFd, &queues).ok()) return 0;
  auto it = std::find_if(queues.begin(), queues.end(),
                         [&](const Recorded& q) { return q.name == queue; });
  return it != queues.end() ? it->maxDepth : 0;
}

Status AmqpAdmin::Record(const std::string& queue, int64_t maxDepth, const std::string& type,
                         bool add) {
  std::vector<Recorded> queues;
  Status s = ReadRecords(_qmDirFd, &queues);
  if (!s.ok()) return s;
  queues.erase(std::remove_if(queues.begin(), queues.end(),
                              [&](const Recorded& q) { return q.name == queue; }),
               queues.end());
  if (add) {
    Recorded q;
    q.name = queue;
    q.maxDepth = maxDepth;
    q.type = type;
    queues.push_back(q);
  }
  std::sort(queues.begin(), queues.end(),
            [](const Recorded& a, const Recorded& b) { return a.name < b.name; });
  std::string text;
  for (const Recorded& q : queues) {
    text += q.name + " " + std::to_string(q.maxDepth) + (q.type.empty() ? "" : " " + q.type) + "\n";
  }
  return SmallFile::WriteAtomic(_qmDirFd, kQueuesFile, text);
}

}  // namespace rv
