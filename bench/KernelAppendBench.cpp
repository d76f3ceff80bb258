// Times appending 1,000,000 pieces of 40 bytes to one buffer with KesBinary's |=,
// KesString's += and std::string::append, in the same run, and prints ns per byte.
#include <chrono>
#include <cstdio>
#include <string>

#include "KesBinary.h"
#include "KesString.h"

namespace {

constexpr int kPieces = 1000000;
constexpr int kPieceLen = 40;

template <typename F>
double NsPerByte(F f) {
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    auto start = std::chrono::steady_clock::now();
    f();
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, ns / (static_cast<double>(kPieces) * kPieceLen));
  }
  return best;
}

}  // namespace

int main() {
  const std::string piece(kPieceLen, 'x');
  const KesBinary binPiece(piece.data(), kPieceLen);
  const KesString strPiece(piece.data(), kPieceLen);
  size_t sink = 0;

  double std_ns = NsPerByte([&] {
    std::string s;
    for (int i = 0; i < kPieces; ++i) s.append(piece);
    sink += s.size();
  });
  double bin_ns = NsPerByte([&] {
    KesBinary b("", 0);
    for (int i = 0; i < kPieces; ++i) b |= binPiece;
    sink += b.Length();
  });
  double str_ns = NsPerByte([&] {
    KesString s("", 0);
    for (int i = 0; i < kPieces; ++i) s += strPiece;
    sink += s.LengthChar();
  });
  std::printf("append %d pieces of %d bytes (best of 5)\n", kPieces, kPieceLen);
  std::printf("  std::string::append  %.3f ns/byte\n", std_ns);
  std::printf("  KesBinary |=         %.3f ns/byte  (%.2fx)\n", bin_ns, bin_ns / std_ns);
  std::printf("  KesString +=         %.3f ns/byte  (%.2fx)\n", str_ns, str_ns / std_ns);
  return sink == 0 ? 1 : 0;
}
