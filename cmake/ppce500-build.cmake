# The bare-metal PowerPC build (configured with cmake/ppce500.cmake): the
# platform below the interface with its runtime (src/platform/ppce500), the
# boot program's folders over it (src/CMakeLists.txt), and the programs:
# stkboot.elf and the demo operational code. Device models, tools, tests and
# benchmarks are host-only.
enable_language(C ASM)
set(STK_INFLATE_LIBRARIES ppce500_zlib ppce500_lzmadec)
add_subdirectory(src)

stk_add_ppce500_program(stkboot
  SOURCES ${CMAKE_SOURCE_DIR}/src/program/ppce500/main.cpp
  LIBRARIES stk_boot)
set_target_properties(stkboot PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The demo operational code: a program of its own, not linked with the platform.
add_subdirectory(tools/ppce500_demo)

# The console line's limit for bench/ppce500_race.py: a program that only
# counts the bytes the console layer reads.
stk_add_ppce500_program(ppce500_line_sink
  SOURCES ${CMAKE_SOURCE_DIR}/bench/ppce500_line_sink.cpp
  LIBRARIES stk_platform)
set_target_properties(ppce500_line_sink PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
