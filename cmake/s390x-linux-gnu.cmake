# Cross-build for s390x, a big-endian Linux target, run under qemu-user: the
# board's processor is big-endian too, so the tests catch byte-order faults
# here. scripts/test-be.sh prepares the folder STK_BE_SYSROOT (zlib, liblzma
# and the CLI11 headers for the target) and configures with this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

if(NOT STK_BE_SYSROOT)
  set(STK_BE_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-be/sysroot)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES STK_BE_SYSROOT)
set(CMAKE_FIND_ROOT_PATH ${STK_BE_SYSROOT} /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${STK_BE_SYSROOT}/usr/lib/s390x-linux-gnu/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${STK_BE_SYSROOT})

# Static programs need no target libraries at run time, and a test that starts
# one of them through the emulator needs no library path either.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
