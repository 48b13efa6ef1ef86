# 32-bit Windows: the program as its users run it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(OSCSET_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
