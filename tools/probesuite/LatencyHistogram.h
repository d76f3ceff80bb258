// LatencyHistogram counts durations in nanoseconds in log-linear buckets: every value below
// 2048 has a bucket of its own, and above that each power of two is cut into 1024 equal
// buckets, so a bucket is never wider than 1/1024 of the values in it. Percentiles come out
// as the highest value of their bucket (never more than the largest value recorded), so a
// reported percentile is at most 0.1 % above the true one and never below it. Values up to
// about 73 minutes are held; larger ones count in the last bucket, while Max stays exact.
// Memory is fixed (about 270 KiB). Not thread-safe: one writer, or a lock around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class LatencyHistogram {
 public:
  LatencyHistogram();

  void Record(uint64_t nanoseconds);
  // Adds every count of other.
  void Merge(const LatencyHistogram& other);

  uint64_t Count() const { return _count; }
  // 0 when nothing was recorded.
  uint64_t Min() const { return _count == 0 ? 0 : _min; }
  uint64_t Max() const { return _max; }
  double Mean() const;

  // The smallest bucket value v such that at least percent % of the recorded values are at
  // most v (nearest rank), reported as described above. percent lies in [0, 100]; 0 gives
  // Min and 100 gives Max. 0 when nothing was recorded.
  uint64_t Percentile(double percent) const;

 private:
  static constexpr unsigned kSubBits = 11;  // 2048 exact values, then 1024 buckets per octave
  static constexpr unsigned kMaxBits = 42;  // 2^42 ns, about 73 minutes
  static size_t IndexOf(uint64_t value);
  static uint64_t HighestOf(size_t index);

  std::vector<uint64_t> _counts;
  uint64_t _count = 0;
  uint64_t _min = UINT64_MAX;
  uint64_t _max = 0;
  long double _sum = 0;
};
