# Cross build for 64-bit Windows with MinGW-w64: the child SDK and the
# programs that show it behind the 32-bit launcher (run under a 64-bit
# Wine prefix of their own).
set(tarnelo_mingw x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
