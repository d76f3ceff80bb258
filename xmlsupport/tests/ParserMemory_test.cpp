// ParserMemory: the limit of the moment holds, a refusal is told from a failed malloc, and the
// entity readers of a parse reuse their blocks instead of taking fresh ones each time.
#include "ParserMemory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>

using namespace xercesc;

namespace {

TEST(ParserMemory, HoldsTheLimitOfTheMoment) {
  uint64_t limit = 1000;
  ParserMemory memory([&limit] { return limit; });
  void* a = memory.allocate(600);
  EXPECT_EQ(memory.InUse(), 600u);
  EXPECT_THROW(memory.allocate(401), OutOfMemoryException);
  EXPECT_TRUE(memory.Exceeded());
  void* b = memory.allocate(400);  // exactly up to the limit
  memory.deallocate(a);
  EXPECT_EQ(memory.InUse(), 400u);
  // A limit that grows lets more in; one that shrinks below what is held lets nothing in.
  limit = 2000;
  void* c = memory.allocate(1500);
  limit = 100;
  EXPECT_THROW(memory.allocate(1), OutOfMemoryException);
  memory.deallocate(b);
  memory.deallocate(c);
  memory.deallocate(nullptr);
  EXPECT_EQ(memory.InUse(), 0u);
}

TEST(ParserMemory, FailedMallocIsNotTheLimit) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator aborts on an impossible size instead of failing";
#endif
  ParserMemory memory([] { return UINT64_MAX; });
  EXPECT_THROW(memory.allocate(SIZE_MAX / 2), OutOfMemoryException);
  EXPECT_FALSE(memory.Exceeded());
}

TEST(ParserMemory, LargeBlocksAreReusedAndCounted) {
  ParserMemory memory([] { return uint64_t{1} << 30; });
  std::vector<void*> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(memory.allocate(200000));
  for (void* p : blocks) memory.deallocate(p);
  // Kept blocks still count as held.
  EXPECT_EQ(memory.InUse(), 600000u);
  for (int i = 0; i < 100; ++i) memory.deallocate(memory.allocate(200000));
  EXPECT_EQ(memory.LargeBlocksTaken(), 3u);
  // Another size takes fresh memory.
  memory.deallocate(memory.allocate(100000));
  EXPECT_EQ(memory.LargeBlocksTaken(), 4u);
}

// Every entity reference the parser expands makes a reader of some 160 KB; 11,110 expansions
// must not take 11,110 large blocks from the system.
TEST(ParserMemory, EntityExpansionsReuseTheirReaders) {
  XMLPlatformUtils::Initialize();
  {
    std::string doc = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 4; ++i) {
      doc += "<!ENTITY l" + std::to_string(i) + " \"";
      for (int j = 0; j < 10; ++j) doc += "&l" + std::to_string(i - 1) + ";";
      doc += "\">";
    }
    doc += "]><r>&l4;</r>";
    ParserMemory memory([] { return uint64_t{1} << 30; });
    SAXParser parser(nullptr, &memory);
    const MemBufInputSource source(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(),
                                   "laughs");
    parser.parse(source);
    EXPECT_EQ(parser.getErrorCount(), 0u);
    EXPECT_LT(memory.LargeBlocksTaken(), 100u);
  }
  XMLPlatformUtils::Terminate();
}

}  // namespace
