// The message handle: its formats, the checks of MessageMap and how parse failures are
// reported.
#include "KesMessage.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "KesCheck.h"
#include "KesException.h"

namespace {

KesBinary Bytes(const std::string& s) {
  return KesBinary(s.data(), static_cast<uint32_t>(s.size()));
}

std::string FailureText(const std::function<void()>& action) {
  try {
    action();
  } catch (const KesException& e) {
    return e.what();
  }
  return "<no exception>";
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(KesMessage, ParsedMessageIsInMessageMapForm) {
  KesMessage message(Bytes("<r><a>1</a></r>"));
  EXPECT_FALSE(message.IsNull());
  EXPECT_EQ(message.Format(), KesWfMsgFormat::MessageMap);
  EXPECT_EQ(message.MessageMap().Find("r/a").Value(), KesString("1"));
  EXPECT_TRUE(StartsWith(FailureText([&] { message.Text(); }),
                         "failed precondition \"_pRep->_internalFormat == "
                         "KesWfMsgFormat::XmlText\" (kesmmsg, line "));
}

TEST(KesMessage, MessageMapChecksItsPreconditions) {
  KesMessage null;
  EXPECT_TRUE(StartsWith(FailureText([&] { null.MessageMap(); }),
                         "failed precondition \"_pRep\" (kesmmsg, line "));
  KesMessage moved(Bytes("<r/>"));
  KesMessage taker(std::move(moved));
  EXPECT_TRUE(StartsWith(FailureText([&] { moved.MessageMap(); }),
                         "failed precondition \"_pRep\" (kesmmsg, line "));
  EXPECT_FALSE(taker.MessageMap().IsNull());

  // Held as text, unparsed: no map, and not even well-formed XML is looked at.
  KesMessage text(Bytes("<not xml"), KesWfMsgFormat::XmlText);
  EXPECT_EQ(text.Format(), KesWfMsgFormat::XmlText);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.Text().Data()), text.Text().Length()),
            "<not xml");
  EXPECT_TRUE(StartsWith(FailureText([&] { text.MessageMap(); }),
                         "failed precondition \"_pRep->_internalFormat == "
                         "KesWfMsgFormat::MessageMap\" (kesmmsg, line "));
}

TEST(KesMessage, FailedCheckThatReturnsGivesTheNullMap) {
  KesMessage null;
  KesCheckNoThrow reportOnly;
  testing::internal::CaptureStderr();
  const KesMessageMap& map = null.MessageMap();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(map.IsNull());
  EXPECT_TRUE(StartsWith(err, "failed precondition \"_pRep\" (kesmmsg, line ")) << err;
}

TEST(KesMessage, CopiesShareTheMessageAndItsMap) {
  KesMessage copy;
  {
    KesMessage message(Bytes("<r>x</r>"));
    copy = message;
    EXPECT_EQ(&copy.MessageMap(), &message.MessageMap());
  }
  EXPECT_EQ(copy.MessageMap().Root().Value(), KesString("x"));
  KesMessage second(copy);
  second = KesMessage(Bytes("<s/>"));
  EXPECT_EQ(copy.MessageMap().Root().Name(), KesString("r"));
  EXPECT_EQ(second.MessageMap().Root().Name(), KesString("s"));
}

TEST(KesMessage, ParseFailuresGiveLineColumnAndReason) {
  struct {
    std::string xml;
    std::string text;
  } cases[] = {
      {"", "empty message"},
      {"<a><b></a>", "XML parse error at line 1, column 9: expected end of tag 'b'"},
      {"<a>\n<b>\n</a>", "XML parse error at line 3, column 3: expected end of tag 'b'"},
      {"<a>", "XML parse error at line 1, column 4: "},
      {"   ", "XML parse error at line 1, column 4: "},
      {"<a/><b/>", "XML parse error at line 1, column 5: "},
      {"<a>&undeclared;</a>",
       "XML parse error at line 1, column 16: entity 'undeclared' not found"},
      {"<p:a/>", "XML parse error at line 1, column 7: "},
      {"<a x='1' x='2'/>", "XML parse error at line 1, column "},
      {std::string("<a>\0</a>", 8), "XML parse error at line 1, column "},
      {"<?xml version=\"1.0\" encoding=\"no-such-code\"?><a/>", "XML parse error"},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xFF\xFE</a>", "XML parse error"},
  };
  for (const auto& c : cases) {
    std::string text = FailureText([&] { KesMessage m(Bytes(c.xml)); });
    EXPECT_TRUE(StartsWith(text, c.text)) << "xml: " << c.xml << "\ngot: " << text;
  }
  EXPECT_EQ(FailureText([] { KesMessage m{KesBinary()}; }), "empty message");
}

}  // namespace
