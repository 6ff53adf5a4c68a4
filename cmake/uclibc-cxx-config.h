// Included first in every C++ file of the uClibc build. The compiler's C++
// headers are configured for glibc and bring in ("using ::name;") C functions
// that uClibc, as cmake/build-uclibc.sh builds it, does not declare: no wide
// characters, no quick_exit, no timespec_get, no tmpnam. Here they are told
// what this C library has.
#include <bits/c++config.h>

#undef _GLIBCXX_HAVE_AT_QUICK_EXIT
#undef _GLIBCXX_HAVE_QUICK_EXIT
#undef _GLIBCXX_HAVE_TIMESPEC_GET
#undef _GLIBCXX_HAVE_MBSTATE_T
#undef _GLIBCXX_USE_WCHAR_T
#undef _GLIBCXX_USE_TMPNAM
#define _GLIBCXX_USE_TMPNAM 0
