#include "KesConverter.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "KesException.h"
#include "KesIcuLibrary.h"

namespace {

constexpr long kUtf8 = 1208;

// ICU's name for a code page number.
std::string IcuName(long codePage) {
  switch (codePage) {
    case 1208:
      return "UTF-8";
    case 819:
      return "ISO-8859-1";
    case 923:
      return "ISO-8859-15";
    case 1252:
      return "windows-1252";
    case 367:
      return "US-ASCII";
    case 1200:
      return "UTF-16BE";
    case 1202:
      return "UTF-16LE";
    default:
      return "ibm-" + std::to_string(codePage);
  }
}

struct ConverterCloser {
  void operator()(UConverter* c) const { KesIcuLibrary::Get().close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// Null when ICU does not know the name.
ConverterPtr TryOpen(const std::string& icuName) {
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr c(KesIcuLibrary::Get().open(icuName.c_str(), &status));
  if (U_FAILURE(status)) c.reset();
  return c;
}

ConverterPtr OpenConverter(long codePage) {
  ConverterPtr c = TryOpen(IcuName(codePage));
  if (!c) throw KesException(KesString(("unknown code page " + std::to_string(codePage)).c_str()));
  return c;
}

ConverterPtr OpenConverter(const std::string& codeSet) {
  ConverterPtr c = TryOpen(codeSet);
  if (!c) throw KesException(KesString(("unknown code set \"" + codeSet + "\"").c_str()));
  return c;
}

// The name of the first of LC_ALL, LC_CTYPE and LANG that is set and not empty, and the
// locale it gives; a null locale when none is.
struct UserLocale {
  const char* variable = nullptr;
  const char* locale = nullptr;
};

UserLocale FindUserLocale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') return {name, v};
  }
  return {};
}

// language[_territory][.codeset][@modifier]: the code set, empty when there is none.
std::string CodeSetOf(const std::string& locale) {
  size_t dot = locale.find('.');
  if (dot == std::string::npos) return "";
  size_t at = locale.find('@', dot);
  return locale.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
}

std::string ModifierOf(const std::string& locale) {
  size_t at = locale.find('@');
  return at == std::string::npos ? "" : locale.substr(at + 1);
}

// The number of a code set that ICU knows, when converting by that number gives the very
// converter that the name gives; 0 otherwise (ICU knows SJIS as CCSID 943, but "ibm-943"
// is another table).
long NumberOf(const UConverter* named) {
  const KesIcuLibrary& icu = KesIcuLibrary::Get();
  UErrorCode status = U_ZERO_ERROR;
  int32_t ccsid = icu.getCCSID(named, &status);
  if (U_FAILURE(status) || ccsid <= 0) return 0;
  ConverterPtr numbered = TryOpen(IcuName(ccsid));
  if (!numbered) return 0;
  UErrorCode s1 = U_ZERO_ERROR, s2 = U_ZERO_ERROR;
  const char* a = icu.getName(named, &s1);
  const char* b = icu.getName(numbered.get(), &s2);
  return U_SUCCESS(s1) && U_SUCCESS(s2) && std::strcmp(a, b) == 0 ? ccsid : 0;
}

// Length of the well-formed UTF-8 sequence at p (at most left bytes), or 0 when the
// bytes there do not start one.
size_t Utf8Sequence(const unsigned char* p, size_t left) {
  unsigned char b = p[0];
  if (b < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (left < n || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return n;
}

}  // namespace

// The ICU state of one converter and the substitution count that its callbacks keep.
class KesConverter::Impl {
 public:
  Impl(ConverterPtr to, ConverterPtr from) : _to(std::move(to)), _from(std::move(from)) {}

  ConverterPtr _to;    // source code page to UTF-16
  ConverterPtr _from;  // UTF-16 to target code page
  uint32_t _count = 0;
};

namespace {

// Callbacks that substitute as ICU does and count each substitution. An invalid byte
// is counted where it is met; its U+FFFD replacement is not counted again when the
// target cannot hold it.
void CountToUnicode(const void* context, UConverterToUnicodeArgs* args, const char* bytes,
                    int32_t length, UConverterCallbackReason reason, UErrorCode* err) {
  if (reason <= UCNV_IRREGULAR) ++*static_cast<uint32_t*>(const_cast<void*>(context));
  KesIcuLibrary::Get().toUSubstitute(nullptr, args, bytes, length, reason, err);
}

void CountFromUnicode(const void* context, UConverterFromUnicodeArgs* args, const UChar* units,
                      int32_t length, UChar32 codePoint, UConverterCallbackReason reason,
                      UErrorCode* err) {
  if (reason <= UCNV_IRREGULAR && codePoint != 0xFFFD) {
    ++*static_cast<uint32_t*>(const_cast<void*>(context));
  }
  KesIcuLibrary::Get().fromUSubstitute(nullptr, args, units, length, codePoint, reason, err);
}

}  // namespace

// UTF-8 to UTF-8 is converted without ICU, so ICU is not even loaded for it.
KesConverter::KesConverter(long sourceCodePage, long targetCodePage)
    : _impl(sourceCodePage == kUtf8 && targetCodePage == kUtf8
                ? nullptr
                : std::make_unique<Impl>(OpenConverter(sourceCodePage),
                                         OpenConverter(targetCodePage))),
      _source(sourceCodePage),
      _target(targetCodePage) {}

// A code set without a number: _target 0 keeps Convert on the ICU path.
KesConverter::KesConverter(long sourceCodePage, const std::string& targetCodeSet)
    : _impl(std::make_unique<Impl>(OpenConverter(sourceCodePage), OpenConverter(targetCodeSet))),
      _source(sourceCodePage),
      _target(0) {}

KesConverter::~KesConverter() = default;

long KesConverter::GetCurrentOSCodePage() {
  const UserLocale user = FindUserLocale();
  if (user.locale == nullptr || std::strcmp(user.locale, "C") == 0 ||
      std::strcmp(user.locale, "POSIX") == 0) {
    return kUtf8;
  }
  const std::string locale(user.locale);
  const std::string set = CodeSetOf(locale);
  if (set.empty()) {
    // C.anything is UTF-8; a locale such as en_US uses ISO-8859-1, de_DE@euro ISO-8859-15.
    if (locale.rfind("C", 0) == 0) return kUtf8;
    return ModifierOf(locale) == "euro" ? 923 : 819;
  }
  std::string key;
  for (char c : set) {
    if (c != '-' && c != '_') key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (key == "utf8") return kUtf8;
  if (key == "iso88591") return 819;
  if (key == "iso885915") return 923;
  if (key == "cp1252" || key == "windows1252") return 1252;
  if (key == "ansix3.41968" || key == "ascii" || key == "usascii") return 367;
  ConverterPtr named = TryOpen(set);
  if (!named) {
    std::string warning = std::string("Warning: the code set \"") + set + "\" of " + user.variable +
                          "=" + locale + " is unknown; text is written as UTF-8\n";
    std::fputs(warning.c_str(), stderr);
    return kUtf8;
  }
  return NumberOf(named.get());
}

std::string KesConverter::GetCurrentOSCodeSet() {
  const UserLocale user = FindUserLocale();
  return user.locale == nullptr ? std::string() : CodeSetOf(user.locale);
}

uint32_t KesConverter::Convert(const char* bytes, uint32_t count, KesString& result, int strict) {
  _substitutions = 0;
  result = KesString();
  if (bytes == nullptr) return 0;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  KesString out("", 0);

  if (_source == kUtf8 && _target == kUtf8) {
    // Equal code pages: a validated copy; each invalid sequence becomes U+FFFD.
    static const unsigned char replacement[] = {0xEF, 0xBF, 0xBD};
    out.Reserve(count);
    size_t at = 0, outLen = 0;
    while (at < count) {
      size_t n = Utf8Sequence(in + at, count - at);
      if (n != 0) {
        size_t run = at;
        while (run < count && (n = Utf8Sequence(in + run, count - run)) != 0) run += n;
        out.Reserve(static_cast<uint32_t>(outLen + (run - at)));
        std::memcpy(out.Data() + outLen, in + at, run - at);
        outLen += run - at;
        out.SetLength(static_cast<uint32_t>(outLen));
        at = run;
        continue;
      }
      if (strict != 0) return ++_substitutions;
      ++_substitutions;
      out.Reserve(static_cast<uint32_t>(outLen + 3));
      std::memcpy(out.Data() + outLen, replacement, 3);
      outLen += 3;
      out.SetLength(static_cast<uint32_t>(outLen));
      ++at;
    }
    result = out;
    return _substitutions;
  }

  const KesIcuLibrary& icu = KesIcuLibrary::Get();
  UErrorCode status = U_ZERO_ERROR;
  _impl->_count = 0;
  if (strict != 0) {
    icu.setToUCallBack(_impl->_to.get(), icu.toUStop, nullptr, nullptr, nullptr, &status);
    icu.setFromUCallBack(_impl->_from.get(), icu.fromUStop, nullptr, nullptr, nullptr, &status);
  } else {
    icu.setToUCallBack(_impl->_to.get(), CountToUnicode, &_impl->_count, nullptr, nullptr, &status);
    icu.setFromUCallBack(_impl->_from.get(), CountFromUnicode, &_impl->_count, nullptr, nullptr,
                         &status);
  }
  icu.resetToUnicode(_impl->_to.get());
  icu.resetFromUnicode(_impl->_from.get());

  UChar pivot[4096];
  UChar* pivotSource = pivot;
  UChar* pivotTarget = pivot;
  const char* src = bytes;
  const char* srcLimit = bytes + count;
  size_t outLen = 0;
  size_t capacity = static_cast<size_t>(count) + count / 8 + 16;
  bool reset = true;
  for (;;) {
    if (capacity > UINT32_MAX - 1) capacity = UINT32_MAX - 1;
    out.Reserve(static_cast<uint32_t>(capacity));
    char* target = reinterpret_cast<char*>(out.Data()) + outLen;
    char* targetStart = target;
    char* targetLimit = reinterpret_cast<char*>(out.Data()) + capacity;
    status = U_ZERO_ERROR;
    icu.convertEx(_impl->_from.get(), _impl->_to.get(), &target, targetLimit, &src, srcLimit, pivot,
                  &pivotSource, &pivotTarget, pivot + 4096, reset, true, &status);
    reset = false;
    outLen += static_cast<size_t>(target - targetStart);
    out.SetLength(static_cast<uint32_t>(outLen));  // Reserve keeps only the bytes in use
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      if (capacity == UINT32_MAX - 1) return _substitutions;  // cannot hold it: null result
      capacity = capacity + capacity / 2 + 64;
      continue;
    }
    if (U_FAILURE(status)) {
      // Only the stopping callbacks of the strict mode fail here.
      _substitutions = 1;
      return _substitutions;
    }
    break;
  }
  _substitutions = _impl->_count;
  result = out;
  return _substitutions;
}
