// End-to-end tests: run the built eventecho and compare standard output, standard error and
// exit status byte for byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace {

const std::string kTool = EVENTECHO_PATH;
const std::string kData = EVENTECHO_DATA;

const std::string kUsage =
    "\nUsage: eventecho [options] file\n"
    "   This program prints the data returned by various SAX\n"
    "   handlers for the specified input file.\n\n"
    "   Options:\n"
    "     -NoEscape   Don't escape special characters in output\n"
    "     -v          Invoke the Validating SAX Parser.\n"
    "     -?          Show this help\n"
    "\n";

std::string Data(const std::string& name) {
  return kData + "/" + name;
}

// The tool as a child process in a UTF-8 locale, with the parser library's own leak (see
// lsan.supp) kept out of sanitizer reports.
ProcessRunner Tool(const std::vector<std::string>& args,
                   std::chrono::seconds limit = std::chrono::seconds(20)) {
  ProcessRunner runner(kTool, args);
  runner.Env("LC_ALL", "C.UTF-8")
      .Env("LSAN_OPTIONS",
           std::string("print_suppressions=0:suppressions=") + EVENTECHO_LSAN_SUPPRESSIONS)
      .Timeout(limit);
  return runner;
}

#ifdef EVENTECHO_SANITIZED
// Instrumented, each of the 50000 expansions maps and faults in fresh pages for the parser's
// entity reader: still bounded, but several times slower than the optimised build.
constexpr double kLaughsSeconds = 20.0;
#else
constexpr double kLaughsSeconds = 2.0;
#endif

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class EventEchoTest : public testing::TestWithParam<Case> {};

TEST_P(EventEchoTest, WritesExpectedOutputErrorsAndStatus) {
  const Case& c = GetParam();
  const ProcessResult r = Tool(c.args).Run();
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status & 0xff);
  EXPECT_EQ(r.signal, 0);
}

std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, EventEchoTest,
    testing::Values(
        Case{"NoArgumentsShowsUsage", {}, kUsage, "", 1},
        Case{"HelpAloneSucceeds", {"-?"}, kUsage, "", 0},
        Case{"HelpFirstIgnoresTheRest", {"-?", "a.xml", "b.xml"}, kUsage, "", 0},
        Case{"HelpAfterAnOptionIsRejected", {"-v", "-?", Data("text.xml")}, kUsage, "", 1},
        Case{"TwoFileNamesAreRejected", {Data("text.xml"), Data("empty.xml")}, kUsage, "", 1},
        Case{"OptionWithoutFileIsRejected", {"-v"}, kUsage, "", 1},
        Case{"OptionAfterFileIsRejected", {Data("text.xml"), "-v"}, kUsage, "", 1},
        Case{"FileNameWithDashIsAnUnknownOption", {"-text.xml"}, kUsage, "", 1},
        Case{"OptionsAreCaseSensitive", {"-noescape", Data("text.xml")}, kUsage, "", 1},
        Case{"LoneDashIsAnUnknownOption", {"-", Data("text.xml")}, kUsage, "", 1}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Events, EventEchoTest,
    testing::Values(Case{"TextIsEscapedButApostrophesAreKept",
                         {Data("text.xml")},
                         "<t>a &lt; b &amp; c &quot;q&quot; 'apos' &gt; d &lt;x&gt; &amp; </t>",
                         "",
                         0},
                    Case{"NoEscapeWritesTextUnchanged",
                         {"-NoEscape", Data("text.xml")},
                         "<t>a < b & c \"q\" 'apos' > d <x> & </t>",
                         "",
                         0},
                    Case{
                        "AttributeValuesAreWrittenPlain",
                        {Data("attributes.xml")},
                        "<a plain=\"v\" lt=\"1 < 2\" amp=\"R&D\" quot=\"say \"hi\"\" apos=\"it's\" "
                        "ref=\"&lt;\">x</a>",
                        "",
                        0},
                    Case{"EmptyElementIsStartTagThenEndTag",
                         {Data("empty.xml")},
                         "<r><e></e><f></f><g x=\"1\"></g></r>",
                         "",
                         0},
                    // "<?t?>" and "<?t ?>" both reach the handler with empty data and come
                    // out without a blank; instruction data is never escaped.
                    Case{"ProcessingInstructionsEndWithALineEnd",
                         {Data("pi.xml")},
                         "<?nodata?>\n<?emptydata?>\n<?withdata some \"data\" & <text>?>\n"
                         "<r><?inner x?>\n</r>",
                         "",
                         0},
                    Case{"NonAsciiTextRoundTrips",
                         {Data("utf8.xml")},
                         "<p lang=\"日本語\" note=\"Grüße\">Grüße, Ωμέγα, 日本語, 😀 &amp; more</p>",
                         "",
                         0},
                    Case{"Latin1DocumentIsWrittenInTheLocaleEncoding",
                         {Data("latin1.xml")},
                         "<p>caf\xc3\xa9 \xc2\xbd</p>",
                         "",
                         0},
                    Case{"DocumentTypeIsNotCheckedWithoutValidation",
                         {Data("invalid.xml")},
                         "<note>\n  <to>Ann</to>\n  <extra></extra>\n</note>",
                         "",
                         0},
                    Case{"ValidDocumentPassesWithIgnorableWhitespaceRaw",
                         {"-V", Data("valid.xml")},
                         "<note id=\"1\">\n  <to>Ann &amp; Bob</to>\n  <body>Hi</body>\n</note>",
                         "",
                         0}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Diagnostics, EventEchoTest,
    testing::Values(
        Case{"MissingFileIsReportedAsNotFound",
             {Data("missing.xml")},
             "",
             "\nFile not found: '" + Data("missing.xml") +
                 "'\nException message is: \nunable to open primary document entity '" +
                 Data("missing.xml") + "'\n\n",
             -1},
        Case{"RemoteDocumentIsRefusedAsNotFound",
             {"http://127.0.0.1:9/doc.xml"},
             "",
             "\nFile not found: 'http://127.0.0.1:9/doc.xml'\nException message is: \n"
             "URL protocol 'http' is unsupported\n\n",
             -1},
        Case{"MalformedDocumentFailsWithFatalError",
             {Data("malformed.xml")},
             "<doc>\n  <a>one</a>\n  <b>two",
             "\nFatal Error at (file " + Data("malformed.xml") +
                 ", line 4, char 11): expected end of tag 'b'\n",
             2},
        Case{"InvalidDocumentFailsWhenValidating",
             {"-v", Data("invalid.xml")},
             "<note>\n  <to>Ann</to>\n  <extra></extra>\n</note>",
             "\nError at (file " + Data("invalid.xml") +
                 ", line 3, char 7): missing required attribute 'id'\n"
                 "\nError at (file " +
                 Data("invalid.xml") +
                 ", line 5, char 9): no declaration found for element 'extra'\n"
                 "\nError at (file " +
                 Data("invalid.xml") +
                 ", line 6, char 8): element 'extra' is not allowed for content model "
                 "'(to,body)'\n",
             2},
        Case{"WarningsDoNotFailTheParse",
             {Data("warning.xml")},
             "<r a=\"first\">w</r>",
             "\nWarning at (file " + Data("warning.xml") +
                 ", line 5, char 14): attribute 'a' has already been declared for element "
                 "'r'\n",
             0}),
    CaseName);

TEST(EventEchoLimits, BillionLaughsEndsWithAFatalErrorInBoundedTime) {
  const ProcessResult r = Tool({Data("billion-laughs.xml")}, std::chrono::seconds(30)).Run();
  ASSERT_FALSE(r.timedOut);
  EXPECT_LT(r.seconds, kLaughsSeconds);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "\nFatal Error at (file " + Data("billion-laughs.xml") +
                       ", line 14, char 13): parser has encountered more than '50000' entity "
                       "expansions in the document; this is the limit imposed by the "
                       "application\n");
  EXPECT_EQ(r.out.rfind("<lolz>lollollol", 0), 0u);
  EXPECT_LT(r.out.size(), 1u << 20);
}

// One internal entity of valueChars characters, referenced uses times in the text of the root
// element or in one attribute value.
std::string EntityDocument(size_t valueChars, size_t uses, bool inAttribute) {
  std::string refs;
  refs.reserve(uses * 3);
  for (size_t i = 0; i < uses; ++i) refs += "&e;";
  const std::string decl = "<!DOCTYPE r [<!ENTITY e \"" + std::string(valueChars, 'x') + "\">]>";
  return decl + (inAttribute ? "<r a=\"" + refs + "\"/>" : "<r>" + refs + "</r>");
}

// The report line of a fatal error whose message begins with reason.
void ExpectFatalError(const ProcessResult& r, const std::string& file, const std::string& reason) {
  const std::string head = "\nFatal Error at (file " + file + ", line 1, char ";
  EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
  EXPECT_NE(r.err.find("): " + reason), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 2);
}

TEST(EventEchoLimits, TextThatEntityReferencesProduceIsBounded) {
  const std::string dir = MakeTempDir("eventecho-limits");
  // 17,000 references of 1,000 characters pass the bound of 16 Mi characters; 16,000 stay
  // below it, and both stay below the limit on the number of expansions.
  const std::string over = dir + "/over.xml";
  WriteWholeFile(over, EntityDocument(1000, 17000, false));
  const ProcessResult r = Tool({over}).Run();
  ASSERT_FALSE(r.timedOut);
  ExpectFatalError(r, over,
                   "entity references produce more than 16777216 characters in the document; "
                   "this is the limit imposed by the application\n");
  EXPECT_EQ(r.out.rfind("<r>xxx", 0), 0u);
  EXPECT_LE(r.out.size(), (16u << 20) + 1000 + 3);

  const std::string under = dir + "/under.xml";
  WriteWholeFile(under, EntityDocument(1000, 16000, false));
  const ProcessResult ok = Tool({under}).Run();
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(ok.out, "<r>" + std::string(16000000, 'x') + "</r>");
}

// A document of 200 KB that would make one attribute value of 2.5 G characters.
TEST(EventEchoLimits, EntityReferencesInAnAttributeValueAreBoundedByParserMemory) {
  const std::string file = MakeTempDir("eventecho-limits") + "/attribute.xml";
  WriteWholeFile(file, EntityDocument(50000, 50000, true));
#ifdef EVENTECHO_SANITIZED
  const ProcessResult r = Tool({file}, std::chrono::seconds(60)).Run();
#else
  // Within 1 GB of address space, of which the program and its libraries take a little.
  ProcessRunner runner("/bin/sh", {"-c", "ulimit -v 1000000 && exec \"$0\" \"$1\"", kTool, file});
  const ProcessResult r = runner.Env("LC_ALL", "C.UTF-8").Timeout(std::chrono::seconds(30)).Run();
#endif
  ASSERT_FALSE(r.timedOut);
  ExpectFatalError(r, file, "the document needs more than ");
  EXPECT_NE(r.err.find(" bytes of parser memory; this is the limit imposed by the application\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(EventEchoLimits, LargeDocumentsStayBelowTheMemoryLimit) {
  // 300,000 distinct element names: the parser keeps some 350 bytes for each, well above the
  // fixed part of its memory limit, and the document is still echoed whole.
  std::string doc = "<r>", echoed = "<r>";
  for (int i = 0; i < 300000; ++i) {
    const std::string name = "n" + std::to_string(i);
    doc += "<" + name + "/>";
    echoed += "<" + name + "></" + name + ">";
  }
  doc += "</r>";
  echoed += "</r>";
  const std::string file = MakeTempDir("eventecho-limits") + "/names.xml";
  WriteWholeFile(file, doc);
  const ProcessResult r = Tool({file}, std::chrono::seconds(60)).Run();
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == echoed) << r.out.size() << " bytes instead of " << echoed.size();
}

// A listening socket nobody answers on: a parser that tried the network would connect and then
// wait for a reply until the time limit.
class Listener {
 public:
  Listener() {
    _fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (_fd < 0 || bind(_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(_fd, 8) != 0 ||
        getsockname(_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on the loopback interface");
    }
    _port = ntohs(addr.sin_port);
  }
  ~Listener() { close(_fd); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(_port) + "/" + path;
  }
  bool WasContacted() const {
    const int conn = accept(_fd, nullptr, nullptr);
    if (conn < 0) return false;
    close(conn);
    return true;
  }

 private:
  int _fd = -1;
  int _port = 0;
};

struct NetworkCase {
  const char* name;
  std::string doctype;  // "%s" stands for the remote URL
  std::string body;
  std::string out;
  int line;
  int column;  // 0: the column just after the document type declaration
};

void PrintTo(const NetworkCase& c, std::ostream* os) {
  *os << c.name;
}

class EventEchoNetworkTest : public testing::TestWithParam<NetworkCase> {};

TEST_P(EventEchoNetworkTest, RemoteEntitiesAreRefusedWithoutConnecting) {
  const NetworkCase& c = GetParam();
  const Listener listener;
  std::string doctype = c.doctype;
  doctype.replace(doctype.find("%s"), 2, listener.Url("remote"));
  const std::string file = MakeTempDir("eventecho") + "/remote.xml";
  WriteWholeFile(file, "<?xml version=\"1.0\"?>\n" + doctype + "\n" + c.body);

  const ProcessResult r = Tool({file}, std::chrono::seconds(5)).Run();
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, c.out);
  const int column = c.column != 0 ? c.column : static_cast<int>(doctype.size()) + 1;
  EXPECT_EQ(r.err, "\nFatal Error at (file " + file + ", line " + std::to_string(c.line) +
                       ", char " + std::to_string(column) +
                       "): URL protocol 'http' is unsupported\n");
  EXPECT_FALSE(listener.WasContacted());
}

INSTANTIATE_TEST_SUITE_P(
    Network, EventEchoNetworkTest,
    testing::Values(NetworkCase{"ExternalDtd", "<!DOCTYPE r SYSTEM \"%s\">", "<r>x</r>", "", 2, 0},
                    NetworkCase{"ExternalEntity", "<!DOCTYPE r [<!ENTITY e SYSTEM \"%s\">]>",
                                "<r>a&e;b</r>", "<r>a", 3, 8}),
    [](const testing::TestParamInfo<NetworkCase>& info) { return info.param.name; });

// Besides the document, the parser opens only regular files: a FIFO would block the parse until
// a writer comes, a device would feed it without end, and a directory cannot be read.
TEST(EventEchoFiles, ExternalEntitiesMustBeRegularFiles) {
  const std::string dir = MakeTempDir("eventecho-files");
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteWholeFile(dir + "/part.txt", "from a file");
  struct {
    const char* what;
    std::string entity;
    std::string out;
    std::string err;
  } const cases[] = {
      {"regular file", dir + "/part.txt", "<r>afrom a fileb</r>", ""},
      {"fifo", fifo, "<r>a", "unable to open external entity '" + fifo + "'"},
      {"device", "/dev/zero", "<r>a", "unable to open external entity '/dev/zero'"},
      {"directory", dir, "<r>a", "unable to open external entity '" + dir + "'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string doc = dir + "/doc.xml";
    WriteWholeFile(doc, "<!DOCTYPE r [<!ENTITY e SYSTEM \"" + c.entity + "\">]><r>a&e;b</r>");
    const ProcessResult r = Tool({doc}, std::chrono::seconds(10)).Run();
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, c.out);
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.status, 0);
    } else {
      ExpectFatalError(r, doc, c.err + "\n");
    }
  }
}

TEST(EventEchoFiles, DocumentThatIsADirectoryIsNotFound) {
  const ProcessResult r = Tool({kData}).Run();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "\nFile not found: '" + kData +
                       "'\nException message is: \nunable to open primary document entity '" +
                       kData + "'\n\n");
  EXPECT_EQ(r.status, 255);
}

TEST(EventEchoFiles, DocumentMayComeFromAPipe) {
  ProcessRunner runner("/bin/sh", {"-c", "printf '<r>piped</r>' | exec \"$0\" /dev/stdin", kTool});
  const ProcessResult r = runner.Env("LC_ALL", "C.UTF-8").Timeout(std::chrono::seconds(10)).Run();
  EXPECT_EQ(r.out, "<r>piped</r>");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// The output of a document with every kind of event, in a UTF-8 and a single-byte locale,
// against the bytes an earlier build wrote (data/reference). The local code page of the
// parser's transcoder is UTF-8 in both.
TEST(EventEchoOutput, SameBytesAsTheReferenceInBothLocales) {
  const std::string escaped = ReadWholeFile(Data("reference/records.out"));
  const std::string raw = ReadWholeFile(Data("reference/records-noescape.out"));
  ASSERT_FALSE(escaped.empty());
  for (const char* locale : {"C.UTF-8", "en_US.ISO-8859-1"}) {
    SCOPED_TRACE(locale);
    const ProcessResult r = Tool({Data("records.xml")}).Env("LC_ALL", locale).Run();
    EXPECT_TRUE(r.out == escaped) << r.out.substr(0, 2000);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    const ProcessResult n = Tool({"-NoEscape", Data("records.xml")}).Env("LC_ALL", locale).Run();
    EXPECT_TRUE(n.out == raw) << n.out.substr(0, 2000);
    EXPECT_EQ(n.status, 0);
  }
}

TEST(EventEchoOutput, FailedWriteToStandardOutputIsNotASuccess) {
  const std::string errFile = MakeTempDir("eventecho") + "/err";
  const int pid = Tool({Data("text.xml")}).Start("/dev/full", errFile);
  const ProcessResult r = ProcessRunner::Wait(pid, std::chrono::seconds(20));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadWholeFile(errFile), "\nError writing standard output: No space left on device\n");
}

}  // namespace
