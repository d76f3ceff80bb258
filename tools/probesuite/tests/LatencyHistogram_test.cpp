// LatencyHistogram against a sorted array of the same values: every percentile lies in the
// bucket of the true nearest-rank value, never below it and at most 1/1024 above it.
#include "LatencyHistogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

// The nearest-rank percentile of sorted values, for a share in tenths of a percent.
uint64_t Reference(const std::vector<uint64_t>& sorted, uint64_t perMille) {
  uint64_t rank = (perMille * sorted.size() + 999) / 1000;
  return sorted[std::max<uint64_t>(rank, 1) - 1];
}

struct Distribution {
  const char* label;
  std::vector<uint64_t> values;
};

std::vector<Distribution> Distributions() {
  std::mt19937_64 random(42);
  std::vector<Distribution> d;
  d.push_back({"one value", {1234567}});
  d.push_back({"two values", {5, 3000000}});
  std::vector<uint64_t> small;
  for (int i = 0; i < 999; ++i) small.push_back(random() % 2048);
  d.push_back({"999 values below 2048, held exactly", small});
  std::vector<uint64_t> wide;
  std::lognormal_distribution<double> lognormal(13.0, 2.5);  // about 0.4 ms, heavy tail
  for (int i = 0; i < 100000; ++i) wide.push_back(static_cast<uint64_t>(lognormal(random)));
  d.push_back({"100,000 log-normal values from nanoseconds to minutes", wide});
  std::vector<uint64_t> twoHumps;
  for (int i = 0; i < 1000; ++i) twoHumps.push_back(i % 10 == 0 ? 250000000 : 800000 + i);
  d.push_back({"1,000 values in two groups", twoHumps});
  d.push_back({"1,000 equal values", std::vector<uint64_t>(1000, 77777777)});
  return d;
}

TEST(LatencyHistogramTest, PercentilesLieInTheBucketOfTheSortedReference) {
  const uint64_t perMilles[] = {1, 500, 900, 990, 999};
  for (Distribution& d : Distributions()) {
    LatencyHistogram h;
    for (uint64_t v : d.values) h.Record(v);
    std::sort(d.values.begin(), d.values.end());
    ASSERT_EQ(h.Count(), d.values.size()) << d.label;
    EXPECT_EQ(h.Min(), d.values.front()) << d.label;
    EXPECT_EQ(h.Max(), d.values.back()) << d.label;
    EXPECT_EQ(h.Percentile(100), d.values.back()) << d.label;
    EXPECT_EQ(h.Percentile(0), d.values.front()) << d.label;
    for (uint64_t pm : perMilles) {
      uint64_t want = Reference(d.values, pm);
      uint64_t got = h.Percentile(static_cast<double>(pm) / 10.0);
      std::string where = std::string(d.label) + ", p" + std::to_string(pm / 10.0);
      EXPECT_GE(got, want) << where;
      EXPECT_LE(got, want + want / 1024) << where;
      if (want < 2048) {
        EXPECT_EQ(got, want) << where;
      }
    }
  }
}

TEST(LatencyHistogramTest, NinetyNinePointNineOfAThousandIsTheNineHundredNinetyNinth) {
  // 99.9 % of 1000 values is rank 999 exactly; a floating-point rank would round to 1000.
  LatencyHistogram h;
  for (uint64_t v = 1; v <= 1000; ++v) h.Record(v);
  EXPECT_EQ(h.Percentile(99.9), 999u);
  EXPECT_EQ(h.Percentile(50), 500u);
  EXPECT_EQ(h.Percentile(99), 990u);
}

TEST(LatencyHistogramTest, MergeEqualsRecordingEverythingInOne) {
  LatencyHistogram a, b, all;
  for (uint64_t v = 0; v < 5000; ++v) {
    uint64_t value = v * v * 37 + 11;
    (v % 3 == 0 ? a : b).Record(value);
    all.Record(value);
  }
  a.Merge(b);
  EXPECT_EQ(a.Count(), all.Count());
  EXPECT_EQ(a.Min(), all.Min());
  EXPECT_EQ(a.Max(), all.Max());
  EXPECT_DOUBLE_EQ(a.Mean(), all.Mean());
  for (double p : {10.0, 50.0, 90.0, 99.0, 99.9}) EXPECT_EQ(a.Percentile(p), all.Percentile(p));
}

TEST(LatencyHistogramTest, EmptyAndOutOfRangeValues) {
  LatencyHistogram h;
  EXPECT_EQ(h.Count(), 0u);
  EXPECT_EQ(h.Percentile(50), 0u);
  EXPECT_EQ(h.Min(), 0u);
  EXPECT_EQ(h.Mean(), 0.0);
  // Beyond about 73 minutes the buckets end; the maximum stays exact and no percentile
  // passes it.
  const uint64_t huge = uint64_t{1} << 50;
  h.Record(1000);
  h.Record(huge);
  EXPECT_EQ(h.Max(), huge);
  EXPECT_EQ(h.Percentile(100), huge);
  EXPECT_LE(h.Percentile(99), huge);
  EXPECT_GE(h.Percentile(99), uint64_t{1} << 41);
  EXPECT_EQ(h.Percentile(50), 1000u);
}

}  // namespace
