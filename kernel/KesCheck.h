// Failed-check reporting for preconditions, representation invariants and internal
// assertions. Callers test the condition in place and call these only when it fails:
//
//   if (IsNull()) keskRequire("!IsNull()", "keskstr", __LINE__);
//
// A failed check throws a KesException whose text names the kind of check, the
// condition, the source name and the line, so that each tool's own handler reports it.
// Where throwing would end the process (inside a destructor) a KesCheckNoThrow guard
// on the stack makes the same calls write the text as one line to standard error and
// return instead. Safe to call from several threads; the guard is per thread.
#pragma once

void keskRequire(const char* condition, const char* source, long line);
void keskInvariant(const char* condition, const char* source, long line);
void keskAssert(const char* condition, const char* source, long line);

// While one of these lives on the calling thread's stack, failed checks report on
// standard error and return instead of throwing.
class KesCheckNoThrow {
 public:
  KesCheckNoThrow();
  ~KesCheckNoThrow();
  KesCheckNoThrow(const KesCheckNoThrow&) = delete;
  KesCheckNoThrow& operator=(const KesCheckNoThrow&) = delete;
};
