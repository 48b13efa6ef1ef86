# Warnings, sanitizers and the helper that every layer uses to declare its library.

set(OSCSET_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address;undefined' or 'thread'")
option(OSCSET_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

add_library(oscset_options INTERFACE)
target_compile_features(oscset_options INTERFACE cxx_std_20)
target_include_directories(oscset_options INTERFACE ${PROJECT_SOURCE_DIR})
if(MSVC)
    target_compile_options(oscset_options INTERFACE /W4)
else()
    target_compile_options(oscset_options INTERFACE -Wall -Wextra -Wpedantic)
    # The divider search must choose the same pair on every target: IEEE double, each
    # operation rounded once. No fused multiply-add, and on 32-bit x86 SSE2 instead of the
    # x87 unit's 80-bit intermediates.
    target_compile_options(oscset_options INTERFACE -ffp-contract=off)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86|X86|AMD64|x86_64)$")
        target_compile_options(oscset_options INTERFACE -msse2 -mfpmath=sse)
    endif()
endif()

if(OSCSET_SANITIZE)
    list(JOIN OSCSET_SANITIZE "," _san)
    target_compile_options(oscset_options INTERFACE -fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(oscset_options INTERFACE -fsanitize=${_san})
endif()
if(OSCSET_FUZZ)
    # Every library gets coverage instrumentation; only the fuzz targets link the fuzzer's main.
    target_compile_options(oscset_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    target_link_options(oscset_options INTERFACE -fsanitize=address,undefined)
endif()

# oscset_layer(<name> SOURCES ... [DEPENDS ...]): one static library per layer.
function(oscset_layer name)
    cmake_parse_arguments(L "" "" "SOURCES;DEPENDS" ${ARGN})
    add_library(${name} STATIC ${L_SOURCES})
    target_link_libraries(${name} PUBLIC oscset_options ${L_DEPENDS})
endfunction()
