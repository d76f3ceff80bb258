// Replaces the global allocation functions of the test binary that links
// FailingAllocator.cpp, so that a test can make one chosen allocation fail. The
// replacements live in their own source so that the compiler never sees a new and a
// free of the same block in one place. Not thread-safe: arm it on one thread only.
#pragma once

// Counted down by every allocation while positive; the allocation that brings it to
// zero fails (operator new throws std::bad_alloc).
extern long failingAllocation;
// Every allocation counts here, failed ones included.
extern long allocationCount;
