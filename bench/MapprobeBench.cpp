// Times mapprobe on a generated workflow message against `xmllint --noout` on the same file,
// run after run in the same process, with the peak resident size of each child.
//
//   mapprobe_bench [megabytes=50] [runs=3]
//
// Prints one line per run, then medians, the ratio mapprobe / xmllint (goal: at most 3) in
// wall-clock time and in processor time (steadier on a busy machine), and mapprobe's peak
// resident size against the file size (goal: under 10 times). Exits 1 when a
// run fails or the renderings of two runs differ.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

struct Timed {
  double seconds = 0;
  double cpuSeconds = 0;  // user and system time of the child
  double maxRssMb = 0;
  int status = -1;
};

// Runs argv with standard output to outFile, and returns its wall time, its peak resident
// size (from the child's own rusage) and its exit status.
Timed Run(const std::vector<std::string>& args, const std::string& outFile) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Timed t;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return t;
  if (pid == 0) {
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0) _exit(126);
    dup2(out, 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  rusage usage{};
  while (wait4(pid, &wstatus, 0, &usage) < 0) {
  }
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.maxRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  t.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  t.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return t;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char* argv[]) {
  const double megabytes = argc > 1 ? std::atof(argv[1]) : 50;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  if (megabytes <= 0 || runs <= 0) {
    std::fprintf(stderr, "usage: mapprobe_bench [megabytes=50] [runs=3]\n");
    return 2;
  }

  char dirTemplate[] = "/tmp/mapprobe-bench-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dirTemplate;
  const std::string input = dir + "/message.xml";
  const std::string output = dir + "/rendering.txt";
  {
    const std::string doc = MakeMessage(static_cast<std::size_t>(megabytes * 1024 * 1024));
    std::ofstream(input, std::ios::binary)
        .write(doc.data(), static_cast<std::streamsize>(doc.size()));
  }
  const double fileMb = static_cast<double>(ReadAll(input).size()) / (1024.0 * 1024.0);
  std::printf("message: %s, %.1f MB\n", input.c_str(), fileMb);

  std::vector<double> lint, probe, lintCpu, probeCpu, probeRss, lintRss;
  std::string firstRendering;
  bool ok = true;
  for (int i = 0; i < runs; ++i) {
    Timed l = Run({"xmllint", "--noout", input}, "/dev/null");
    Timed p = Run({MAPPROBE_PATH, input}, output);
    std::printf(
        "run %d: xmllint %.3f s wall %.3f s cpu (%.0f MB peak), "
        "mapprobe %.3f s wall %.3f s cpu (%.0f MB peak)\n",
        i + 1, l.seconds, l.cpuSeconds, l.maxRssMb, p.seconds, p.cpuSeconds, p.maxRssMb);
    if (l.status != 0 || p.status != 0) {
      std::fprintf(stderr, "a run failed: xmllint status %d, mapprobe status %d\n", l.status,
                   p.status);
      ok = false;
      break;
    }
    std::string rendering = ReadAll(output);
    if (i == 0) {
      firstRendering = std::move(rendering);
      std::printf("rendering: %.1f MB\n", static_cast<double>(firstRendering.size()) / 1048576.0);
    } else if (rendering != firstRendering) {
      std::fprintf(stderr, "run %d rendered differently\n", i + 1);
      ok = false;
    }
    lint.push_back(l.seconds);
    lintCpu.push_back(l.cpuSeconds);
    probeCpu.push_back(p.cpuSeconds);
    probe.push_back(p.seconds);
    lintRss.push_back(l.maxRssMb);
    probeRss.push_back(p.maxRssMb);
  }
  if (ok) {
    const double ratio = Median(probe) / Median(lint);
    const double memory = Median(probeRss) / fileMb;
    std::printf("median wall: xmllint %.3f s, mapprobe %.3f s, ratio %.2f (goal <= 3)\n",
                Median(lint), Median(probe), ratio);
    std::printf("median cpu: xmllint %.3f s, mapprobe %.3f s, ratio %.2f\n", Median(lintCpu),
                Median(probeCpu), Median(probeCpu) / Median(lintCpu));
    std::printf("peak memory: mapprobe %.0f MB = %.1f x file size (goal < 10), xmllint %.0f MB\n",
                Median(probeRss), memory, Median(lintRss));
  }
  std::remove(input.c_str());
  std::remove(output.c_str());
  rmdir(dir.c_str());
  return ok ? 0 : 1;
}
