#include "LatencyHistogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

constexpr uint64_t kHalf = uint64_t{1} << 10;

}  // namespace

// Below 2^11 the index is the value. A value of m significant bits (m > 11) is cut to its
// top 11 bits, sub = value >> (m - 11), which lies in [1024, 2048); each extra bit of width
// moves the index on by 1024, so indexes stay dense and grow with the value.
size_t LatencyHistogram::IndexOf(uint64_t value) {
  value = std::min(value, (uint64_t{1} << kMaxBits) - 1);
  unsigned width = static_cast<unsigned>(std::bit_width(value));
  if (width <= kSubBits) return static_cast<size_t>(value);
  unsigned shift = width - kSubBits;
  return static_cast<size_t>(shift * kHalf + (value >> shift));
}

uint64_t LatencyHistogram::HighestOf(size_t index) {
  if (index < 2 * kHalf) return index;
  uint64_t shift = index / kHalf - 1;
  uint64_t sub = index - shift * kHalf;
  return ((sub + 1) << shift) - 1;
}

LatencyHistogram::LatencyHistogram() : _counts(IndexOf(UINT64_MAX) + 1, 0) {}

void LatencyHistogram::Record(uint64_t nanoseconds) {
  ++_counts[IndexOf(nanoseconds)];
  ++_count;
  _min = std::min(_min, nanoseconds);
  _max = std::max(_max, nanoseconds);
  _sum += static_cast<long double>(nanoseconds);
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
  for (size_t i = 0; i < _counts.size(); ++i) _counts[i] += other._counts[i];
  _count += other._count;
  _min = std::min(_min, other._min);
  _max = std::max(_max, other._max);
  _sum += other._sum;
}

double LatencyHistogram::Mean() const {
  return _count == 0 ? 0.0 : static_cast<double>(_sum / static_cast<long double>(_count));
}

uint64_t LatencyHistogram::Percentile(double percent) const {
  if (_count == 0) return 0;
  if (percent <= 0) return _min;
  if (percent >= 100) return _max;
  // Nearest rank: the ceil(p/100 * n)-th smallest value, counted from 1. The share is taken
  // in parts per million and the rank in integers, so that 99.9 % of 1000 values is the
  // 999th and not, through rounding, the 1000th.
  auto perMillion = static_cast<unsigned __int128>(std::llround(percent * 10000.0));
  auto rank = static_cast<uint64_t>((perMillion * _count + 999999) / 1000000);
  rank = std::clamp<uint64_t>(rank, 1, _count);
  uint64_t seen = 0;
  for (size_t i = 0; i < _counts.size(); ++i) {
    seen += _counts[i];
    if (seen >= rank) return std::clamp(HighestOf(i), _min, _max);
  }
  return _max;
}
