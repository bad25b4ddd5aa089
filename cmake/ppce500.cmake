# Bare-metal build for QEMU's ppce500 machine (an e500v2 core, as on the
# board): cmake -S . -B build-ppce500 -DCMAKE_TOOLCHAIN_FILE=cmake/ppce500.cmake
# Configuring runs scripts/build-ppce500-runtime.sh, which prepares newlib,
# zlib's inflate and LzmaDec inside the build folder (about a minute the first
# time). The programs are ELF files for QEMU's -kernel: scripts/run-ppce500.sh.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_ASM_COMPILER powerpc-linux-gnu-gcc)
# The compiler checks cannot link a program before the runtime exists.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(STK_TARGET ppce500)

# Headers: the C++ library's, then the compiler's own, then newlib's (in the
# build folder), never the cross compiler's glibc headers. libc_compat comes
# first: it corrects the C++ library's glibc configuration for newlib and a
# single task.
if(NOT STK_PPCE500_RUNTIME)
  set(STK_PPCE500_RUNTIME ${CMAKE_BINARY_DIR}/runtime)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES STK_PPCE500_RUNTIME)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
  OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE search_result)
if(NOT search_result EQUAL 0)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} is missing: run scripts/install-deps.sh")
endif()
string(REGEX REPLACE ".*search starts here:\n(.*)End of search list.*" "\\1" search "${search}")
string(REGEX REPLACE "[ \n]+" ";" search "${search}")
set(STK_PPCE500_CXX_INCLUDES "")
set(STK_PPCE500_C_INCLUDES "")
foreach(dir ${search})
  if(dir MATCHES "/c\\+\\+/")
    string(APPEND STK_PPCE500_CXX_INCLUDES " -isystem ${dir}")
  elseif(dir MATCHES "gcc-cross/[^/]+/[^/]+/include$")
    string(APPEND STK_PPCE500_C_INCLUDES " -isystem ${dir}")
  endif()
endforeach()
set(STK_PPCE500_COMPAT ${CMAKE_CURRENT_LIST_DIR}/../src/platform/ppce500/libc_compat)
string(APPEND STK_PPCE500_C_INCLUDES " -isystem ${STK_PPCE500_RUNTIME}/include")
set(STK_PPCE500_C_INCLUDES "-nostdinc${STK_PPCE500_C_INCLUDES}")
set(STK_PPCE500_CXX_INCLUDES
  "-nostdinc -isystem ${STK_PPCE500_COMPAT}${STK_PPCE500_CXX_INCLUDES} ${STK_PPCE500_C_INCLUDES}")
# The core traps classic floating point (soft float); newlib's headers need a
# 64-bit long double; Debian's compiler makes PIE unless told otherwise.
# Address 0 is SDRAM here, so a null pointer check must not be assumed away.
set(STK_PPCE500_FLAGS "-mcpu=8548 -msoft-float -mlong-double-64 -fno-pie -Wa,-mregnames \
-fno-delete-null-pointer-checks -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${STK_PPCE500_FLAGS} ${STK_PPCE500_C_INCLUDES}")
set(CMAKE_ASM_FLAGS_INIT "${STK_PPCE500_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${STK_PPCE500_FLAGS} ${STK_PPCE500_CXX_INCLUDES} \
-fno-exceptions -fno-rtti -fno-threadsafe-statics")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-no-pie -nostdlib -nostartfiles -static -Wl,--gc-sections -Wl,--build-id=none")
