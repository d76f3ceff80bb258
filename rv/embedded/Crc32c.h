// Crc32c: the CRC-32C (Castagnoli) checksum that guards every message file. Pure function of its
// input; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rv {

class Crc32c {
 public:
  // Continues a checksum: pass 0 to start, then the previous result for more bytes.
  // Uses the processor's CRC-32C instruction where it has one.
  static uint32_t Extend(uint32_t crc, const void* data, size_t length);
  // The table-driven form, for processors without the instruction.
  static uint32_t ExtendPortable(uint32_t crc, const void* data, size_t length);
};

}  // namespace rv
