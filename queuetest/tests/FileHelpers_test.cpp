// ReadFile, WriteFile and CreateActivityImplResponse: bytes in and out of files, the
// correlation element, their trace records and their failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "BufferText.h"
#include "KesException.h"
#include "KesRVXMLTestUtility.h"
#include "ProcessRunner.h"
#include "TraceCapture.h"

namespace {

using Names = std::vector<std::string>;

const char* const kWriteSig = "KesRVXMLTestUtility::WriteFile(const KesString&,const KesBinary&)";

KesBinary Buffer(const std::string& bytes) {
  return KesBinary(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

class FileHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = MakeTempDir("qfiles");
    setenv("LC_ALL", "C.UTF-8", 1);
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    Err();
    unsetenv("LC_ALL");
  }
  std::string Err() {
    if (!_err) _err = ::testing::internal::GetCapturedStderr();
    return *_err;
  }
  std::string Path(const std::string& name) const { return _dir + "/" + name; }
  Names Texts() const {
    Names texts;
    for (const auto& r : _trace.Records("reqprobe")) texts.push_back(r.text);
    return texts;
  }

  KesRVXMLTestUtility _utility;
  TraceCapture _trace;
  std::string _dir;
  std::optional<std::string> _err;
};

struct FileCase {
  const char* label;
  std::string bytes;
};

TEST_F(FileHelpersTest, ReadFileReturnsTheFileByteForByte) {
  const FileCase cases[] = {
      {"abc", "abc"},
      {"CR LF", "abc\r\n"},
      {"empty file", ""},
      {"two line feeds", "\n\n"},
      {"no final line feed", "first\nlast"},
      {"empty line inside", "one\n\ntwo\n"},
      {"zero bytes", std::string("\0\n\0", 3)},
      {"lone carriage returns", "\r\r\n\n\r"},
  };
  for (const auto& c : cases) {
    std::string path = Path("read.txt");
    WriteWholeFile(path, c.bytes);
    KesBinary got = _utility.ReadFile(KesString(path.c_str()));
    ASSERT_FALSE(got.IsNull()) << c.label;
    EXPECT_EQ(AsString(got), c.bytes) << c.label;
  }
}

TEST_F(FileHelpersTest, ReadFileReturnsATenMegabyteBinaryFileUnchanged) {
  std::string bytes(10 * 1024 * 1024, '\0');
  std::mt19937 random(4711);
  for (char& b : bytes) b = static_cast<char>(random() & 0xff);
  std::string path = Path("big.bin");
  WriteWholeFile(path, bytes);
  KesBinary got = _utility.ReadFile(KesString(path.c_str()));
  ASSERT_EQ(got.Length(), bytes.size());
  EXPECT_TRUE(AsString(got) == bytes);
}

TEST_F(FileHelpersTest, ReadFileThatCannotBeOpenedTracesAndThrowsWithTheSystemsReason) {
  _trace.Switches("10:4:1");
  const FileCase cases[] = {
      {"missing", Path("missing.xml")},
      {"directory", _dir},
  };
  const char* reasons[] = {"No such file or directory", "Is a directory"};
  for (size_t i = 0; i < std::size(cases); ++i) {
    _trace.Clear();
    const std::string& path = cases[i].bytes;
    std::string text = ExceptionText([&] { _utility.ReadFile(KesString(path.c_str())); });
    EXPECT_EQ(text, "Error opening file: " + path + ": " + reasons[i]) << cases[i].label;
    EXPECT_EQ(Texts(), (Names{" >entry", "Error opening file: " + path, " <exit"}))
        << cases[i].label;
  }
  EXPECT_NE(ExceptionText([&] { _utility.ReadFile(KesString()); }).find("!IsNull()"),
            std::string::npos);
}

struct WriteCase {
  const char* label;
  std::string data;
  std::string file;
};

TEST_F(FileHelpersTest, WriteFileWritesFromTheXmlDeclarationOn) {
  const WriteCase cases[] = {
      {"declaration first", "<?xml version=\"1.0\"?><a/>", "<?xml version=\"1.0\"?><a/>"},
      {"bytes before it dropped", "\xEF\xBB\xBFjunk\r\n<?xml?>\r\n<r>\xC3\xA4</r>",
       "<?xml?>\r\n<r>\xC3\xA4</r>"},
      {"only the first declaration counts", "x<?xml a?><?xml b?>", "<?xml a?><?xml b?>"},
      {"no declaration: all of it", "plain text\n", "plain text\n"},
      {"empty message", "", ""},
  };
  for (const auto& c : cases) {
    std::string path = Path("out.xml");
    WriteWholeFile(path, "an older and longer content that must go");
    _utility.WriteFile(KesString(path.c_str()), Buffer(c.data));
    EXPECT_EQ(ReadWholeFile(path), c.file) << c.label;
  }
  EXPECT_EQ(Err(), "");
}

TEST_F(FileHelpersTest, WriteFileConvertsToTheLocalCodePageAndCountsSubstitutions) {
  setenv("LC_ALL", "en_US.ISO-8859-1", 1);
  std::string path = Path("latin1.xml");
  _utility.WriteFile(KesString(path.c_str()), Buffer("<?xml?>\xC3\xA4"));
  EXPECT_EQ(ReadWholeFile(path), "<?xml?>\xE4");

  // The euro sign and omega have no place in ISO-8859-1.
  _utility.WriteFile(KesString(path.c_str()), Buffer("<?xml?>\xE2\x82\xAC\xCE\xA9!"));
  std::string written = ReadWholeFile(path);
  EXPECT_EQ(written.substr(0, 7), "<?xml?>");
  EXPECT_EQ(written.size(), 10u);
  EXPECT_EQ(written.back(), '!');
  // The euro sign alone: one character, and the line says so in the singular.
  _utility.WriteFile(KesString(path.c_str()), Buffer("<?xml?>\xE2\x82\xAC"));
  EXPECT_EQ(Err(), "Warning: 2 characters of the message for " + path +
                       " could not be converted to code page 819 and were replaced\n"
                       "Warning: 1 character of the message for " +
                       path + " could not be converted to code page 819 and was replaced\n");
}

// In a UTF-8 locale ASCII passes unconverted; a byte that is no UTF-8 is replaced wherever it
// stands in the message, also in the last bytes of a word.
TEST_F(FileHelpersTest, WriteFileReplacesAnInvalidByteAtAnyPosition) {
  setenv("LC_ALL", "C.UTF-8", 1);
  const std::string path = Path("utf8.xml");
  for (size_t at = 0; at < 20; ++at) {
    const std::string before(at, 'a'), after(19 - at, 'b');
    _utility.WriteFile(KesString(path.c_str()), Buffer("<?xml?>" + before + "\xFF" + after));
    EXPECT_EQ(ReadWholeFile(path), "<?xml?>" + before + "\xEF\xBF\xBD" + after) << at;
  }
}

// Code sets that have no code page number are written in their own encoding, not UTF-8.
TEST_F(FileHelpersTest, WriteFileUsesCodeSetsWithoutANumberByTheirName) {
  const std::string nihon = "\xE6\x97\xA5\xE6\x9C\xAC";  // two CJK characters
  const std::string thai = "\xE0\xB8\x81\xE0\xB8\x82";   // two Thai letters
  const std::string path = Path("codeset.xml");
  const struct {
    const char* locale;
    std::string text;
    std::string written;
  } cases[] = {
      {"ja_JP.eucJP", nihon, "\xC6\xFC\xCB\xDC"},
      {"zh_TW.Big5", nihon, "\xA4\xE9\xA5\xBB"},
      {"zh_CN.GBK", nihon, "\xC8\xD5\xB1\xBE"},
      {"th_TH.TIS-620", thai, "\xA1\xA2"},
  };
  for (const auto& c : cases) {
    setenv("LC_ALL", c.locale, 1);
    _utility.WriteFile(KesString(path.c_str()), Buffer("<?xml?>" + c.text));
    EXPECT_EQ(ReadWholeFile(path), "<?xml?>" + c.written) << c.locale;
  }
  // What EUC-JP cannot hold is counted against the code set's name.
  setenv("LC_ALL", "ja_JP.eucJP", 1);
  _utility.WriteFile(KesString(path.c_str()), Buffer("<?xml?>\xF0\x9F\x98\x80"));
  EXPECT_EQ(Err(), "Warning: 1 character of the message for " + path +
                       " could not be converted to code set eucJP and was replaced\n");
}

// A file this call made is removed when its write fails; RLIMIT_FSIZE (with SIGXFSZ
// ignored) fails a write past the limit with EFBIG, as a full disk fails it.
TEST_F(FileHelpersTest, WriteFileThatFailsRemovesTheFileItCreated) {
  const std::string path = Path("partial.xml");
  const std::string big = "<?xml?>" + std::string(256 * 1024, 'x');
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string created =
      ExceptionText([&] { _utility.WriteFile(KesString(path.c_str()), Buffer(big)); });
  const bool existed = access(path.c_str(), F_OK) == 0;
  WriteWholeFile(Path("older.xml"), "older");
  std::string truncated =
      ExceptionText([&] { _utility.WriteFile(KesString(Path("older.xml").c_str()), Buffer(big)); });
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_EQ(created, "Cannot write file " + path + ": File too large");
  EXPECT_FALSE(existed);
  // A file that was there before is the user's: it stays, whatever was written into it.
  EXPECT_EQ(truncated, "Cannot write file " + Path("older.xml") + ": File too large");
  EXPECT_EQ(access(Path("older.xml").c_str(), F_OK), 0);
}

struct OutputCheckCase {
  const char* label;
  std::string path;
  std::string error;  // empty: the check passes
};

TEST_F(FileHelpersTest, CheckOutputFileRefusesWhatWriteFileCouldNotOpenAndLeavesNoTrace) {
  WriteWholeFile(Path("existing.xml"), "keep me");
  std::vector<OutputCheckCase> cases = {
      {"new file", Path("new.xml"), ""},
      {"existing file", Path("existing.xml"), ""},
      {"missing folder", Path("no/such.xml"), "No such file or directory"},
      {"folder", _dir, "Is a directory"},
      {"below a file", Path("existing.xml/x.xml"), "Not a directory"},
      {"empty name", "", "No such file or directory"},
  };
  if (geteuid() != 0) {
    // Permissions bind everyone but root.
    WriteWholeFile(Path("readonly.xml"), "keep me");
    chmod(Path("readonly.xml").c_str(), 0444);
    cases.push_back({"read-only file", Path("readonly.xml"), "Permission denied"});
  }
  for (const auto& c : cases) {
    std::string text = ExceptionText([&] { _utility.CheckOutputFile(KesString(c.path.c_str())); });
    EXPECT_EQ(text, c.error.empty() ? "(no exception)"
                                    : "Cannot open file " + c.path + " for writing: " + c.error)
        << c.label;
  }
  EXPECT_NE(access(Path("new.xml").c_str(), F_OK), 0);
  EXPECT_EQ(ReadWholeFile(Path("existing.xml")), "keep me");
}

TEST_F(FileHelpersTest, WriteFileOfSeveralMegabytesKeepsEveryCharacterAndTheDeclaration) {
  // Multi-byte characters and the declaration itself stand across every 64 KiB boundary
  // (prefix lengths 1 and 2 put 3-byte characters across each power of two, one of them).
  const std::string euro = "\xE2\x82\xAC";
  std::string path = Path("large.xml");
  for (size_t prefix : {size_t{1}, size_t{2}}) {
    std::string text = "<?xml?>" + std::string(prefix, 'x');
    while (text.size() < 3 * 1024 * 1024) text += euro;
    _utility.WriteFile(KesString(path.c_str()), Buffer(text));
    EXPECT_TRUE(ReadWholeFile(path) == text) << prefix;
  }
  for (size_t junk : {size_t{65534}, size_t{1048574}, size_t{2 * 1048576 - 1}}) {
    std::string tail = "<?xml version=\"1.0\"?><r/>";
    _utility.WriteFile(KesString(path.c_str()), Buffer(std::string(junk, 'j') + tail));
    EXPECT_EQ(ReadWholeFile(path), tail) << junk;
  }
  std::string noDeclaration(3 * 1024 * 1024 + 5, 'n');
  _utility.WriteFile(KesString(path.c_str()), Buffer(noDeclaration));
  EXPECT_TRUE(ReadWholeFile(path) == noDeclaration);
  EXPECT_EQ(Err(), "");

  setenv("LC_ALL", "en_US.ISO-8859-1", 1);
  std::string latin = "<?xml?>";
  while (latin.size() < 3 * 1024 * 1024) latin += "\xC3\xA4";
  _utility.WriteFile(KesString(path.c_str()), Buffer(latin));
  std::string written = ReadWholeFile(path);
  EXPECT_EQ(written.size(), 7 + (latin.size() - 7) / 2);
  EXPECT_EQ(written.find_first_not_of('\xE4', 7), std::string::npos);
}

TEST_F(FileHelpersTest, WriteFileThatCannotOpenOrFinishItsFileThrows) {
  std::string missingDir = Path("no/such/dir.xml");
  std::string text =
      ExceptionText([&] { _utility.WriteFile(KesString(missingDir.c_str()), Buffer("<?xml?>")); });
  EXPECT_NE(text.find(missingDir), std::string::npos) << text;
  EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;

  text = ExceptionText([&] { _utility.WriteFile(KesString("/dev/full"), Buffer("<?xml?>")); });
  EXPECT_NE(text.find("/dev/full"), std::string::npos) << text;
  EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;

  EXPECT_NE(ExceptionText([&] {
              _utility.WriteFile(KesString(Path("x").c_str()), KesBinary());
            }).find("!IsNull()"),
            std::string::npos);
}

TEST_F(FileHelpersTest, WriteFileTracesTheNameAndTheDumpUnderTheirOwnCategories) {
  std::string path = Path("traced.xml");
  KesString name(path.c_str());
  const std::string dump =
      "Binary data:\n> 000000  3c 3f 78 6d  6c" + std::string(35, ' ') + "  <?xml";
  struct Case {
    const char* switches;
    Names texts;
  } cases[] = {
      {"10:4:1", {" >entry", "Writing data to file: " + path, " <exit"}},
      {"10:4:1025", {" >entry", "Writing data to file: " + path, dump, " <exit"}},
      {"10:4:1024", {dump}},
  };
  for (const auto& c : cases) {
    _trace.Clear();
    _trace.Switches(c.switches);
    _utility.WriteFile(name, Buffer("<?xml"));
    EXPECT_EQ(Texts(), c.texts) << c.switches;
    for (const auto& r : _trace.Records("reqprobe")) {
      EXPECT_EQ(r.signature, kWriteSig);
      EXPECT_EQ(r.category, r.text == dump ? 1024u : 1u) << r.text;
    }
  }
}

TEST_F(FileHelpersTest, ClosedDumpCategoryComposesNoDump) {
  std::string data = "<?xml version=\"1.0\"?>" + std::string(1024 * 1024, 'x');
  KesString name(Path("quiet.xml").c_str());
  KesBinary buffer = Buffer(data);
  auto allocatedDuringWrite = [&] {
    std::size_t before = alloccount::BytesAllocated();
    _utility.WriteFile(name, buffer);
    return alloccount::BytesAllocated() - before;
  };
  _trace.Switches("10:4:1");
  std::size_t closed = allocatedDuringWrite();
  _trace.Switches("10:4:1025");
  std::size_t open = allocatedDuringWrite();
  // The dump of 1 MiB takes about 5 MiB of text; without it, little beyond fixed costs.
  EXPECT_GT(open, 4u * 1024 * 1024);
  EXPECT_LT(closed, 256u * 1024);
}

struct ResponseCase {
  const char* label;
  std::string request;
  std::string skeleton;
  std::string response;
  bool warns;
};

TEST_F(FileHelpersTest, ResponseTakesTheRequestsFirstCorrelationElement) {
  const std::string open = "<ActImplCorrelID>";
  const std::string close = "</ActImplCorrelID>";
  const std::string skeleton = "<?xml?>\r\n<Resp>\r\n" + open + close + "\r\n</Resp>\r\n";
  const ResponseCase cases[] = {
      {"digits into an empty element", "<Req>" + open + "4711" + close + "</Req>", skeleton,
       "<?xml?>\r\n<Resp>\r\n" + open + "4711" + close + "\r\n</Resp>\r\n", false},
      {"identifier replaced", open + "NEW" + close, "<a>" + open + "OLD-ID" + close + "</a>",
       "<a>" + open + "NEW" + close + "</a>", false},
      {"only the first of several", open + "A1" + close + open + "B2" + close,
       open + "x" + close + "|" + open + "y" + close,
       open + "A1" + close + "|" + open + "y" + close, false},
      {"stray closing tag before the element", close + open + "77" + close, skeleton,
       "<?xml?>\r\n<Resp>\r\n" + open + "77" + close + "\r\n</Resp>\r\n", false},
      {"request without element", "<Req/>", skeleton, skeleton, true},
      {"empty request and skeleton", "", "", "", true},
      {"request element not closed", "<Req>" + open + "4711</Req>", skeleton, skeleton, true},
      {"request closing tag only before", close + "<Req>" + open + "1", skeleton, skeleton, true},
      {"skeleton without opening tag", open + "1" + close, "<a>" + close + "</a>",
       "<a>" + close + "</a>", true},
      {"skeleton without closing tag", open + "1" + close, "<a>" + open + "</a>",
       "<a>" + open + "</a>", true},
      {"skeleton tags in the wrong order", open + "1" + close, close + "x" + open,
       close + "x" + open, true},
  };
  Err();  // ends the fixture's capture; each case captures its own
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    KesString response = _utility.CreateActivityImplResponse(Buffer(c.request), Buffer(c.skeleton));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(response.Chars(), response.LengthChar()), c.response) << c.label;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.warns ? 1 : 0) << c.label << ": " << err;
    if (c.warns) {
      EXPECT_EQ(err.rfind("Warning: ", 0), 0u) << c.label << ": " << err;
    }
  }
}

TEST_F(FileHelpersTest, ResponseTracesSkeletonCorrelationAndResponse) {
  _trace.Switches("10:4:1");
  _utility.CreateActivityImplResponse(
      Buffer("<Req><ActImplCorrelID>42</ActImplCorrelID></Req>"),
      Buffer("<Resp>\r\n<ActImplCorrelID></ActImplCorrelID>\r\n</Resp>"));
  EXPECT_EQ(
      Texts(),
      (Names{" >entry",
             "Incoming skeleton:<Resp>\r\n<ActImplCorrelID></ActImplCorrelID>\r\n</Resp>",
             "CorrelID:<ActImplCorrelID>42",
             "Response:<Resp>\r\n<ActImplCorrelID>42</ActImplCorrelID>\r\n</Resp>", " <exit"}));

  _trace.Clear();
  _utility.CreateActivityImplResponse(Buffer("<Req/>"), Buffer("<Resp/>"));
  EXPECT_EQ(Texts(), (Names{" >entry", "Incoming skeleton:<Resp/>", " <exit"}));

  EXPECT_NE(ExceptionText([&] {
              _utility.CreateActivityImplResponse(KesBinary(), Buffer("<Resp/>"));
            }).find("!IsNull()"),
            std::string::npos);
  EXPECT_NE(ExceptionText([&] {
              _utility.CreateActivityImplResponse(Buffer("<Req/>"), KesBinary());
            }).find("!IsNull()"),
            std::string::npos);
}

}  // namespace
