// KesTrace writes trace records. A record passes its gate when _On is non-zero,
// _Level is at least the record's level, and _Components and _Categories hold its
// component and category bits; callers test the gate with IsOn before they compose a
// record, so a closed gate costs one comparison and no allocation.
//
// The switches come from the environment at start-up:
//   KES_TRACE       unset, empty or 0: off; LEVEL[:COMPONENTS[:CATEGORIES]]: on, with
//                   the masks in decimal or 0x hex (both default to all bits). A
//                   malformed value gives one warning on standard error; tracing is off.
//                   Records are written at level kRecordLevel and above, so a lower
//                   level is taken but gives one warning that nothing will be traced.
//   KES_TRACE_FILE  records are appended to this file (created 0600); otherwise they go
//                   to standard error, never to standard output.
// Each record is one write: a header (UTC time with microseconds, process id, source
// and line, signature, level, category, component), then the text as composed, then a
// line end unless the text ends with one. Several processes may append to one file.
#pragma once

#include <sstream>

class KesTrace {
 public:
  static long _Level;
  static unsigned long _Components;
  static unsigned long _Categories;
  static int _On;

  // The lowest level of any record written in this system.
  static constexpr long kRecordLevel = 10;

  static bool IsOn(long level, unsigned long category, unsigned long component) {
    return _On != 0 && _Level >= level && (_Components & component) != 0 &&
           (_Categories & category) != 0;
  }

  // Writes one record whose text is the stream's content; a terminating zero at its end
  // (std::ends) is not written. Does not test the gate.
  static void Trace(const char* source, long line, const char* signature, long level,
                    unsigned long category, unsigned long component,
                    const std::ostringstream& text);
  // The same with a text of len bytes.
  static void Trace(const char* source, long line, const char* signature, long level,
                    unsigned long category, unsigned long component, const char* text, size_t len);

  // Reads the switches from the environment again (used at start-up and by tests).
  static void Configure();

  // A control-flow record pair: " >entry" when made and " <exit" when destroyed, with
  // category 1, each written only when the gate is open at that moment.
  class KesCtrFlow {
   public:
    KesCtrFlow(const char* source, long line, const char* signature, long level,
               unsigned long component);
    ~KesCtrFlow();
    KesCtrFlow(const KesCtrFlow&) = delete;
    KesCtrFlow& operator=(const KesCtrFlow&) = delete;

   private:
    const char* _source;
    long _line;
    const char* _signature;
    long _level;
    unsigned long _component;
  };
};
