# The release: what `cmake --install` lays out and what cpack zips.
#
#   bin/tarnelo.exe             the launcher, nothing else of the build
#   bin/tarnelo64.exe           the same launcher for x86_64 (from the other
#                               build: TARNELO_PEER_BIN_DIR)
#   include/tarnelo_child.h     the child SDK's header
#   src/sdk/tarnelo_child.c     the SDK's one source file: it ships as source,
#                               to be compiled into the GUI program
#   src/sdk/examples/hello.c    a complete GUI program using it
#   src/sdk/examples/streams.cpp  a printf/std::cout program made to use it
#   lib/cmake/tarnelo/          the CMake package: find_package(tarnelo)
#                               gives tarnelo::child, built from src/sdk
#   docs/*.md                   protocol guide, user guide (README.md)
#   LICENSE, README.txt
#
# Test programs, the fault-injection build and GoogleTest have no install
# rules (tests/CMakeLists.txt keeps INSTALL_GTEST off), so they stay out.

# The package is named after the version, and the version users see is the
# one in the launcher's version resource: refuse to configure when the
# resource and project() disagree.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/tarnelo.rc)
file(STRINGS ${PROJECT_SOURCE_DIR}/res/tarnelo.rc tarnelo_rc_versions
     REGEX "^[ \t]*(FILEVERSION|PRODUCTVERSION)[ \t]|VALUE[ \t]+\"(File|Product)Version\"")
string(REPLACE "." "," tarnelo_rc_expected_numbers "${PROJECT_VERSION}")
set(tarnelo_rc_seen 0)
foreach(line IN LISTS tarnelo_rc_versions)
    if(line MATCHES "^[ \t]*(FILEVERSION|PRODUCTVERSION)[ \t]+([0-9, \t]+)$")
        string(REGEX REPLACE "[ \t]" "" numbers "${CMAKE_MATCH_2}")
        set(expected "${tarnelo_rc_expected_numbers}")
    elseif(line MATCHES "VALUE[ \t]+\"((File|Product)Version)\"[ \t]*,[ \t]*\"([^\"]*)\"")
        set(numbers "${CMAKE_MATCH_3}")
        set(expected "${PROJECT_VERSION}")
    else()
        message(FATAL_ERROR "res/tarnelo.rc: cannot read the version in: ${line}")
    endif()
    if(NOT numbers STREQUAL expected)
        message(FATAL_ERROR "res/tarnelo.rc says ${numbers} where project() says ${PROJECT_VERSION}: "
                            "change both together")
    endif()
    math(EXPR tarnelo_rc_seen "${tarnelo_rc_seen} + 1")
endforeach()
if(NOT tarnelo_rc_seen EQUAL 4)
    message(FATAL_ERROR "res/tarnelo.rc: expected FILEVERSION, PRODUCTVERSION and their two strings, found ${tarnelo_rc_seen}")
endif()

# A plain `cmake --install build` must not spread a Windows release over the
# default prefix of the machine that cross-builds (/usr/local there, also in
# build trees configured before this file existed): install into the build
# tree unless told otherwise (--prefix, or another CMAKE_INSTALL_PREFIX).
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR (CMAKE_CROSSCOMPILING AND CMAKE_INSTALL_PREFIX STREQUAL "/usr/local"))
    set(CMAKE_INSTALL_PREFIX ${CMAKE_BINARY_DIR}/install CACHE PATH "Where cmake --install puts the release" FORCE)
endif()

install(TARGETS tarnelo RUNTIME DESTINATION bin)
if(TARNELO_PEER_BIN_DIR)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        install(PROGRAMS ${TARNELO_PEER_BIN_DIR}/tarnelo.exe DESTINATION bin)
    else()
        install(PROGRAMS ${TARNELO_PEER_BIN_DIR}/tarnelo64.exe DESTINATION bin)
    endif()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/sdk/tarnelo_child.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/sdk/tarnelo_child.c DESTINATION src/sdk)
install(FILES ${PROJECT_SOURCE_DIR}/sdk/examples/hello.c DESTINATION src/sdk/examples)
# --- cmake package ---
install(FILES ${PROJECT_SOURCE_DIR}/sdk/examples/streams.cpp DESTINATION src/sdk/examples)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/tarnelo-config-version.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarnelo-config.cmake
              ${CMAKE_BINARY_DIR}/packaging/tarnelo-config-version.cmake
        DESTINATION lib/cmake/tarnelo)
# --- end cmake package ---
# Globbed when installing, so a guide added to docs/ ships without a change here.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs FILES_MATCHING PATTERN "*.md")
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION docs RENAME guide.md)

# The two plain-text files get CR LF line ends: they are read on Windows.
configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/packaging/LICENSE
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/LICENSE
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarnelo)
set(CPACK_PACKAGE_VENDOR "the tarnelo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Console launcher for GUI-subsystem Windows programs")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tarnelo-${PROJECT_VERSION}-win32)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
