# Cross-compiling for Windows with Debian's mingw-w64, the -posix variant (which has
# std::thread), for the triplet that the including file sets. The programs link statically:
# they import nothing beyond the system's DLLs. Build-time tools are built for the build
# machine; tests run under wine (tools/wine-run) with the build's own wine prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${OSCSET_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSCSET_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${OSCSET_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${OSCSET_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run --prefix ${CMAKE_BINARY_DIR}/wineprefix)
