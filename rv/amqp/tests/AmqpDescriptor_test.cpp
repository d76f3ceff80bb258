#include "AmqpDescriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "MessageTime.h"

namespace rv {
namespace {

void SetText(char* field, size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

// A descriptor as a put leaves it, with every field away from its start value.
RVMD Busy() {
  RVMD md;
  RVInitMD(&md);
  md.version = 2;
  md.report = 7;
  md.messageType = 1;
  md.expiry = -1;
  md.feedback = 3;
  md.encoding = 273;
  md.codedCharSetId = 1208;
  std::memcpy(md.format, RVFMT_STRING, 8);
  md.priority = 7;
  md.persistence = RVPER_PERSISTENT;
  for (int i = 0; i < RV_MSG_ID_LENGTH; ++i) md.messageId[i] = static_cast<RVBYTE>(i * 11 + 1);
  for (int i = 0; i < RV_CORREL_ID_LENGTH; ++i) md.correlationId[i] = static_cast<RVBYTE>(255 - i);
  md.backoutCount = 2;
  SetText(md.replyToQ, sizeof md.replyToQ, "REPLY.Q");
  SetText(md.replyToQMgr, sizeof md.replyToQMgr, "QM1");
  SetText(md.userIdentifier, sizeof md.userIdentifier, "TEST");
  for (int i = 0; i < 32; ++i) md.accountingToken[i] = static_cast<RVBYTE>(i == 5 ? 0 : i + 100);
  SetText(md.applIdentityData, sizeof md.applIdentityData, "ident  ");
  md.putApplType = RVAT_UNIX;
  SetText(md.putApplName, sizeof md.putApplName, "reqprobe");
  std::memcpy(md.putDate, "20240229", 8);
  std::memcpy(md.putTime, "23595999", 8);
  std::memcpy(md.applOriginData, "or\0g", 4);
  for (int i = 0; i < 24; ++i) md.groupId[i] = static_cast<RVBYTE>(i);
  md.messageSequenceNumber = 9;
  md.offset = 10;
  md.messageFlags = 11;
  md.unsplitLength = 12;
  return md;
}

void ExpectSame(const RVMD& a, const RVMD& b) {
  EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << "descriptors differ";
}

TEST(AmqpDescriptorTest, EveryFieldSurvivesTheTrip) {
  RVMD start;
  RVInitMD(&start);
  start.priority = 0;
  RVMD persistDefault = Busy();
  persistDefault.persistence = RVPER_PERSISTENCE_AS_Q_DEF;
  RVMD notPersistent = Busy();
  notPersistent.persistence = RVPER_NOT_PERSISTENT;
  notPersistent.priority = 0;
  const RVMD cases[] = {Busy(), start, persistDefault, notPersistent};
  for (const RVMD& md : cases) {
    AmqpDescriptor d(md, 1700000000123);
    RVMD back;
    std::memset(&back, 0xAB, sizeof back);
    int64_t expiresMs = -1;
    AmqpDescriptor::Fill(d.properties(), "RECEIVER", &back, &expiresMs);
    ExpectSame(md, back);
    EXPECT_EQ(expiresMs, MessageTime::ExpiresAt(1700000000123, md.expiry));
  }
}

TEST(AmqpDescriptorTest, StandardPropertiesCarryIdentifiersReplyToAndPersistence) {
  RVMD md = Busy();
  AmqpDescriptor d(md, 1000);
  const amqp_basic_properties_t& p = d.properties();
  ASSERT_TRUE(p._flags & AMQP_BASIC_MESSAGE_ID_FLAG);
  EXPECT_EQ(std::string(static_cast<const char*>(p.message_id.bytes), p.message_id.len),
            AmqpDescriptor::ToHex(md.messageId, RV_MSG_ID_LENGTH));
  EXPECT_EQ(p.message_id.len, 48u);
  ASSERT_TRUE(p._flags & AMQP_BASIC_CORRELATION_ID_FLAG);
  ASSERT_TRUE(p._flags & AMQP_BASIC_REPLY_TO_FLAG);
  EXPECT_EQ(std::string(static_cast<const char*>(p.reply_to.bytes), p.reply_to.len), "REPLY.Q");
  EXPECT_EQ(p.priority, 7);
  EXPECT_FALSE(p._flags & AMQP_BASIC_EXPIRATION_FLAG);

  struct Case {
    RVLONG persistence;
    uint8_t deliveryMode;
  };
  for (Case c : {Case{RVPER_NOT_PERSISTENT, 1}, Case{RVPER_PERSISTENT, 2},
                 Case{RVPER_PERSISTENCE_AS_Q_DEF, 2}}) {
    md.persistence = c.persistence;
    EXPECT_EQ(AmqpDescriptor(md, 1000).properties().delivery_mode, c.deliveryMode);
  }

  RVInitMD(&md);
  md.priority = 0;
  AmqpDescriptor empty(md, 1000);
  EXPECT_FALSE(empty.properties()._flags & AMQP_BASIC_MESSAGE_ID_FLAG);
  EXPECT_FALSE(empty.properties()._flags & AMQP_BASIC_CORRELATION_ID_FLAG);
  EXPECT_FALSE(empty.properties()._flags & AMQP_BASIC_REPLY_TO_FLAG);
  // Only the marker and the put time go as headers when nothing differs from the start values.
  EXPECT_EQ(empty.properties().headers.num_entries, 2);
}

TEST(AmqpDescriptorTest, ExpiryTravelsWithThePutTime) {
  RVMD md = Busy();
  md.expiry = 50;  // 5 s
  AmqpDescriptor d(md, 10000);
  const amqp_basic_properties_t& p = d.properties();
  ASSERT_TRUE(p._flags & AMQP_BASIC_EXPIRATION_FLAG);
  EXPECT_EQ(std::string(static_cast<const char*>(p.expiration.bytes), p.expiration.len), "5000");
  RVMD back;
  int64_t expiresMs = 0;
  AmqpDescriptor::Fill(p, "QM1", &back, &expiresMs);
  EXPECT_EQ(back.expiry, 50);
  EXPECT_EQ(expiresMs, 15000);
}

TEST(AmqpDescriptorTest, ForeignMessageGetsStartValuesAndItsProperties) {
  amqp_basic_properties_t p{};
  p._flags = AMQP_BASIC_DELIVERY_MODE_FLAG | AMQP_BASIC_MESSAGE_ID_FLAG | AMQP_BASIC_REPLY_TO_FLAG |
             AMQP_BASIC_TIMESTAMP_FLAG | AMQP_BASIC_PRIORITY_FLAG;
  p.delivery_mode = 2;
  p.priority = 4;
  p.message_id = amqp_cstring_bytes("order-17");
  p.reply_to = amqp_cstring_bytes("replies");
  p.timestamp = 951782400;  // 2000-02-29 00:00:00 UTC
  RVMD md;
  int64_t expiresMs = -1;
  AmqpDescriptor::Fill(p, "RECEIVER", &md, &expiresMs);
  EXPECT_EQ(expiresMs, 0);
  EXPECT_EQ(md.persistence, RVPER_PERSISTENT);
  EXPECT_EQ(md.priority, 4);
  EXPECT_EQ(md.codedCharSetId, RVCCSI_UTF8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(md.messageId), 9),
            std::string("order-17\0", 9));
  EXPECT_EQ(std::string(md.replyToQ), "replies");
  EXPECT_EQ(std::string(md.replyToQMgr), "RECEIVER") << "the receiving queue manager answers";
  EXPECT_EQ(std::string(md.putDate, 8), "20000229");
  EXPECT_EQ(std::string(md.putTime, 8), "00000000");
  EXPECT_EQ(md.messageType, RVMT_DATAGRAM);
  EXPECT_EQ(std::string(md.format, 8), RVFMT_NONE);

  p._flags = 0;
  AmqpDescriptor::Fill(p, "RECEIVER", &md, &expiresMs);
  EXPECT_EQ(md.persistence, RVPER_NOT_PERSISTENT);
  EXPECT_EQ(md.priority, 0);
  EXPECT_EQ(md.replyToQMgr[0], '\0') << "no reply-to queue, no reply-to queue manager";
}

TEST(AmqpDescriptorTest, IdentifiersTravelAsTextWhenTheyAreText) {
  struct Case {
    std::string id;    // the 24 bytes, NUL-padded
    std::string wire;  // what the property carries
  };
  const std::string hexOfAb0c =
      "6162006300000000000000000000000000000000000000"
      "00";
  const Case cases[] = {
      {"order-17", "order-17"},
      {"42", "42"},
      {"ABCDEFGHIJKLMNOPQRSTUVWX", "ABCDEFGHIJKLMNOPQRSTUVWX"},
      {std::string("ab\0c", 4), hexOfAb0c},  // text does not end at its first NUL
      {"a b",
       "6120620000000000000000000000000000000000000000"
       "00"},
      {"\x01"
       "bc",
       "0162630000000000000000000000000000000000000000"
       "00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire);
    RVBYTE id[RV_MSG_ID_LENGTH] = {};
    std::memcpy(id, c.id.data(), c.id.size());
    EXPECT_EQ(AmqpDescriptor::ToWire(id, sizeof id), c.wire);
    RVBYTE back[RV_MSG_ID_LENGTH];
    std::memset(back, 0x55, sizeof back);
    AmqpDescriptor::FromWire(c.wire, back, sizeof back);
    EXPECT_EQ(0, std::memcmp(id, back, sizeof id));
  }
  // Text of another client longer than an identifier keeps its first 24 bytes.
  RVBYTE back[RV_MSG_ID_LENGTH];
  AmqpDescriptor::FromWire("123e4567-e89b-12d3-a456-426614174000", back, sizeof back);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 24), "123e4567-e89b-12d3-a456-");
}

TEST(AmqpDescriptorTest, HexIdentifiers) {
  RVBYTE id[RV_MSG_ID_LENGTH];
  for (int i = 0; i < RV_MSG_ID_LENGTH; ++i) id[i] = static_cast<RVBYTE>(i * 17);
  std::string hex = AmqpDescriptor::ToHex(id, sizeof id);
  EXPECT_EQ(hex.substr(0, 6), "001122");
  RVBYTE back[RV_MSG_ID_LENGTH] = {};
  ASSERT_TRUE(AmqpDescriptor::FromHex(hex, back, sizeof back));
  EXPECT_EQ(0, std::memcmp(id, back, sizeof id));
  for (std::string bad : {hex.substr(1), hex + "0", "g" + hex.substr(1), std::string(48, ' ')}) {
    EXPECT_FALSE(AmqpDescriptor::FromHex(bad, back, sizeof back)) << bad;
  }
  EXPECT_TRUE(AmqpDescriptor::FromHex(std::string(48, 'F'), back, sizeof back));
  EXPECT_EQ(back[23], 0xFF);
}

}  // namespace
}  // namespace rv
