// The cross compiler's C++ library configuration (made for Linux and glibc),
// corrected for the board: one task and no threads (no gthreads, no futex
// waits), newlib as the C library (no C11 timespec_get).
#ifndef STK_PPCE500_CXX_CONFIG_H
#define STK_PPCE500_CXX_CONFIG_H

#include_next <bits/c++config.h>

#undef _GLIBCXX_HAS_GTHREADS
#undef _GLIBCXX_HAVE_LINUX_FUTEX
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_T
#undef _GLIBCXX_HAVE_TIMESPEC_GET

#endif
