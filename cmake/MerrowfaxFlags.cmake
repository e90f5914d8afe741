# Compiler flags shared by every target of the project.

add_compile_options(-Wall -Wextra -Wpedantic)
if(MERROWFAX_WERROR)
    add_compile_options(-Werror)
endif()

if(MERROWFAX_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# Known, harmless reports inside third-party headers (see the file).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND (MERROWFAX_SANITIZE OR MERROWFAX_FUZZ))
    add_compile_options(-fsanitize-ignorelist=${CMAKE_CURRENT_LIST_DIR}/ubsan.ignorelist)
endif()

if(MERROWFAX_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "MERROWFAX_FUZZ needs clang (libFuzzer)")
    endif()
    # Every library is instrumented for coverage; only the fuzz executables link
    # libFuzzer's main.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# Qt: keep string conversions explicit and keywords out of the global namespace.
add_compile_definitions(QT_NO_KEYWORDS QT_NO_CAST_FROM_ASCII QT_NO_CONTEXTLESS_CONNECT)
