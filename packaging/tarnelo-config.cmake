# The tarnelo child SDK for a GUI program's own CMake build:
#
#   find_package(tarnelo CONFIG REQUIRED)
#   add_executable(app WIN32 main.c)
#   target_link_libraries(app PRIVATE tarnelo::child)
#
# The release carries the SDK as source, so tarnelo::child compiles it with
# the consumer's own compiler, for its architecture (32-bit or 64-bit) and
# its C runtime. Also defined: the launchers as imported programs,
# tarnelo::launcher (32-bit, bin/tarnelo.exe) and tarnelo::launcher64
# (64-bit, bin/tarnelo64.exe; either runs 32-bit and 64-bit programs), and
# TARNELO_SDK_SOURCE_DIR, the folder of the SDK's source and examples.
get_filename_component(_tarnelo_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(TARNELO_SDK_SOURCE_DIR "${_tarnelo_prefix}/src/sdk")

if(NOT TARGET tarnelo::child)
    if(NOT CMAKE_C_COMPILER_LOADED)
        enable_language(C)
    endif()
    add_library(tarnelo_child_sdk STATIC "${TARNELO_SDK_SOURCE_DIR}/tarnelo_child.c")
    target_include_directories(tarnelo_child_sdk PUBLIC "${_tarnelo_prefix}/include")
    set_target_properties(tarnelo_child_sdk PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
    add_library(tarnelo::child ALIAS tarnelo_child_sdk)
endif()

if(NOT TARGET tarnelo::launcher)
    add_executable(tarnelo::launcher IMPORTED)
    set_target_properties(tarnelo::launcher PROPERTIES IMPORTED_LOCATION "${_tarnelo_prefix}/bin/tarnelo.exe")
endif()
if(NOT TARGET tarnelo::launcher64)
    add_executable(tarnelo::launcher64 IMPORTED)
    set_target_properties(tarnelo::launcher64 PROPERTIES IMPORTED_LOCATION "${_tarnelo_prefix}/bin/tarnelo64.exe")
endif()
unset(_tarnelo_prefix)
