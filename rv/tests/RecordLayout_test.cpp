// The records as C and C++ see them, and the start values that the RVInit* helpers give.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rvic.h"

extern "C" size_t RvTestSizeFromC(int which);
extern "C" void RvTestInitFromC(RVMD* md, RVGMO* gmo);

namespace {

template <typename T>
std::string Bytes(const T& record, size_t offset, size_t length) {
  return std::string(reinterpret_cast<const char*>(&record) + offset, length);
}

template <typename T>
RVLONG LongAt(const T& record, size_t offset) {
  RVLONG v;
  std::memcpy(&v, reinterpret_cast<const char*>(&record) + offset, sizeof v);
  return v;
}

TEST(RecordLayoutTest, CAndCppAgreeOnSizesAndOffsets) {
  EXPECT_EQ(RvTestSizeFromC(0), 20u);
  EXPECT_EQ(RvTestSizeFromC(1), 336u);
  EXPECT_EQ(RvTestSizeFromC(2), 364u);
  EXPECT_EQ(RvTestSizeFromC(3), 152u);
  EXPECT_EQ(RvTestSizeFromC(4), 100u);
  EXPECT_EQ(RvTestSizeFromC(5), 360u);
  EXPECT_EQ(RvTestSizeFromC(6), 96u);
}

TEST(RecordLayoutTest, ConnectOptionsStartValuesAtTheirOffsets) {
  RVCNO cno;
  std::memset(&cno, 0x5a, sizeof cno);
  RVInitCNO(&cno);
  EXPECT_EQ(Bytes(cno, 0, 4), "CNO ");
  EXPECT_EQ(LongAt(cno, 4), 1);
  EXPECT_EQ(LongAt(cno, 8), 0);
  EXPECT_EQ(LongAt(cno, 12), 0);
  EXPECT_EQ(LongAt(cno, 16), 0);
}

TEST(RecordLayoutTest, ObjectDescriptorStartValuesAtTheirOffsets) {
  RVOD od;
  std::memset(&od, 0x5a, sizeof od);
  RVInitOD(&od);
  EXPECT_EQ(Bytes(od, 0, 4), "OD  ");
  EXPECT_EQ(LongAt(od, 4), 1);
  EXPECT_EQ(LongAt(od, 8), RVOT_Q);
  EXPECT_EQ(Bytes(od, 12, 324), std::string(324, '\0'));
}

TEST(RecordLayoutTest, MessageDescriptorStartValuesAtTheirOffsets) {
  RVMD md;
  RVGMO gmo;
  std::memset(&md, 0x5a, sizeof md);
  std::memset(&gmo, 0x5a, sizeof gmo);
  RvTestInitFromC(&md, &gmo);
  EXPECT_EQ(Bytes(md, 0, 4), "MD  ");
  struct Field {
    size_t offset;
    RVLONG value;
  };
  const Field longs[] = {{4, 1},    {8, 0},   {12, 8},  {16, -1}, {20, 0},
                         {24, 546}, {28, 0},  {40, -1}, {44, 2},  {96, 0},
                         {272, 0},  {348, 1}, {352, 0}, {356, 0}, {360, -1}};
  for (const auto& f : longs) EXPECT_EQ(LongAt(md, f.offset), f.value) << "offset " << f.offset;
  EXPECT_EQ(Bytes(md, 32, 8), "        ");
  EXPECT_EQ(Bytes(md, 48, 48), std::string(48, '\0'));
  EXPECT_EQ(Bytes(md, 100, 172), std::string(172, '\0'));
  EXPECT_EQ(Bytes(md, 276, 72), std::string(72, '\0'));
}

TEST(RecordLayoutTest, OptionRecordsStartValuesAtTheirOffsets) {
  RVPMO pmo;
  std::memset(&pmo, 0x5a, sizeof pmo);
  RVInitPMO(&pmo);
  EXPECT_EQ(Bytes(pmo, 0, 4), "PMO ");
  EXPECT_EQ(LongAt(pmo, 4), 1);
  EXPECT_EQ(LongAt(pmo, 8), 0);
  EXPECT_EQ(LongAt(pmo, 12), -1);
  EXPECT_EQ(Bytes(pmo, 16, 136), std::string(136, '\0'));

  RVMD md;
  RVGMO gmo;
  std::memset(&gmo, 0x5a, sizeof gmo);
  RvTestInitFromC(&md, &gmo);
  EXPECT_EQ(Bytes(gmo, 0, 4), "GMO ");
  EXPECT_EQ(LongAt(gmo, 4), 1);
  for (size_t off : {8u, 12u, 16u, 20u, 72u}) EXPECT_EQ(LongAt(gmo, off), 0) << off;
  EXPECT_EQ(Bytes(gmo, 24, 48), std::string(48, '\0'));
  EXPECT_EQ(Bytes(gmo, 76, 4), "    ");
  EXPECT_EQ(Bytes(gmo, 80, 16), std::string(16, '\0'));
  EXPECT_EQ(LongAt(gmo, 96), -1);
}

TEST(RecordLayoutTest, EveryReasonCodeHasItsOwnName) {
  const RVLONG codes[] = {2009, 2018, 2019, 2026, 2030, 2033, 2035, 2044, 2046, 2053, 2058,
                          2059, 2080, 2085, 2102, 2139, 2152, 2161, 2173, 2186, 2195};
  const std::string unknown = RVReasonText(1);
  EXPECT_EQ(unknown.rfind("RVRC_UNKNOWN", 0), 0u);
  for (RVLONG code : codes) {
    std::string text = RVReasonText(code);
    EXPECT_NE(text, unknown) << code;
    EXPECT_EQ(text.rfind("RVRC_", 0), 0u) << code;
    EXPECT_NE(text.find(": "), std::string::npos) << code;
  }
  EXPECT_STREQ(RVReasonText(2033), "RVRC_NO_MSG_AVAILABLE: no message is available on the queue");
}

}  // namespace
