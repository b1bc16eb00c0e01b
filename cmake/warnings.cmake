# Compiler settings shared by the launcher's targets. Built for size: no
# -fdata-sections (with it MinGW places zero-filled variables in .data,
# where they take room in the file, instead of .bss), no unwind tables (no
# exceptions anywhere) and no compiler ident string in every object.
function(tarnelo_product_options target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2 -Werror
        -fno-exceptions -fno-rtti -Os -ffunction-sections
        -fno-asynchronous-unwind-tables -fno-ident)
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    target_link_options(${target} PRIVATE -Wl,--gc-sections -static-libgcc -static-libstdc++)
    # x86-64 MinGW reaches every global through a pointer in case a DLL
    # holds it; the launcher's are all its own (data imports are refused at
    # link time), so they are reached directly: smaller code.
    if(MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 8)
        target_compile_options(${target} PRIVATE -mcmodel=small)
    endif()
endfunction()

function(tarnelo_test_options target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    target_link_options(${target} PRIVATE -static)
endfunction()
