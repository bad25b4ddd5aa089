// The C++ library's locale model, reduced to the "C" locale: its glibc model
// needs glibc's locale objects, which newlib does not have. Only the
// declarations that headers such as <memory> reach are given; the board's
// program uses no streams or locales.
#ifndef _GLIBCXX_CXX_LOCALE_H
#define _GLIBCXX_CXX_LOCALE_H 1

#pragma GCC system_header

#include <clocale>
#include <cstdarg>
#include <cstdio>

#define _GLIBCXX_NUM_CATEGORIES 6

namespace std _GLIBCXX_VISIBILITY(default) {
_GLIBCXX_BEGIN_NAMESPACE_VERSION

typedef int* __c_locale;

// Formats a number as the "C" locale does (there is no other).
inline int __convert_from_v(const __c_locale&, char* __out, const int __size, const char* __fmt,
                            ...) {
    va_list __args;
    va_start(__args, __fmt);
    const int __ret = std::vsnprintf(__out, __size, __fmt, __args);
    va_end(__args);
    return __ret;
}

_GLIBCXX_END_NAMESPACE_VERSION
}  // namespace std

#endif
