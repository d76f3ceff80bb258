// AmqpDescriptor: carries a whole message descriptor (RVMD) with an AMQP message. The message and
// correlation identifiers travel as the AMQP message-id and correlation-id properties, the
// reply-to queue as reply-to, the priority as priority, the persistence also as the delivery mode
// (2 for persistent and for "as the queue's default", which is persistent on a broker queue), the
// expiry also as expiration (milliseconds) so that the broker drops expired messages; every
// other field that differs from its start value travels as an "rv-..." header. The header
// "rv-version" marks a message put through this library; a message from another AMQP client gets
// start values filled from its standard properties instead.
//
// An identifier (24 bytes) that is printable text padded with NULs travels as that text, so
// that a plain AMQP client gets back the text it sent; any other as 48 hex digits. A received
// identifier of exactly 48 hex digits is decoded; any other text is taken as its bytes, padded
// with NULs, or cut to 24 bytes. A message that names a reply-to queue and no reply-to queue
// manager names the queue manager that received it.
//
// An object owns the storage that its properties point into: not copyable, one thread.
#pragma once

#include <amqp.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "rvic.h"

namespace rv {

class AmqpDescriptor {
 public:
  // md must be complete as a put leaves it (priority 0..9); putMs is the put time in
  // milliseconds since the epoch, from which a receiver computes the expiry left.
  AmqpDescriptor(const RVMD& md, int64_t putMs);
  AmqpDescriptor(const AmqpDescriptor&) = delete;
  AmqpDescriptor& operator=(const AmqpDescriptor&) = delete;

  const amqp_basic_properties_t& properties() const { return _properties; }

  // Fills md from a received message's properties with the fields as they were put, and
  // *expiresMs with the time a limited expiry ends (0: never, or not known). receivingQm is the
  // queue manager whose queue the message was taken from.
  static void Fill(const amqp_basic_properties_t& properties, const std::string& receivingQm,
                   RVMD* md, int64_t* expiresMs);

  // Lower-case hex digits of an identifier, and back; FromHex fails unless text has exactly
  // 2 * size hex digits.
  static std::string ToHex(const RVBYTE* id, size_t size);
  static bool FromHex(const std::string& text, RVBYTE* id, size_t size);
  // An identifier as it travels, and back (see above).
  static std::string ToWire(const RVBYTE* id, size_t size);
  static void FromWire(const std::string& text, RVBYTE* id, size_t size);

 private:
  // The fields of a message put through this library, from its headers.
  static void FillOurs(const amqp_basic_properties_t& properties, RVMD* md, int64_t* expiresMs);
  amqp_bytes_t Keep(std::string text);
  void AddInt(const char* key, int64_t value, bool wide);
  void AddText(const char* key, std::string text);

  amqp_basic_properties_t _properties{};
  std::vector<amqp_table_entry_t> _headers;
  std::deque<std::string> _storage;  // stable addresses for the bytes the properties point to
};

}  // namespace rv
