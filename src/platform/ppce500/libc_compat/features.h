// The cross compiler's C++ library was configured for glibc and includes
// glibc's <features.h>; on the board the C library is newlib, and this header
// tells those C++ headers so (no glibc version is ever new enough).
#pragma once

#include <sys/features.h>

#define __GLIBC_PREREQ(major, minor) 0
