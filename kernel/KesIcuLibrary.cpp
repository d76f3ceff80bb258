#include "KesIcuLibrary.h"

#include <dlfcn.h>
#include <unicode/uvernum.h>

#include <string>

#include "KesException.h"

namespace {

// ICU's headers rename each call after the version (ucnv_open is ucnv_open_72): the name to
// look up is the macro's expansion.
#define KES_ICU_STRING(name) #name
#define KES_ICU_SYMBOL(name) KES_ICU_STRING(name)

const char* const kLibrary = "libicuuc.so." KES_ICU_SYMBOL(U_ICU_VERSION_MAJOR_NUM);

[[noreturn]] void Fail(const std::string& what) {
  throw KesException(KesString(("cannot use ICU for code page conversion: " + what).c_str()));
}

template <typename Call>
void Resolve(void* library, const char* symbol, Call* call) {
  void* address = ::dlsym(library, symbol);
  if (address == nullptr) Fail(std::string(kLibrary) + " has no " + symbol);
  *call = reinterpret_cast<Call>(address);
}

}  // namespace

KesIcuLibrary KesIcuLibrary::Load() {
  KesIcuLibrary icu;
  void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = ::dlerror();
    Fail(reason != nullptr ? reason : kLibrary);
  }
  Resolve(library, KES_ICU_SYMBOL(ucnv_open), &icu.open);
  Resolve(library, KES_ICU_SYMBOL(ucnv_close), &icu.close);
  Resolve(library, KES_ICU_SYMBOL(ucnv_getCCSID), &icu.getCCSID);
  Resolve(library, KES_ICU_SYMBOL(ucnv_getName), &icu.getName);
  Resolve(library, KES_ICU_SYMBOL(ucnv_setToUCallBack), &icu.setToUCallBack);
  Resolve(library, KES_ICU_SYMBOL(ucnv_setFromUCallBack), &icu.setFromUCallBack);
  Resolve(library, KES_ICU_SYMBOL(ucnv_resetToUnicode), &icu.resetToUnicode);
  Resolve(library, KES_ICU_SYMBOL(ucnv_resetFromUnicode), &icu.resetFromUnicode);
  Resolve(library, KES_ICU_SYMBOL(ucnv_convertEx), &icu.convertEx);
  Resolve(library, KES_ICU_SYMBOL(UCNV_TO_U_CALLBACK_SUBSTITUTE), &icu.toUSubstitute);
  Resolve(library, KES_ICU_SYMBOL(UCNV_FROM_U_CALLBACK_SUBSTITUTE), &icu.fromUSubstitute);
  Resolve(library, KES_ICU_SYMBOL(UCNV_TO_U_CALLBACK_STOP), &icu.toUStop);
  Resolve(library, KES_ICU_SYMBOL(UCNV_FROM_U_CALLBACK_STOP), &icu.fromUStop);
  return icu;
}

const KesIcuLibrary& KesIcuLibrary::Get() {
  // A failed load throws out of the initialisation, so the next call tries again.
  static const KesIcuLibrary icu = Load();
  return icu;
}
