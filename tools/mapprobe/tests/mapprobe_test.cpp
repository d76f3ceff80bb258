// End-to-end tests of mapprobe: the built program runs as a child process and its
// standard output, standard error and exit status are compared byte for byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace {

// Time bounds hold for the optimised build; the sanitizers slow Xerces' allocations down
// many times over.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kSeconds = 20;
#else
constexpr double kSeconds = 2;
#endif

const std::string kData = MAPPROBE_DATA;
const std::string kHelp =
    "Tool to parse a XML message as KesMessage\n\n"
    "\nUsage: mapprobe file\n"
    "\n";
const std::string kReport = "Exception during parsing of the XML Stream:";
const std::string kMessageRendering =
    "WfMessage {\n"
    "  @version: \"1.0\"\n"
    "  WfMessageHeader {\n"
    "    ResponseRequired: \"Yes\"\n"
    "  }\n"
    "  ActivityImplInvoke {\n"
    "    ActImplCorrelID: \"000000AB\"\n"
    "    Description: \"first halfsecond half\"\n"
    "    Item {\n"
    "      @name: \"a\"\n"
    "      #text: \"1\"\n"
    "    }\n"
    "    Item {\n"
    "      @name: \"b\"\n"
    "    }\n"
    "  }\n"
    "}\n";

ProcessResult RunProbe(std::vector<std::string> args, const std::string& dir = "") {
  ProcessRunner runner(MAPPROBE_PATH, std::move(args));
  runner.Timeout(std::chrono::seconds(30));
  if (!dir.empty()) runner.Dir(dir);
  return runner.Run();
}

std::string WriteTemp(const std::string& name, const std::string& bytes) {
  std::string path = MakeTempDir("mapprobe") + "/" + name;
  WriteWholeFile(path, bytes);
  return path;
}

void ExpectResult(const ProcessResult& r, const std::string& out, int status) {
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.signal, 0);
}

TEST(Mapprobe, CommandLine) {
  const std::string message = kData + "/message.xml";
  std::string dir = MakeTempDir("mapprobe-cwd");
  struct {
    const char* what;
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {"no argument", {}, kHelp, 1},
      {"help", {"-?"}, kHelp, 0},
      {"help, further arguments ignored", {"-?", "more", "args"}, kHelp, 0},
      {"-? after a file name is not a help request", {message, "-?"}, kMessageRendering, 0},
      {"-?x is a file name", {"-?x"}, "Error opening file: -?x", 255},
      {"missing file",
       {"/nonexistent/dir/m.xml"},
       "Error opening file: /nonexistent/dir/m.xml",
       255},
      {"empty name", {""}, "Error opening file: ", 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectResult(RunProbe(c.args, dir), c.out, c.status);
  }
}

TEST(Mapprobe, MultiLineFileEqualsItsOneLineForm) {
  ProcessResult multi = RunProbe({kData + "/message.xml"});
  ExpectResult(multi, kMessageRendering, 0);
  ExpectResult(RunProbe({kData + "/message-oneline.xml"}), kMessageRendering, 0);
}

TEST(Mapprobe, LongLinesAreReadWhole) {
  // One read takes at most 255 characters: lines around one and two reads, and far
  // longer, each of its own characters so that a lost or repeated piece shows.
  std::string value, lines;
  char fill = 'a';
  for (size_t len : {0, 1, 254, 255, 256, 509, 510, 511, 100000}) {
    std::string line(len, fill++);
    for (size_t i = 0; i < len; i += 50) line[i] = static_cast<char>('0' + i / 50 % 10);
    value += line;
    lines += line + "\n";
  }
  std::string expected = "r: \"" + value + "\"\n";
  ExpectResult(RunProbe({WriteTemp("lines.xml", "<r>\n" + lines + "</r>")}), expected, 0);
  // The whole message on one line without a line feed at its end.
  ExpectResult(RunProbe({WriteTemp("one.xml", "<r>" + value + "</r>")}), expected, 0);
}

// The file is read in large blocks; what the parser gets must still be the file with its line
// feeds, and nothing else, taken out: across block boundaries, with carriage returns (which the
// parser turns into line feeds of the value), and from a pipe, whose size is not known.
TEST(Mapprobe, ReadingDropsLineFeedsAndNothingElse) {
  std::string value;
  for (int i = 0; i < 3000; ++i)
    value += std::string(700 + i % 13, static_cast<char>('a' + i % 26));
  std::string lines = "<r>";
  for (size_t at = 0; at < value.size(); at += 1000) lines += value.substr(at, 1000) + "\n";
  lines += "</r>\n";
  const std::string expected = "r: \"" + value + "\"\n";
  ExpectResult(RunProbe({WriteTemp("blocks.xml", lines)}), expected, 0);

  ExpectResult(RunProbe({WriteTemp("crlf.xml", "<r>\r\na\r\nb\r\n</r>\r\n")}),
               "r: \"\\na\\nb\\n\"\n", 0);

  ProcessRunner piped("/bin/sh", {"-c", "cat \"$1\" | exec \"$0\" /dev/stdin", MAPPROBE_PATH,
                                  WriteTemp("piped.xml", lines)});
  ExpectResult(piped.Run(), expected, 0);
}

TEST(Mapprobe, OtherFailuresAreReportedAsUnknownErrors) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#else
  // 48 MB of message text cannot be held in 100 MB of address space, of which the
  // program and its libraries take about half: the allocation fails.
  std::string big = "<r>\n";
  std::string line(1023, 'x');
  line += '\n';
  while (big.size() < 48u * 1024 * 1024) big += line;
  std::string path = WriteTemp("big.xml", big + "</r>\n");
  ProcessRunner runner("/bin/sh",
                       {"-c", "ulimit -v 100000 && exec \"$0\" \"$1\"", MAPPROBE_PATH, path});
  ExpectResult(runner.Run(), "\nunknown E R R O R\n \n", 1);
#endif
}

// The rendering of a message with attributes, namespaces, entities, character references,
// mixed content and multi-line text, against the bytes an earlier build wrote
// (data/reference), in a UTF-8 and a single-byte locale.
TEST(Mapprobe, SameRenderingAsTheReferenceInBothLocales) {
  const std::string expected = ReadWholeFile(kData + "/reference/items.rendering");
  ASSERT_FALSE(expected.empty());
  for (const char* locale : {"C.UTF-8", "en_US.ISO-8859-1"}) {
    SCOPED_TRACE(locale);
    ProcessRunner runner(MAPPROBE_PATH, {kData + "/items.xml"});
    ExpectResult(runner.Env("LC_ALL", locale).Run(), expected, 0);
  }
}

TEST(Mapprobe, FailedOutputIsNotSuccess) {
  std::string err = MakeTempDir("mapprobe-full") + "/err";
  int pid = ProcessRunner(MAPPROBE_PATH, {kData + "/message.xml"}).Start("/dev/full", err);
  ProcessResult r = ProcessRunner::Wait(pid, std::chrono::seconds(30));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadWholeFile(err), "mapprobe: cannot write to standard output\n");
}

TEST(Mapprobe, UnparsableMessagesAreReportedAsFailures) {
  std::string dir = MakeTempDir("mapprobe-bad");
  WriteWholeFile(dir + "/empty.xml", "");
  WriteWholeFile(dir + "/newline.xml", "\n");
  // Cut at the zero byte, these lines would join into the well-formed "<r>a</r>".
  WriteWholeFile(dir + "/zero.xml", std::string("<r>a\0junk\n</r>\n", 15));
  struct {
    const char* what;
    std::string path;
    std::string out;
  } cases[] = {
      {"empty file", dir + "/empty.xml", kReport + "empty message"},
      {"only a line feed", dir + "/newline.xml", kReport + "empty message"},
      {"malformed", kData + "/malformed.xml",
       kReport + "XML parse error at line 1, column 9: expected end of tag 'b'"},
      {"a zero byte is not cut off", dir + "/zero.xml",
       kReport + "XML parse error at line 1, column 6: invalid character 0x0"},
      {"a directory", dir, kReport + "cannot read file " + dir},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectResult(RunProbe({c.path}), c.out, 1);
  }
}

TEST(Mapprobe, ExternalEntitiesAreNotRead) {
  ProcessResult r = RunProbe({kData + "/xxe.xml"});
  EXPECT_EQ(r.out.rfind(kReport + "XML parse error at line 1, column ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("external entity \"file:///etc/passwd\" is not loaded"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("root:"), std::string::npos);
  EXPECT_EQ(r.status, 1);
}

TEST(Mapprobe, NoNetworkAccess) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t addrLen = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &addrLen), 0);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

  std::string dtdOnly =
      WriteTemp("dtd.xml", "<!DOCTYPE r SYSTEM \"" + url + "/r.dtd\">\n<r>v</r>\n");
  ExpectResult(RunProbe({dtdOnly}), "r: \"v\"\n", 0);
  std::string entity =
      WriteTemp("ent.xml", "<!DOCTYPE r [<!ENTITY e SYSTEM \"" + url + "/e\">]>\n<r>&e;</r>\n");
  ProcessResult r = RunProbe({entity});
  EXPECT_NE(r.out.find("external entity \"" + url + "/e\" is not loaded"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 1);

  pollfd p{listener, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "the tool connected to " << url;
  close(listener);
}

TEST(Mapprobe, BillionLaughsIsBoundedAndReported) {
  ProcessResult r = RunProbe({kData + "/laughs.xml"});
  EXPECT_EQ(r.out.rfind(kReport + "XML parse error at line 1, column ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("more than '10000' entity expansions"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(r.seconds, kSeconds);
}

// 309 KB: 2,000 attributes with defaults in the DTD, on each of 20,000 elements.
std::string DefaultAttributesMessage() {
  std::string xml = "<!DOCTYPE r [<!ELEMENT e EMPTY>";
  for (int i = 0; i < 2000; ++i) {
    xml +=
        "<!ATTLIST e attribute" + std::to_string(i) + " CDATA \"value" + std::to_string(i) + "\">";
  }
  xml += "]>\n<r>\n";
  for (int i = 0; i < 20000; ++i) xml += "<e/>\n";
  return xml + "</r>\n";
}

// Runs mapprobe on path within 1 GB of address space where the build allows it.
ProcessResult RunBounded(const std::string& path) {
#if defined(__SANITIZE_ADDRESS__)
  // Instrumented, the 2,000 default attributes of each element take some 20 s to reach the
  // limit on a quiet machine.
  return ProcessRunner(MAPPROBE_PATH, {path}).Timeout(std::chrono::seconds(150)).Run();
#else
  ProcessRunner runner("/bin/sh",
                       {"-c", "ulimit -v 1000000 && exec \"$0\" \"$1\"", MAPPROBE_PATH, path});
  return runner.Timeout(std::chrono::seconds(30)).Run();
#endif
}

TEST(Mapprobe, MemoryIsBoundedByTheFileSize) {
  struct {
    const char* what;
    std::string xml;
  } const cases[] = {
      {"default attributes on every element", DefaultAttributesMessage()},
      {"one entity used many times in an attribute value",
       "<!DOCTYPE r [<!ENTITY e \"" + std::string(50000, 'x') + "\">]>\n<r a=\"" +
           [] {
             std::string refs;
             for (int i = 0; i < 10000; ++i) refs += "&e;";
             return refs;
           }() +
           "\"/>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = WriteTemp("hostile.xml", c.xml);
    const ProcessResult r = RunBounded(path);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.out.rfind(kReport + "XML parse error at line 1, column ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" bytes of memory, the limit for this message"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(Mapprobe, LargeMessagesStayBelowTheMemoryLimit) {
  // 200,000 distinct element names: the parser keeps hundreds of bytes for each, well above
  // the fixed part of the limit, and the message is still accepted.
  std::string xml = "<r>";
  for (int i = 0; i < 200000; ++i) xml += "<n" + std::to_string(i) + "/>";
  xml += "</r>";
  const ProcessResult r = RunProbe({WriteTemp("names.xml", xml)});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("r {\n  n0: \"\"\n  n1: \"\"\n", 0), 0u);
  EXPECT_NE(r.out.find("\n  n199999: \"\"\n}\n"), std::string::npos);
}

TEST(Mapprobe, DeepNestingIsReportedWithoutCrash) {
  const size_t depth = 1000000;
  std::string xml;
  xml.reserve(depth * 7);
  for (size_t i = 0; i < depth; ++i) xml += "<a>";
  for (size_t i = 0; i < depth; ++i) xml += "</a>";
  ProcessResult r = RunProbe({WriteTemp("deep.xml", xml)});
  ExpectResult(r,
               kReport +
                   "XML parse error at line 1, column 30004: elements nested more than "
                   "10000 levels deep",
               1);
}

}  // namespace
