# Cross build for 64-bit Windows with MinGW-w64 (tarnelo64.exe), the tests
# run under Wine's 64-bit loader. It is called by its own name: where the
# 32-bit Wine is installed, `wine` always execs the 32-bit loader first,
# which fails on a machine that runs 64-bit code only.
set(tarnelo_mingw x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
find_program(WINE_PROGRAM NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
