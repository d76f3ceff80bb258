// Helpers of the tool benchmarks: run a program as a child process and measure it (wall time,
// processor time and peak resident size from the child's own rusage), and take medians.
// Single-threaded; each call is independent.
#pragma once

#include <string>
#include <vector>

struct ChildRun {
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user and system time of the child
  double peakMiB = 0;     // the child's peak resident size
  int status = -1;        // exit status, or -1 when it did not exit normally
};

// Runs argv (argv[0] searched on PATH) with standard output to outFile ("" for /dev/null) and
// standard error to /dev/null; env holds NAME=VALUE settings added to the environment.
ChildRun RunChild(const std::vector<std::string>& argv, const std::string& outFile,
                  const std::vector<std::string>& env = {});

double Median(std::vector<double> values);
// The median of the ratios a[i] / b[i] of runs made side by side.
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b);

// The full path of a program on PATH, or "" when there is none.
std::string FindOnPath(const std::string& name);

// A fresh directory under /tmp; the caller removes it.
std::string MakeBenchDir(const std::string& tag);

// FNV-1a of a file's bytes, to compare large outputs without keeping them.
unsigned long long FileHash(const std::string& path, unsigned long long* size = nullptr);
