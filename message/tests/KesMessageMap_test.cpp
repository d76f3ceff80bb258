// The shape of the map built from XML and its rendering.
#include "KesMessageMap.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "KesException.h"
#include "KesMessage.h"

namespace {

KesMessageMap Parse(const std::string& xml) {
  KesMessage message(KesBinary(xml.data(), static_cast<uint32_t>(xml.size())));
  return message.MessageMap();
}

std::string Render(const KesMessageMap& map) {
  std::ostringstream out;
  map.Stream(out);
  return out.str();
}

std::string Str(const KesString& s) {
  return s.IsNull() ? "<null>" : std::string(s.Chars(), s.LengthChar());
}

struct RenderCase {
  const char* what;
  std::string xml;
  std::string rendering;
};

class KesMessageMapRender : public testing::TestWithParam<RenderCase> {};

TEST_P(KesMessageMapRender, RendersTheDocumentAsItsMap) {
  EXPECT_EQ(Render(Parse(GetParam().xml)), GetParam().rendering) << GetParam().what;
}

const RenderCase kRenderCases[] = {
    {"nesting",
     "<WfMessage version=\"1.0\"><WfMessageHeader><ResponseRequired>Yes</ResponseRequired>"
     "</WfMessageHeader><ActImplCorrelID>000000AB</ActImplCorrelID></WfMessage>",
     "WfMessage {\n"
     "  @version: \"1.0\"\n"
     "  WfMessageHeader {\n"
     "    ResponseRequired: \"Yes\"\n"
     "  }\n"
     "  ActImplCorrelID: \"000000AB\"\n"
     "}\n"},
    {"repeated names keep every occurrence in order",
     "<r><i>1</i><i>2</i><j>x</j><i>3</i><i><k>4</k></i></r>",
     "r {\n  i: \"1\"\n  i: \"2\"\n  j: \"x\"\n  i: \"3\"\n  i {\n    k: \"4\"\n  }\n}\n"},
    {"attributes come before children, in document order",
     "<r b=\"2\" a='x\"y'><c z=\"1\" y=\"2\"/><d>t</d></r>",
     "r {\n  @b: \"2\"\n  @a: \"x\\\"y\"\n  c {\n    @z: \"1\"\n    @y: \"2\"\n  }\n"
     "  d: \"t\"\n}\n"},
    {"attributes and text: the text is a run, blank or not",
     "<r><amt cur=\"EUR\">12.50</amt><amt cur=\"USD\"> </amt></r>",
     "r {\n  amt {\n    @cur: \"EUR\"\n    #text: \"12.50\"\n  }\n"
     "  amt {\n    @cur: \"USD\"\n    #text: \" \"\n  }\n}\n"},
    {"mixed content keeps text runs between the children",
     "<p>Hello <b>world</b>, <i>dear</i> reader</p>",
     "p {\n  #text: \"Hello \"\n  b: \"world\"\n  #text: \", \"\n  i: \"dear\"\n"
     "  #text: \" reader\"\n}\n"},
    {"blank runs between children are layout and dropped; a blank value is kept",
     "<r>\n  <a>1</a>\r\n\t<b>  </b>\n</r>", "r {\n  a: \"1\"\n  b: \"  \"\n}\n"},
    {"empty elements", "<r><a/><b></b><c x=\"\"/></r>",
     "r {\n  a: \"\"\n  b: \"\"\n  c {\n    @x: \"\"\n  }\n}\n"},
    {"an empty root", "<r/>", "r: \"\"\n"},
    {"namespace prefixes and declarations as written",
     "<w:r xmlns:w=\"urn:w\" xmlns=\"urn:d\"><w:a>1</w:a><b w:k=\"v\">2</b></w:r>",
     "w:r {\n  @xmlns:w: \"urn:w\"\n  @xmlns: \"urn:d\"\n  w:a: \"1\"\n  b {\n"
     "    @w:k: \"v\"\n    #text: \"2\"\n  }\n}\n"},
    {"CDATA is text; a blank CDATA section is not layout",
     "<r><a><![CDATA[<x> & ]]]></a><b>pre<![CDATA[mid]]>post</b><![CDATA[ ]]><c/></r>",
     "r {\n  a: \"<x> & ]\"\n  b: \"premidpost\"\n  #text: \" \"\n  c: \"\"\n}\n"},
    {"entities: predefined, character references, internal",
     "<!DOCTYPE r [<!ENTITY co \"Corp &#38;amp; Co\"><!ENTITY el \"<e>in</e>\">]>"
     "<r><a>&lt;&gt;&amp;&apos;&quot;</a><b>&#65;&#x263A;&#x1F600;</b><c>&co;</c>"
     "<d x=\"&co;\"/>&el;</r>",
     "r {\n  a: \"<>&'\\\"\"\n  b: \"A\xE2\x98\xBA\xF0\x9F\x98\x80\"\n  c: \"Corp & Co\"\n"
     "  d {\n    @x: \"Corp & Co\"\n  }\n  e: \"in\"\n}\n"},
    {"escaping makes quotes, backslashes, line ends and control bytes visible",
     "<?xml version=\"1.1\"?><r><a>q\"b\\s&#10;n&#9;t&#13;r&#1;&#127;</a>"
     "<b x=\"&#10;&#9;\\\"/></r>",
     "r {\n  a: \"q\\\"b\\\\s\\nn\\tt\\x0Dr\\x01\\x7F\"\n  b {\n    @x: \"\\n\\t\\\\\"\n  }\n}\n"},
    {"comments and processing instructions are not kept",
     "<?xml version=\"1.0\"?><!--c--><?pi x?><r><!--c--><a>1<!--x-->2<?p q?>3</a><?p?></r>",
     "r {\n  a: \"123\"\n}\n"},
    {"names and values outside ASCII",
     "<stra\xC3\x9F"
     "e>\xE2\x82\xAC</stra\xC3\x9F"
     "e>",
     "stra\xC3\x9F"
     "e: \"\xE2\x82\xAC\"\n"},
    {"declared ISO-8859-1 is rendered in UTF-8",
     "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"\xE9\">\xE4</r>",
     "r {\n  @a: \"\xC3\xA9\"\n  #text: \"\xC3\xA4\"\n}\n"},
    {"UTF-16 with byte order mark", std::string("\xFF\xFE<\0r\0>\0\xE4\0<\0/\0r\0>\0", 18),
     "r: \"\xC3\xA4\"\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, KesMessageMapRender, testing::ValuesIn(kRenderCases));

TEST(KesMessageMap, RenderingIsDeterministic) {
  const std::string xml = "<r z=\"1\" a=\"2\"><n:b xmlns:n=\"u\">x</n:b><c>y<d/>z</c><b>w</b></r>";
  KesMessageMap first = Parse(xml);
  KesMessageMap copy = first;
  std::string once = Render(first);
  EXPECT_EQ(Render(first), once);
  EXPECT_EQ(Render(copy), once);
  EXPECT_EQ(Render(Parse(xml)), once);
}

TEST(KesMessageMap, NullMapRendersAsNull) {
  EXPECT_EQ(Render(KesMessageMap()), "<null>");
}

TEST(KesMessageMap, EntriesFollowDocumentOrder) {
  KesMessageMap map =
      Parse("<r id=\"7\" xmlns:p=\"u\"><a>1</a>mid<p:a k=\"v\"><b>2</b></p:a><a>3</a></r>");
  KesMessageMap::Entry root = map.Root();
  ASSERT_TRUE(root.IsValid());
  EXPECT_EQ(root.Kind(), KesMessageMap::EntryKind::Map);
  EXPECT_EQ(Str(root.Name()), "r");
  EXPECT_TRUE(root.Value().IsNull());
  ASSERT_EQ(root.AttributeCount(), 2u);
  EXPECT_EQ(Str(root.AttributeName(0)), "id");
  EXPECT_EQ(Str(root.AttributeValue(0)), "7");
  EXPECT_EQ(Str(root.AttributeName(1)), "xmlns:p");
  EXPECT_TRUE(root.AttributeName(2).IsNull());
  EXPECT_EQ(Str(root.Attribute("id")), "7");
  EXPECT_TRUE(root.Attribute("none").IsNull());

  std::string seen;
  for (auto e = root.FirstChild(); e.IsValid(); e = e.Next()) {
    seen += Str(e.Name()) + "=" + Str(e.Value()) + ";";
  }
  EXPECT_EQ(seen, "a=1;=mid;p:a=<null>;a=3;");
  KesMessageMap::Entry text = root.FirstChild().Next();
  EXPECT_EQ(text.Kind(), KesMessageMap::EntryKind::Text);
  EXPECT_EQ(text.AttributeCount(), 0u);
  EXPECT_FALSE(text.FirstChild().IsValid());
}

TEST(KesMessageMap, FindFollowsPathsWithOccurrences) {
  KesMessageMap map =
      Parse("<r><a>1</a><b><c>x</c><c>y</c></b><a>2</a><b><c>z</c></b><a>3</a></r>");
  struct {
    const char* path;
    const char* value;  // nullptr: nothing found
  } cases[] = {
      {"r/a", "1"},        {"r/a[1]", "1"},    {"r/a[2]", "2"},     {"r/a[3]", "3"},
      {"r/a[4]", nullptr}, {"r/b/c[2]", "y"},  {"r/b[2]/c", "z"},   {"r/b[2]/c[2]", nullptr},
      {"r/x", nullptr},    {"x", nullptr},     {"x/a", nullptr},    {"", nullptr},
      {"r/", nullptr},     {"r//a", nullptr},  {"r/a[0]", nullptr}, {"r/a[x]", nullptr},
      {"r/a[", nullptr},   {"r/[1]", nullptr}, {"r[2]", nullptr},   {"r/a[99999999999]", nullptr},
  };
  for (const auto& c : cases) {
    KesMessageMap::Entry e = map.Find(c.path);
    if (c.value == nullptr) {
      EXPECT_FALSE(e.IsValid()) << c.path;
    } else {
      ASSERT_TRUE(e.IsValid()) << c.path;
      EXPECT_EQ(Str(e.Value()), c.value) << c.path;
    }
  }
  EXPECT_EQ(map.Find("r").Kind(), KesMessageMap::EntryKind::Map);
  EXPECT_FALSE(map.Find(nullptr).IsValid());
  EXPECT_FALSE(KesMessageMap().Find("r").IsValid());
}

TEST(KesMessageMap, InvalidEntryFailsItsCheck) {
  KesMessageMap::Entry none = KesMessageMap().Root();
  EXPECT_FALSE(none.IsValid());
  try {
    none.Name();
    FAIL() << "no exception";
  } catch (const KesException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("failed precondition \"IsValid()\" (kesmmap, line ", 0),
              0u)
        << e.what();
  }
  EXPECT_THROW(none.Kind(), KesException);
  EXPECT_THROW(none.FirstChild(), KesException);
  EXPECT_THROW(none.AttributeValue(0), KesException);
}

TEST(KesMessageMap, CopiesShareAndTheLastHandleFrees) {
  KesMessageMap outer;
  EXPECT_EQ(outer.ShareCount(), 0);
  {
    KesMessage message(KesBinary("<r><a>1</a></r>", 15));
    const KesMessageMap& held = message.MessageMap();
    EXPECT_EQ(held.ShareCount(), 1);
    KesMessageMap copy(held);
    EXPECT_EQ(held.ShareCount(), 2);
    outer = copy;
    EXPECT_EQ(held.ShareCount(), 3);
    outer = outer;
    EXPECT_EQ(held.ShareCount(), 3);
    KesMessageMap moved(std::move(copy));
    EXPECT_TRUE(copy.IsNull());
    EXPECT_EQ(held.ShareCount(), 3);
  }
  // The message and the other handles are gone; this one still reads the map.
  EXPECT_EQ(outer.ShareCount(), 1);
  EXPECT_EQ(Str(outer.Find("r/a").Value()), "1");
  outer = KesMessageMap();
  EXPECT_TRUE(outer.IsNull());
}

}  // namespace
