# Common compiler settings and helpers shared by every target of the tree.

find_program(MP_CCACHE ccache)
if(MP_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
    set(CMAKE_C_COMPILER_LAUNCHER "${MP_CCACHE}")
    set(CMAKE_CXX_COMPILER_LAUNCHER "${MP_CCACHE}")
endif()

# 64-bit file offsets in every translation unit of every target (GoogleTest's included): off_t is
# 64 bits on the 32-bit board as on the host, so packages, slot files and record offsets beyond
# 2 GiB work alike in both builds, and no two files of one program disagree on the size of off_t.
add_compile_definitions(_FILE_OFFSET_BITS=64)

add_library(mp_options INTERFACE)
target_compile_options(mp_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wundef -Wcast-align -Wnon-virtual-dtor
    -Wimplicit-fallthrough)
if(MP_WERROR)
    target_compile_options(mp_options INTERFACE -Werror)
endif()
# Every module includes its neighbours as "crc/crc.hpp", "platform/platform.hpp", ...
target_include_directories(mp_options INTERFACE ${PROJECT_SOURCE_DIR}/src)

if(MP_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# mp_use_platform(TARGET mp_platform_linux|mp_platform_sandbox)
# The implementation of the seam an executable is linked with: its link to the library (the edge
# `cmake --graphviz` shows) and its MP_PLATFORM property, which places that library after every
# caller of the seam on the link line (see src/CMakeLists.txt).
function(mp_use_platform target platform)
    set_target_properties(${target} PROPERTIES MP_PLATFORM ${platform})
    target_link_libraries(${target} PRIVATE ${platform})
endfunction()

# mp_add_unit_test(NAME SOURCES a.cpp b.cpp LIBS lib... [PLATFORM lib] [LABELS l...])
# One GoogleTest binary per module. Cross builds run it through CMAKE_CROSSCOMPILING_EMULATOR.
# The sandbox platform unless PLATFORM names another.
function(mp_add_unit_test name)
    cmake_parse_arguments(ARG "" "PLATFORM" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ARG_PLATFORM)
        set(ARG_PLATFORM mp_platform_sandbox)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE mp_options ${ARG_LIBS} mp_test_main GTest::gmock)
    mp_use_platform(${name} ${ARG_PLATFORM})
    # Table rows without names of their own keep their index: a row's printed value (bytes of a
    # struct, pointers among them) would make a name that changes from build to build.
    gtest_discover_tests(${name}
        NO_PRETTY_VALUES
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS "unit;${ARG_LABELS}")
endfunction()
