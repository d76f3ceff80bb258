// The text rules that probesuite applies to messages and reports: the correlation element
// found by its first tags, and escaping of hostile bytes for JSON, XML and result lines.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "CorrelationElement.h"
#include "TextEscape.h"

namespace {

struct Found {
  const char* label;
  std::string text;
  std::optional<std::string> identifier;
};

TEST(CorrelationElementTest, FirstOpeningTagAndFirstClosingTagAfterIt) {
  const Found cases[] = {
      {"plain", "<a><ActImplCorrelID>00AB</ActImplCorrelID></a>", "00AB"},
      {"empty", "<ActImplCorrelID></ActImplCorrelID>", ""},
      {"only the first counts",
       "<ActImplCorrelID>1</ActImplCorrelID><ActImplCorrelID>2</ActImplCorrelID>", "1"},
      {"a closing tag before the opening one is passed over",
       "</ActImplCorrelID><ActImplCorrelID>7</ActImplCorrelID>", "7"},
      {"not closed", "<ActImplCorrelID>7", std::nullopt},
      {"no element", "<a/>", std::nullopt},
      {"other case is another element", "<actimplcorrelid>7</actimplcorrelid>", std::nullopt},
      {"in a reply that is not well-formed", "<x><ActImplCorrelID>9</ActImplCorrelID><y>", "9"},
  };
  for (const Found& c : cases) {
    std::optional<std::string_view> id = CorrelationElement::Find(c.text);
    ASSERT_EQ(id.has_value(), c.identifier.has_value()) << c.label;
    if (id) {
      EXPECT_EQ(std::string(*id), *c.identifier) << c.label;
    }
  }
}

TEST(CorrelationElementTest, WithReplacesOnlyTheIdentifier) {
  const std::string text =
      "<?xml version=\"1.0\"?>\r\n<m>\n <ActImplCorrelID>OLD</ActImplCorrelID>\n"
      " <ActImplCorrelID>SECOND</ActImplCorrelID></m>\n";
  std::optional<CorrelationElement> e = CorrelationElement::Split(text);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Identifier(), "OLD");
  EXPECT_EQ(e->With("0123456789ABCDEF"),
            "<?xml version=\"1.0\"?>\r\n<m>\n <ActImplCorrelID>0123456789ABCDEF</ActImplCorrelID>\n"
            " <ActImplCorrelID>SECOND</ActImplCorrelID></m>\n");
  EXPECT_FALSE(CorrelationElement::Split("<m/>").has_value());
}

struct Escaped {
  const char* label;
  std::string text;
  std::string json;
  std::string xml;
};

TEST(TextEscapeTest, HostileBytesBecomeValidText) {
  const Escaped cases[] = {
      {"plain", "abc", "\"abc\"", "abc"},
      {"markup and quotes", "<a href=\"x\">&'", "\"<a href=\\\"x\\\">&'\"",
       "&lt;a href=&quot;x&quot;&gt;&amp;&apos;"},
      {"line ends and tabs", "a\tb\r\nc", "\"a\\tb\\r\\nc\"", "a&#9;b&#13;&#10;c"},
      {"other control characters", std::string("a\x01\x7f", 3) + std::string(1, '\0'),
       "\"a\\u0001\\u007f\\u0000\"", "a\xEF\xBF\xBD\x7f\xEF\xBF\xBD"},
      {"backslash", "a\\b", "\"a\\\\b\"", "a\\b"},
      {"UTF-8 passes", "M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\"M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x98\x80\"",
       "M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"invalid UTF-8 is replaced byte by byte", "a\xFF\xC3(b\xED\xA0\x80",
       "\"a\xEF\xBF\xBD\xEF\xBF\xBD(b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"",
       "a\xEF\xBF\xBD\xEF\xBF\xBD(b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong and cut sequences", "\xC0\xAF\xE2\x82",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"not an XML character", "\xEF\xBF\xBE", "\"\xEF\xBF\xBE\"", "\xEF\xBF\xBD"},
  };
  for (const Escaped& c : cases) {
    EXPECT_EQ(TextEscape::Json(c.text), c.json) << c.label;
    EXPECT_EQ(TextEscape::Xml(c.text), c.xml) << c.label;
  }
}

TEST(TextEscapeTest, ShortenCutsAtACharacterBoundary) {
  EXPECT_EQ(TextEscape::Shorten("abcdef", 6), "abcdef");
  EXPECT_EQ(TextEscape::Shorten("abcdef", 4), "abcd...");
  // "\xC3\xBC" is one character: a cut in its middle steps back before it.
  EXPECT_EQ(TextEscape::Shorten("ab\xC3\xBC"
                                "cd",
                                3),
            "ab...");
  EXPECT_EQ(TextEscape::Shorten("ab\xC3\xBC"
                                "cd",
                                4),
            "ab\xC3\xBC...");
}

}  // namespace
