#include "AmqpDescriptor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "MessageTime.h"

namespace rv {

namespace {

enum class Kind { kInt, kText };

struct Field {
  const char* key;
  Kind kind;
  size_t offset;
  size_t width;
};

#define RV_INT(key, member) \
  { key, Kind::kInt, offsetof(RVMD, member), sizeof(RVLONG) }
#define RV_TEXT(key, member) \
  { key, Kind::kText, offsetof(RVMD, member), sizeof(RVMD::member) }

// Every field of the descriptor but those that travel as standard properties (identifiers,
// reply-to queue, priority). "rv-version" comes first: it is always sent and marks the message.
constexpr Field kFields[] = {
    RV_INT("rv-version", version),
    RV_INT("rv-report", report),
    RV_INT("rv-type", messageType),
    RV_INT("rv-expiry", expiry),
    RV_INT("rv-feedback", feedback),
    RV_INT("rv-encoding", encoding),
    RV_INT("rv-ccsid", codedCharSetId),
    RV_TEXT("rv-format", format),
    RV_INT("rv-persistence", persistence),
    RV_INT("rv-backout", backoutCount),
    RV_TEXT("rv-reply-qmgr", replyToQMgr),
    RV_TEXT("rv-user", userIdentifier),
    RV_TEXT("rv-accounting", accountingToken),
    RV_TEXT("rv-identity", applIdentityData),
    RV_INT("rv-appl-type", putApplType),
    RV_TEXT("rv-appl-name", putApplName),
    RV_TEXT("rv-put-date", putDate),
    RV_TEXT("rv-put-time", putTime),
    RV_TEXT("rv-origin", applOriginData),
    RV_TEXT("rv-group", groupId),
    RV_INT("rv-sequence", messageSequenceNumber),
    RV_INT("rv-offset", offset),
    RV_INT("rv-flags", messageFlags),
    RV_INT("rv-unsplit", unsplitLength),
};

#undef RV_INT
#undef RV_TEXT

constexpr const char* kPutMsKey = "rv-put-ms";

RVMD StartValues() {
  RVMD md;
  RVInitMD(&md);
  return md;
}

// A fixed-width field without its trailing NULs, which the receiver puts back.
std::string FieldText(const char* field, size_t width) {
  while (width > 0 && field[width - 1] == '\0') --width;
  return std::string(field, width);
}

void SetField(char* field, size_t width, const void* bytes, size_t length) {
  std::memset(field, 0, width);
  std::memcpy(field, bytes, std::min(width, length));
}

bool IsZero(const RVBYTE* id, size_t size) {
  return std::all_of(id, id + size, [](RVBYTE b) { return b == 0; });
}

std::string Bytes(amqp_bytes_t b) {
  return b.len == 0 ? std::string() : std::string(static_cast<const char*>(b.bytes), b.len);
}

std::optional<int64_t> IntValue(const amqp_field_value_t& v) {
  switch (v.kind) {
    case AMQP_FIELD_KIND_I8:
      return v.value.i8;
    case AMQP_FIELD_KIND_U8:
      return v.value.u8;
    case AMQP_FIELD_KIND_I16:
      return v.value.i16;
    case AMQP_FIELD_KIND_U16:
      return v.value.u16;
    case AMQP_FIELD_KIND_I32:
      return v.value.i32;
    case AMQP_FIELD_KIND_U32:
      return v.value.u32;
    case AMQP_FIELD_KIND_I64:
      return v.value.i64;
    case AMQP_FIELD_KIND_TIMESTAMP:
      return static_cast<int64_t>(v.value.u64);
    default:
      return std::nullopt;
  }
}

std::optional<std::string> TextValue(const amqp_field_value_t& v) {
  if (v.kind == AMQP_FIELD_KIND_UTF8 || v.kind == AMQP_FIELD_KIND_BYTES)
    return Bytes(v.value.bytes);
  return std::nullopt;
}

const amqp_field_value_t* Header(const amqp_basic_properties_t& p, const char* key) {
  if (!(p._flags & AMQP_BASIC_HEADERS_FLAG)) return nullptr;
  size_t keyLength = std::strlen(key);
  for (int i = 0; i < p.headers.num_entries; ++i) {
    const amqp_table_entry_t& e = p.headers.entries[i];
    if (e.key.len == keyLength && std::memcmp(e.key.bytes, key, keyLength) == 0) return &e.value;
  }
  return nullptr;
}

void FillForeign(const amqp_basic_properties_t& p, RVMD* md) {
  md->codedCharSetId = RVCCSI_UTF8;
  md->persistence = (p._flags & AMQP_BASIC_DELIVERY_MODE_FLAG) && p.delivery_mode == 2
                        ? RVPER_PERSISTENT
                        : RVPER_NOT_PERSISTENT;
  if (p._flags & AMQP_BASIC_USER_ID_FLAG) {
    SetField(md->userIdentifier, sizeof md->userIdentifier, p.user_id.bytes, p.user_id.len);
  }
  if (p._flags & AMQP_BASIC_TIMESTAMP_FLAG) {
    MessageTime::SetPutDateTime(static_cast<int64_t>(p.timestamp) * 1000, md);
  }
}

}  // namespace

std::string AmqpDescriptor::ToWire(const RVBYTE* id, size_t size) {
  size_t text = 0;
  while (text < size && id[text] > ' ' && id[text] < 0x7f) ++text;
  if (text > 0 && IsZero(id + text, size - text)) {
    return std::string(reinterpret_cast<const char*>(id), text);
  }
  return ToHex(id, size);
}

void AmqpDescriptor::FromWire(const std::string& text, RVBYTE* id, size_t size) {
  if (FromHex(text, id, size)) return;
  std::memset(id, 0, size);
  std::memcpy(id, text.data(), std::min(size, text.size()));
}

std::string AmqpDescriptor::ToHex(const RVBYTE* id, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kHex[id[i] >> 4]);
    out.push_back(kHex[id[i] & 15]);
  }
  return out;
}

bool AmqpDescriptor::FromHex(const std::string& text, RVBYTE* id, size_t size) {
  if (text.size() != size * 2) return false;
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  RVBYTE out[64];
  for (size_t i = 0; i < size; ++i) {
    int hi = value(text[2 * i]);
    int lo = value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<RVBYTE>(hi * 16 + lo);
  }
  std::memcpy(id, out, size);
  return true;
}

amqp_bytes_t AmqpDescriptor::Keep(std::string text) {
  _storage.push_back(std::move(text));
  const std::string& kept = _storage.back();
  amqp_bytes_t b;
  b.len = kept.size();
  b.bytes = const_cast<char*>(kept.data());
  return b;
}

void AmqpDescriptor::AddInt(const char* key, int64_t value, bool wide) {
  amqp_table_entry_t e{};
  e.key = amqp_cstring_bytes(key);
  if (wide) {
    e.value.kind = AMQP_FIELD_KIND_I64;
    e.value.value.i64 = value;
  } else {
    e.value.kind = AMQP_FIELD_KIND_I32;
    e.value.value.i32 = static_cast<int32_t>(value);
  }
  _headers.push_back(e);
}

void AmqpDescriptor::AddText(const char* key, std::string text) {
  amqp_table_entry_t e{};
  e.key = amqp_cstring_bytes(key);
  e.value.kind = AMQP_FIELD_KIND_UTF8;
  e.value.value.bytes = Keep(std::move(text));
  _headers.push_back(e);
}

AmqpDescriptor::AmqpDescriptor(const RVMD& md, int64_t putMs) {
  static const RVMD kStart = StartValues();
  const char* now = reinterpret_cast<const char*>(&md);
  const char* start = reinterpret_cast<const char*>(&kStart);
  for (const Field& f : kFields) {
    bool first = &f == &kFields[0];
    if (!first && std::memcmp(now + f.offset, start + f.offset, f.width) == 0) continue;
    if (f.kind == Kind::kInt) {
      RVLONG v;
      std::memcpy(&v, now + f.offset, sizeof v);
      AddInt(f.key, v, false);
    } else {
      AddText(f.key, FieldText(now + f.offset, f.width));
    }
  }
  AddInt(kPutMsKey, putMs, true);

  amqp_basic_properties_t& p = _properties;
  p._flags = AMQP_BASIC_HEADERS_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG | AMQP_BASIC_PRIORITY_FLAG |
             AMQP_BASIC_TIMESTAMP_FLAG;
  p.headers.num_entries = static_cast<int>(_headers.size());
  p.headers.entries = _headers.data();
  p.delivery_mode = md.persistence == RVPER_NOT_PERSISTENT ? 1 : 2;
  p.priority = static_cast<uint8_t>(std::clamp<RVLONG>(md.priority, 0, RVPRI_MAX));
  p.timestamp = static_cast<uint64_t>(putMs / 1000);
  if (!IsZero(md.messageId, RV_MSG_ID_LENGTH)) {
    p._flags |= AMQP_BASIC_MESSAGE_ID_FLAG;
    p.message_id = Keep(ToWire(md.messageId, RV_MSG_ID_LENGTH));
  }
  if (!IsZero(md.correlationId, RV_CORREL_ID_LENGTH)) {
    p._flags |= AMQP_BASIC_CORRELATION_ID_FLAG;
    p.correlation_id = Keep(ToWire(md.correlationId, RV_CORREL_ID_LENGTH));
  }
  std::string replyTo = FieldText(md.replyToQ, sizeof md.replyToQ);
  if (!replyTo.empty()) {
    p._flags |= AMQP_BASIC_REPLY_TO_FLAG;
    p.reply_to = Keep(replyTo);
  }
  if (md.expiry > 0) {
    p._flags |= AMQP_BASIC_EXPIRATION_FLAG;
    p.expiration = Keep(std::to_string(int64_t{md.expiry} * 100));
  }
}

void AmqpDescriptor::Fill(const amqp_basic_properties_t& p, const std::string& receivingQm,
                          RVMD* md, int64_t* expiresMs) {
  *md = StartValues();
  *expiresMs = 0;
  md->priority =
      (p._flags & AMQP_BASIC_PRIORITY_FLAG) ? std::min<RVLONG>(p.priority, RVPRI_MAX) : 0;
  if (p._flags & AMQP_BASIC_MESSAGE_ID_FLAG) {
    FromWire(Bytes(p.message_id), md->messageId, RV_MSG_ID_LENGTH);
  }
  if (p._flags & AMQP_BASIC_CORRELATION_ID_FLAG) {
    FromWire(Bytes(p.correlation_id), md->correlationId, RV_CORREL_ID_LENGTH);
  }
  if (p._flags & AMQP_BASIC_REPLY_TO_FLAG) {
    SetField(md->replyToQ, sizeof md->replyToQ, p.reply_to.bytes, p.reply_to.len);
  }
  if (Header(p, kFields[0].key) == nullptr) {
    FillForeign(p, md);
  } else {
    FillOurs(p, md, expiresMs);
  }
  // A plain AMQP client names only a queue: it is on the broker of the receiving queue manager.
  if (md->replyToQ[0] != '\0' && md->replyToQMgr[0] == '\0') {
    SetField(md->replyToQMgr, sizeof md->replyToQMgr, receivingQm.data(), receivingQm.size());
  }
}

void AmqpDescriptor::FillOurs(const amqp_basic_properties_t& p, RVMD* md, int64_t* expiresMs) {
  char* out = reinterpret_cast<char*>(md);
  for (const Field& f : kFields) {
    const amqp_field_value_t* v = Header(p, f.key);
    if (v == nullptr) continue;
    if (f.kind == Kind::kInt) {
      std::optional<int64_t> n = IntValue(*v);
      if (!n) continue;
      RVLONG value = static_cast<RVLONG>(*n);
      std::memcpy(out + f.offset, &value, sizeof value);
    } else {
      std::optional<std::string> text = TextValue(*v);
      if (text) SetField(out + f.offset, f.width, text->data(), text->size());
    }
  }
  const amqp_field_value_t* put = Header(p, kPutMsKey);
  std::optional<int64_t> putMs = put != nullptr ? IntValue(*put) : std::nullopt;
  if (putMs) *expiresMs = MessageTime::ExpiresAt(*putMs, md->expiry);
}

}  // namespace rv
