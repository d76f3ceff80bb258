// KesIcuLibrary holds ICU's conversion calls, loaded from the shared library on first use.
// A program that never converts between code pages (a queue tool printing its usage, or
// passing UTF-8 through) so never maps ICU and its data, which costs more CPU at start-up
// than the rest of the program. Loaded once per process and never unloaded; safe to use
// from several threads once Get has returned.
#pragma once

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

class KesIcuLibrary {
 public:
  // The calls, resolved on the first call from the ICU version that the program was built
  // against. Throws KesException, naming the library and the loader's reason, when it cannot
  // be loaded or lacks a call.
  static const KesIcuLibrary& Get();

  decltype(&ucnv_open) open = nullptr;
  decltype(&ucnv_close) close = nullptr;
  decltype(&ucnv_getCCSID) getCCSID = nullptr;
  decltype(&ucnv_getName) getName = nullptr;
  decltype(&ucnv_setToUCallBack) setToUCallBack = nullptr;
  decltype(&ucnv_setFromUCallBack) setFromUCallBack = nullptr;
  decltype(&ucnv_resetToUnicode) resetToUnicode = nullptr;
  decltype(&ucnv_resetFromUnicode) resetFromUnicode = nullptr;
  decltype(&ucnv_convertEx) convertEx = nullptr;
  // ICU's own callbacks: substitute or stop at input that does not convert.
  UConverterToUCallback toUSubstitute = nullptr;
  UConverterFromUCallback fromUSubstitute = nullptr;
  UConverterToUCallback toUStop = nullptr;
  UConverterFromUCallback fromUStop = nullptr;

 private:
  KesIcuLibrary() = default;
  static KesIcuLibrary Load();
};
