// XmlComparer on parsed documents: what does not count (attribute order, layout white
// space, comments, volatile elements) and, for what does, the first difference in document
// order with its path and the two values.
#include "XmlComparer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "KesMessageParser.h"

namespace {

KesMessageMap Parse(const std::string& text) {
  return KesMessageParser::Parse(KesBinary(text.data(), static_cast<uint32_t>(text.size())));
}

std::optional<XmlComparer::Difference> Compare(const std::string& expected,
                                               const std::string& actual,
                                               std::vector<std::string> volatileNames = {}) {
  return XmlComparer(std::move(volatileNames)).Compare(Parse(expected), Parse(actual));
}

struct Same {
  const char* label;
  const char* expected;
  const char* actual;
  std::vector<std::string> volatileNames;
};

TEST(XmlComparerTest, WhatDoesNotCount) {
  const Same cases[] = {
      {"attribute order",
       R"(<a x="1" y="2"><b p="q" r="s"/></a>)",
       R"(<a y="2" x="1"><b r="s" p="q"/></a>)",
       {}},
      {"layout between elements",
       "<a><b>1</b><c/></a>",
       "<?xml version=\"1.0\"?>\n<a>\n  <b>1</b>\r\n\t<c/>\n</a>\n",
       {}},
      {"white space around a text",
       "<a><b>text with  two blanks</b></a>",
       "<a><b>\n   text with  two blanks \t</b></a>",
       {}},
      {"blank text of an element with attributes", R"(<a k="v"/>)", R"(<a k="v">  </a>)", {}},
      {"comments, processing instructions, CDATA",
       "<a><b>x &amp; y</b></a>",
       "<a><!-- note --><?pi data?><b><![CDATA[x & y]]></b></a>",
       {}},
      {"volatile by name, anywhere and with a prefix",
       R"(<a xmlns:w="urn:w"><Stamp>1</Stamp><b><w:Stamp>2</w:Stamp>x</b></a>)",
       R"(<a xmlns:w="urn:w"><b>x<w:Stamp>3</w:Stamp></b><Stamp>4</Stamp><Stamp/></a>)",
       {"Stamp"}},
      {"volatile by path",
       "<a><h><t>1</t></h><t>2</t></a>",
       "<a><h><t>9</t></h><t>2</t></a>",
       {"/a/h/t"}},
      {"volatile element missing on one side", "<a><b/><Id>7</Id></a>", "<a><b/></a>", {"Id"}},
  };
  for (const Same& c : cases) {
    std::optional<XmlComparer::Difference> d = Compare(c.expected, c.actual, c.volatileNames);
    EXPECT_FALSE(d.has_value()) << c.label << ": " << d->path << " " << d->expected << " "
                                << d->actual;
  }
}

struct Differs {
  const char* label;
  const char* expected;
  const char* actual;
  std::vector<std::string> volatileNames;
  XmlComparer::Difference difference;
};

TEST(XmlComparerTest, FirstDifferenceWithPathAndValues) {
  const Differs cases[] = {
      {"text of a leaf",
       "<m><r><rc>0</rc></r></m>",
       "<m><r><rc>12</rc></r></m>",
       {},
       {"/m/r/rc", "\"0\"", "\"12\""}},
      {"white space inside a text counts",
       "<m><t>a b</t></m>",
       "<m><t>a  b</t></m>",
       {},
       {"/m/t", "\"a b\"", "\"a  b\""}},
      {"repeated siblings get indexes",
       "<m><i>1</i><i>2</i><i>3</i></m>",
       "<m><i>1</i><i>5</i><i>3</i></m>",
       {},
       {"/m/i[2]", "\"2\"", "\"5\""}},
      {"attribute value",
       R"(<m><o n="1" c="EUR"/></m>)",
       R"(<m><o c="USD" n="1"/></m>)",
       {},
       {"/m/o/@c", "\"EUR\"", "\"USD\""}},
      {"attribute missing",
       R"(<m a="1" b="2"/>)",
       R"(<m b="2"/>)",
       {},
       {"/m/@a", "\"1\"", "(absent)"}},
      {"attribute added",
       R"(<m b="2"/>)",
       R"(<m a="1" b="2"/>)",
       {},
       {"/m/@a", "(absent)", "\"1\""}},
      {"element missing at the end",
       "<m><a/><b/></m>",
       "<m><a/></m>",
       {},
       {"/m/b", "<b>", "(absent)"}},
      {"element added at the end",
       "<m><a/></m>",
       "<m><a/><c>1</c></m>",
       {},
       {"/m/c", "(absent)", "<c>"}},
      {"element of another name", "<m><a/><b/></m>", "<m><a/><x/></m>", {}, {"/m/b", "<b>", "<x>"}},
      {"other root", "<m/>", "<n/>", {}, {"/", "<m>", "<n>"}},
      {"text where an element was",
       "<m><a>1</a></m>",
       "<m><a><b/></a></m>",
       {},
       {"/m/a", "\"1\"", "<b>"}},
      {"mixed content",
       "<p>Hello <b>w</b>!</p>",
       "<p>Hello <b>w</b>?</p>",
       {},
       {"/p/text()[2]", "\"!\"", "\"?\""}},
      {"the first in document order, deep before later",
       "<m><a><b><c>1</c></b></a><d>1</d></m>",
       "<m><a><b><c>2</c></b></a><d>2</d></m>",
       {},
       {"/m/a/b/c", "\"1\"", "\"2\""}},
      {"a volatile name elsewhere still counts",
       "<m><h><t>1</t></h><t>2</t></m>",
       "<m><h><t>1</t></h><t>3</t></m>",
       {"/m/h/t"},
       {"/m/t", "\"2\"", "\"3\""}},
      {"control characters shown escaped",
       "<m><v>a</v></m>",
       "<m><v>a&#9;b&#10;\"c\"</v></m>",
       {},
       {"/m/v", "\"a\"", "\"a\\tb\\n\\\"c\\\"\""}},
  };
  for (const Differs& c : cases) {
    std::optional<XmlComparer::Difference> d = Compare(c.expected, c.actual, c.volatileNames);
    ASSERT_TRUE(d.has_value()) << c.label;
    EXPECT_EQ(d->path, c.difference.path) << c.label;
    EXPECT_EQ(d->expected, c.difference.expected) << c.label;
    EXPECT_EQ(d->actual, c.difference.actual) << c.label;
  }
}

TEST(XmlComparerTest, LongValuesAreShortenedInTheReport) {
  std::string longText(1000, 'x');
  auto d = Compare("<m>" + longText + "</m>", "<m>" + longText + "y</m>");
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->expected, "\"" + std::string(200, 'x') + "...\"");
}

TEST(XmlComparerTest, DeepDocumentsCostTheirSize) {
  // The walk keeps no path per level, so depth costs no more than breadth (the parser's own
  // namespace look-up is what grows with depth here).
  const int depth = 4000;
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += "<e>";
    close += "</e>";
  }
  EXPECT_FALSE(Compare(open + "1" + close, open + "1" + close).has_value());
  auto d = Compare(open + "1" + close, open + "2" + close);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->path.size(), static_cast<size_t>(depth) * 2);
  EXPECT_EQ(d->actual, "\"2\"");
}

}  // namespace
