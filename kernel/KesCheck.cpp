#include "KesCheck.h"

#include <unistd.h>

#include <string>

#include "KesException.h"

namespace {

thread_local int noThrowDepth = 0;

void Fail(const char* kind, const char* condition, const char* source, long line) {
  std::string text = std::string("failed ") + kind + " \"" + (condition ? condition : "") + "\" (" +
                     (source ? source : "") + ", line " + std::to_string(line) + ")";
  if (noThrowDepth > 0) {
    text += '\n';
    // One write, so that the line is not torn apart by other output.
    ssize_t ignored = write(2, text.data(), text.size());
    (void)ignored;
    return;
  }
  throw KesException(KesString(text.data(), static_cast<long>(text.size())));
}

}  // namespace

void keskRequire(const char* condition, const char* source, long line) {
  Fail("precondition", condition, source, line);
}

void keskInvariant(const char* condition, const char* source, long line) {
  Fail("invariant", condition, source, line);
}

void keskAssert(const char* condition, const char* source, long line) {
  Fail("assertion", condition, source, line);
}

KesCheckNoThrow::KesCheckNoThrow() {
  ++noThrowDepth;
}
KesCheckNoThrow::~KesCheckNoThrow() {
  --noThrowDepth;
}
