// Times mapprobe on generated workflow messages against `xmllint --noout` on the same file, in
// interleaved rounds, with the peak resident size of each child. Given an older mapprobe, it
// first checks that both write the same rendering.
//
//   mapprobe_bench [megabytes=50,200] [rounds=15] [reference-mapprobe]
//
// For each size: the medians, the median ratio mapprobe / xmllint in wall and processor time
// (goal: at most 1.0), mapprobe's peak resident size against the file size (goal: at most 2),
// and the processor time per megabyte, whose ratio between the largest and the smallest size
// shows whether the time grows linearly. Exits 1 when a run fails or renderings differ.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildRun.h"

namespace {

// One item of the message's input container: attributes, nested elements, text with
// references, quotes and non-ASCII characters, and a value that spans two lines.
void AppendItem(std::string& doc, unsigned long i) {
  const std::string n = std::to_string(i);
  doc += "      <Item index=\"" + n + "\" type=\"String\">\n";
  doc += "        <Name>Customer " + n + "</Name>\n";
  doc += "        <Address>Street " + n +
         " &amp; Sons, \"Main\" building \xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac</Address>\n";
  doc += "        <Amount currency=\"EUR\">" + std::to_string(i % 100000) + ".50</Amount>\n";
  doc += "        <Note>first line of note " + n + "\nsecond line</Note>\n";
  doc += "      </Item>\n";
}

std::string MakeMessage(std::size_t bytes) {
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<WfMessage version=\"1.0\">\n"
      "  <WfMessageHeader>\n"
      "    <ResponseRequired>Yes</ResponseRequired>\n"
      "  </WfMessageHeader>\n"
      "  <ActivityImplInvoke>\n"
      "    <ActImplCorrelID>000000AB</ActImplCorrelID>\n"
      "    <ProgramInputData>\n";
  doc.reserve(bytes + 1024);
  for (unsigned long i = 0; doc.size() < bytes; ++i) AppendItem(doc, i);
  doc += "    </ProgramInputData>\n  </ActivityImplInvoke>\n</WfMessage>\n";
  return doc;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<double> sizes;
  {
    std::stringstream list(argc > 1 ? argv[1] : "50,200");
    for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::atof(item.c_str()));
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  const std::string reference = argc > 3 ? argv[3] : "";
  const std::string xmllint = FindOnPath("xmllint");
  bool sizesOk = !sizes.empty();
  for (double s : sizes) sizesOk = sizesOk && s > 0;
  if (!sizesOk || rounds < 1 || xmllint.empty()) {
    std::fprintf(stderr,
                 "usage: mapprobe_bench [megabytes,...] [rounds>0] [reference-mapprobe]; "
                 "needs xmllint on PATH\n");
    return 1;
  }

  const std::string dir = MakeBenchDir("mapprobe-bench");
  const std::string input = dir + "/message.xml";
  const std::string output = dir + "/rendering.txt";
  bool ok = true;
  std::vector<double> cpuPerMb;
  for (double megabytes : sizes) {
    const std::string doc = MakeMessage(static_cast<std::size_t>(megabytes * 1048576));
    std::ofstream(input, std::ios::binary)
        .write(doc.data(), static_cast<std::streamsize>(doc.size()));
    const double fileMiB = static_cast<double>(doc.size()) / 1048576.0;
    std::printf("message: %.1f MiB; %d interleaved rounds\n", fileMiB, rounds);

    if (!reference.empty()) {
      const ChildRun r = RunChild({reference, input}, output);
      const unsigned long long hash = FileHash(output);
      const ChildRun n = RunChild({MAPPROBE_PATH, input}, output);
      const bool same = r.status == n.status && hash == FileHash(output);
      std::printf("rendering %s the reference's\n",
                  same ? "byte for byte the same as" : "DIFFERENT from");
      ok = ok && same;
    }

    std::vector<double> lintWall, probeWall, lintCpu, probeCpu, probePeak, lintPeak;
    unsigned long long firstHash = 0;
    for (int i = 0; i < rounds && ok; ++i) {
      const ChildRun p = RunChild({MAPPROBE_PATH, input}, output);
      const unsigned long long hash = FileHash(output);
      const ChildRun l = RunChild({xmllint, "--noout", input}, "");
      if (l.status != 0 || p.status != 0) {
        std::printf("a run failed: xmllint status %d, mapprobe status %d\n", l.status, p.status);
        ok = false;
      }
      if (i == 0) firstHash = hash;
      if (hash != firstHash) {
        std::printf("round %d rendered differently\n", i + 1);
        ok = false;
      }
      lintWall.push_back(l.wallSeconds);
      lintCpu.push_back(l.cpuSeconds);
      lintPeak.push_back(l.peakMiB);
      probeWall.push_back(p.wallSeconds);
      probeCpu.push_back(p.cpuSeconds);
      probePeak.push_back(p.peakMiB);
    }
    if (!ok) break;
    const double wallRatio = MedianRatio(probeWall, lintWall);
    const double cpuRatio = MedianRatio(probeCpu, lintCpu);
    const double memory = Median(probePeak) / fileMiB;
    cpuPerMb.push_back(Median(probeCpu) / fileMiB);
    std::printf("median wall: xmllint %.3f s, mapprobe %.3f s; cpu: %.3f s, %.3f s\n",
                Median(lintWall), Median(probeWall), Median(lintCpu), Median(probeCpu));
    std::printf("median ratio mapprobe / xmllint: wall %.2f, cpu %.2f (goal <= 1.0: %s)\n",
                wallRatio, cpuRatio, wallRatio <= 1.0 && cpuRatio <= 1.0 ? "met" : "missed");
    std::printf(
        "peak memory: mapprobe %.0f MiB = %.2f x file size (goal <= 2: %s), "
        "xmllint %.0f MiB; mapprobe cpu %.1f ms per MiB\n",
        Median(probePeak), memory, memory <= 2 ? "met" : "missed", Median(lintPeak),
        1000 * cpuPerMb.back());
  }
  if (ok && cpuPerMb.size() > 1) {
    std::printf("cpu per MiB, largest size / smallest: %.2f (1.0 is linear)\n",
                cpuPerMb.back() / cpuPerMb.front());
  }
  std::remove(input.c_str());
  std::remove(output.c_str());
  std::remove(dir.c_str());
  return ok ? 0 : 1;
}
