# 64-bit Windows: the same sources, for running the tests under wine64 where the kernel runs
# no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OSCSET_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
