// Counts the bytes that operator new hands out in the test process, so a test can show
// that a piece of text was never composed. Replaces the global operator new and delete
// of the test binary that links it.
#pragma once

#include <cstddef>

namespace alloccount {
// Bytes handed out by operator new since the process started.
std::size_t BytesAllocated();
}  // namespace alloccount
