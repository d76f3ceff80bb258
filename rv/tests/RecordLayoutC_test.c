/* Compiled as C: proves that rvic.h is valid C11 and that a C compiler lays the records out as
 * the C++ compiler does. */
#include "rvic.h"

size_t RvTestSizeFromC(int which) {
  switch (which) {
    case 0:
      return sizeof(RVCNO);
    case 1:
      return sizeof(RVOD);
    case 2:
      return sizeof(RVMD);
    case 3:
      return sizeof(RVPMO);
    case 4:
      return sizeof(RVGMO);
    case 5:
      return offsetof(RVMD, unsplitLength);
    case 6:
      return offsetof(RVGMO, returnedLength);
    default:
      return 0;
  }
}

void RvTestInitFromC(RVMD* md, RVGMO* gmo) {
  RVInitMD(md);
  RVInitGMO(gmo);
}
