# The MinGW-w64 cross build for Windows, shared by the 32-bit and 64-bit
# toolchain files, which set tarnelo_mingw (the compilers' target) and
# CMAKE_SYSTEM_PROCESSOR first. The -posix thread model is needed by
# GoogleTest (std::mutex); the launcher itself uses only Win32.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${tarnelo_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tarnelo_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${tarnelo_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${tarnelo_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
