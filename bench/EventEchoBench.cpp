// Times eventecho on a generated XML document against `xmllint --noout` on the same file, run
// after run in the same process, and checks that eventecho writes the same bytes every run.
//
//   eventecho_bench [megabytes=50] [runs=3]
//
// Prints one line per run, then medians, the ratio eventecho / xmllint (goal: at most 3) and the
// output's size and FNV-1a checksum. Exits 1 when a run fails or the outputs differ.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace {

// One record of the document: attributes with references, text with every escaped character
// and the apostrophe, non-ASCII text, an empty element, CDATA, a comment and an instruction.
void AppendRecord(std::string& doc, unsigned long i) {
  const std::string n = std::to_string(i);
  doc += "  <entry id=\"" + n + "\" kind=\"R&amp;D\" note=\"x &lt; y\">\n";
  doc += "    <text>Line " + n +
         ": 1 &lt; 2 &amp;&amp; 3 &gt; 2, \"quoted\" and 'single' \xc3\xa9t\xc3\xa9 "
         "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80</text>\n";
  doc += "    <empty/><data><![CDATA[a <b> & c]]></data><!-- note " + n + " -->\n";
  doc += "    <?trace step " + n + "?>\n";
  doc += "  </entry>\n";
}

std::string MakeDocument(std::size_t bytes) {
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log>\n";
  doc.reserve(bytes + 1024);
  for (unsigned long i = 0; doc.size() < bytes; ++i) AppendRecord(doc, i);
  doc += "</log>\n";
  return doc;
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

struct Timed {
  double seconds;
  int status;
};

Timed TimeRun(const ProcessRunner& runner, const std::string& outFile, const std::string& errFile) {
  const auto start = std::chrono::steady_clock::now();
  const int pid = runner.Start(outFile, errFile);
  const ProcessResult r = ProcessRunner::Wait(pid, std::chrono::minutes(5));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {seconds, r.timedOut ? -1 : r.status};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::uint64_t Fnv1a(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string xmllint = FindOnPath("xmllint");
  if (megabytes == 0 || runs < 1 || xmllint.empty()) {
    std::fprintf(stderr, "usage: eventecho_bench [megabytes>0] [runs>0]; needs xmllint on PATH\n");
    return 1;
  }

  const std::string dir = MakeTempDir("eventecho-bench");
  const std::string docFile = dir + "/doc.xml";
  WriteWholeFile(docFile, MakeDocument(megabytes << 20));
  std::printf("document: %s, %zu MB\n", docFile.c_str(), megabytes);

  const ProcessRunner echo(EVENTECHO_PATH, {docFile});
  const ProcessRunner lint(xmllint, {"--noout", docFile});
  std::vector<double> echoTimes, lintTimes;
  std::string firstOutput;
  bool ok = true;
  for (int run = 1; run <= runs; ++run) {
    const std::string outFile = dir + "/out";
    const Timed e = TimeRun(echo, outFile, dir + "/err");
    const Timed l = TimeRun(lint, "", dir + "/lint-err");
    echoTimes.push_back(e.seconds);
    lintTimes.push_back(l.seconds);
    std::printf("run %d: eventecho %.3f s (status %d), xmllint --noout %.3f s (status %d)\n", run,
                e.seconds, e.status, l.seconds, l.status);
    const std::string output = ReadWholeFile(outFile);
    if (e.status != 0 || l.status != 0) ok = false;
    if (run == 1) {
      firstOutput = output;
    } else if (output != firstOutput) {
      std::printf("run %d: output differs from run 1\n", run);
      ok = false;
    }
  }
  const double echoMedian = Median(echoTimes);
  const double lintMedian = Median(lintTimes);
  std::printf("median: eventecho %.3f s, xmllint --noout %.3f s, ratio %.2f (goal <= 3: %s)\n",
              echoMedian, lintMedian, echoMedian / lintMedian,
              echoMedian <= 3 * lintMedian ? "met" : "missed");
  std::printf("output: %zu bytes, fnv1a %016llx, %s across %d runs\n", firstOutput.size(),
              static_cast<unsigned long long>(Fnv1a(firstOutput)),
              ok ? "identical" : "NOT identical or failed", runs);
  return ok ? 0 : 1;
}
