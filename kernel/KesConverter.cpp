#include "KesConverter.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KesException.h"

namespace {

constexpr long kUtf8 = 1208;

// ICU's name for a code page number.
std::string IcuName(long codePage) {
  switch (codePage) {
    case 1208: return "UTF-8";
    case 819: return "ISO-8859-1";
    case 923: return "ISO-8859-15";
    case 1252: return "windows-1252";
    case 367: return "US-ASCII";
    case 1200: return "UTF-16BE";
    case 1202: return "UTF-16LE";
    default: return "ibm-" + std::to_string(codePage);
  }
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr OpenConverter(long codePage) {
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr c(ucnv_open(IcuName(codePage).c_str(), &status));
  if (U_FAILURE(status)) {
    std::string text = "unknown code page " + std::to_string(codePage) + " (" +
                       u_errorName(status) + ")";
    throw KesException(KesString(text.c_str()));
  }
  return c;
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
  Impl(long source, long target) : _to(OpenConverter(source)), _from(OpenConverter(target)) {}

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
  UCNV_TO_U_CALLBACK_SUBSTITUTE(nullptr, args, bytes, length, reason, err);
}

void CountFromUnicode(const void* context, UConverterFromUnicodeArgs* args, const UChar* units,
                      int32_t length, UChar32 codePoint, UConverterCallbackReason reason,
                      UErrorCode* err) {
  if (reason <= UCNV_IRREGULAR && codePoint != 0xFFFD) {
    ++*static_cast<uint32_t*>(const_cast<void*>(context));
  }
  UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, codePoint, reason, err);
}

}  // namespace

KesConverter::KesConverter(long sourceCodePage, long targetCodePage)
    : _impl(std::make_unique<Impl>(sourceCodePage, targetCodePage)),
      _source(sourceCodePage),
      _target(targetCodePage) {}

KesConverter::~KesConverter() = default;

long KesConverter::GetCurrentOSCodePage() {
  const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  const char* locale = nullptr;
  for (const char* name : names) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') {
      locale = v;
      break;
    }
  }
  if (locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0) {
    return kUtf8;
  }
  std::string l(locale);
  size_t dot = l.find('.');
  if (dot == std::string::npos) {
    // A locale without a code set, such as en_US, uses ISO-8859-1; C.anything is UTF-8.
    return l.rfind("C", 0) == 0 ? kUtf8 : 819;
  }
  std::string set = l.substr(dot + 1, l.find('@', dot) == std::string::npos
                                          ? std::string::npos
                                          : l.find('@', dot) - dot - 1);
  std::string key;
  for (char c : set) {
    if (c != '-' && c != '_') key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (key == "utf8") return kUtf8;
  if (key == "iso88591") return 819;
  if (key == "iso885915") return 923;
  if (key == "cp1252" || key == "windows1252") return 1252;
  if (key == "ansix3.41968" || key == "ascii" || key == "usascii") return 367;
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr c(ucnv_open(set.c_str(), &status));
  if (U_SUCCESS(status)) {
    int32_t ccsid = ucnv_getCCSID(c.get(), &status);
    if (U_SUCCESS(status) && ccsid > 0) return ccsid;
  }
  return kUtf8;
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

  UErrorCode status = U_ZERO_ERROR;
  _impl->_count = 0;
  if (strict != 0) {
    ucnv_setToUCallBack(_impl->_to.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    ucnv_setFromUCallBack(_impl->_from.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr,
                          nullptr, &status);
  } else {
    ucnv_setToUCallBack(_impl->_to.get(), CountToUnicode, &_impl->_count, nullptr, nullptr,
                        &status);
    ucnv_setFromUCallBack(_impl->_from.get(), CountFromUnicode, &_impl->_count, nullptr,
                          nullptr, &status);
  }
  ucnv_resetToUnicode(_impl->_to.get());
  ucnv_resetFromUnicode(_impl->_from.get());

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
    ucnv_convertEx(_impl->_from.get(), _impl->_to.get(), &target, targetLimit, &src, srcLimit,
                   pivot, &pivotSource, &pivotTarget, pivot + 4096, reset, true, &status);
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
