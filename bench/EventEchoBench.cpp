// Times eventecho on a generated document against two yardsticks in the same run: sax_floor (the
// parser with handlers that do nothing) and `xmllint --noout`, in interleaved rounds, once with
// a UTF-8 locale and once with a single-byte one (ISO-8859-1). Checks that every run of eventecho
// writes the same bytes and, given an older eventecho, that it writes the same bytes as that one.
//
//   eventecho_bench [megabytes=50] [rounds=15] [reference-eventecho]
//
// Prints the medians of wall and processor time and of eventecho's peak resident size, and the
// ratios eventecho / sax_floor (goal: at most 1.5) and eventecho / xmllint in processor time
// (goal: at most 1.0). Exits 1 when a run fails or outputs differ.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ChildRun.h"

namespace {

// The head of the document: an internal subset with two entities.
const char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE log [\n"
    "  <!ENTITY company \"Acme &amp; Sons\">\n"
    "  <!ENTITY euro \"&#x20AC;\">\n"
    "]>\n<log>\n";

// Entity references are expanded at most 50,000 times per document, so only the first records
// use the declared entities; every record has character references and the predefined ones.
constexpr unsigned long kRecordsWithEntities = 20000;

// One record: attributes with references, text with every escaped character, the apostrophe,
// character references and non-ASCII text, an empty element, CDATA, a comment and an instruction.
void AppendRecord(std::string& doc, unsigned long i) {
  const std::string n = std::to_string(i);
  doc += "  <entry id=\"" + n + "\" kind=\"R&amp;D\" note=\"x &lt; y &#233;\">\n";
  doc += "    <text>Line " + n +
         ": 1 &lt; 2 &amp;&amp; 3 &gt; 2, \"quoted\" and 'single' \xc3\xa9t\xc3\xa9 "
         "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 &#x65E5;&#26412; caf&#xE9;";
  if (i < kRecordsWithEntities) doc += " &company; 5&euro;";
  doc += "</text>\n";
  doc += "    <empty/><data><![CDATA[a <b> & c]]></data><!-- note " + n + " -->\n";
  doc += "    <?trace step " + n + "?>\n";
  doc += "  </entry>\n";
}

std::string MakeDocument(std::size_t bytes) {
  std::string doc = kHead;
  doc.reserve(bytes + 1024);
  for (unsigned long i = 0; doc.size() < bytes; ++i) AppendRecord(doc, i);
  doc += "</log>\n";
  return doc;
}

struct Series {
  std::vector<double> wall, cpu, peak;
  void Add(const ChildRun& r) {
    wall.push_back(r.wallSeconds);
    cpu.push_back(r.cpuSeconds);
    peak.push_back(r.peakMiB);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const double megabytes = argc > 1 ? std::atof(argv[1]) : 50;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  const std::string reference = argc > 3 ? argv[3] : "";
  const std::string xmllint = FindOnPath("xmllint");
  if (megabytes <= 0 || rounds < 1 || xmllint.empty()) {
    std::fprintf(stderr,
                 "usage: eventecho_bench [megabytes>0] [rounds>0] [reference-eventecho]; "
                 "needs xmllint on PATH\n");
    return 1;
  }

  const std::string dir = MakeBenchDir("eventecho-bench");
  const std::string doc = dir + "/doc.xml";
  {
    const std::string text = MakeDocument(static_cast<std::size_t>(megabytes * 1048576));
    std::ofstream(doc, std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  std::printf("document: %s, %.0f MB; %d interleaved rounds\n", doc.c_str(), megabytes, rounds);

  struct Locale {
    const char* name;
    std::string setting;
    unsigned long long hash = 0;
  } locales[] = {{"UTF-8", "LC_ALL=C.UTF-8"}, {"ISO-8859-1", "LC_ALL=en_US.ISO-8859-1"}};
  bool ok = true;
  const std::string out = dir + "/out";
  for (auto& locale : locales) {
    if (!reference.empty()) {
      const ChildRun r = RunChild({reference, doc}, out, {locale.setting});
      const unsigned long long hash = FileHash(out);
      const ChildRun n = RunChild({EVENTECHO_PATH, doc}, out, {locale.setting});
      const bool same = r.status == n.status && hash == FileHash(out);
      std::printf("%s: output %s the reference's\n", locale.name,
                  same ? "byte for byte the same as" : "DIFFERENT from");
      ok = ok && same;
    }
  }

  for (auto& locale : locales) {
    Series echo, floor, lint;
    for (int round = 0; round < rounds && ok; ++round) {
      const ChildRun e = RunChild({EVENTECHO_PATH, doc}, out, {locale.setting});
      const unsigned long long hash = FileHash(out);
      const ChildRun f = RunChild({SAX_FLOOR_PATH, doc}, "", {locale.setting});
      const ChildRun l = RunChild({xmllint, "--noout", doc}, "", {locale.setting});
      if (e.status != 0 || f.status != 0 || l.status != 0) {
        std::printf("a run failed: eventecho %d, sax_floor %d, xmllint %d\n", e.status, f.status,
                    l.status);
        ok = false;
      }
      if (round == 0) locale.hash = hash;
      if (hash != locale.hash) {
        std::printf("round %d: eventecho wrote other bytes than in round 1\n", round + 1);
        ok = false;
      }
      echo.Add(e);
      floor.Add(f);
      lint.Add(l);
    }
    if (!ok) break;
    std::printf(
        "%s: median wall eventecho %.3f s, sax_floor %.3f s, xmllint %.3f s; "
        "cpu %.3f / %.3f / %.3f s; eventecho peak %.1f MiB\n",
        locale.name, Median(echo.wall), Median(floor.wall), Median(lint.wall), Median(echo.cpu),
        Median(floor.cpu), Median(lint.cpu), Median(echo.peak));
    const double floorRatio = MedianRatio(echo.cpu, floor.cpu);
    const double lintRatio = MedianRatio(echo.cpu, lint.cpu);
    std::printf(
        "%s: median ratio eventecho / sax_floor %.2f cpu, %.2f wall (goal <= 1.5: %s); "
        "eventecho / xmllint %.2f cpu, %.2f wall (goal <= 1.0 cpu: %s); "
        "output fnv1a %016llx\n",
        locale.name, floorRatio, MedianRatio(echo.wall, floor.wall),
        floorRatio <= 1.5 ? "met" : "missed", lintRatio, MedianRatio(echo.wall, lint.wall),
        lintRatio <= 1.0 ? "met" : "missed", locale.hash);
  }
  std::remove(out.c_str());
  std::remove(doc.c_str());
  std::remove(dir.c_str());
  return ok ? 0 : 1;
}
