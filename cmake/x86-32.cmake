# 32-bit x86 Linux code on any x86-64 machine (g++-multilib), run under qemu-i386 (qemu-user),
# so that the divider search is tested as 32-bit x86 code even where the kernel runs no 32-bit
# programs and no 32-bit wine can be had. The project's own flags add SSE2 arithmetic, as for
# 32-bit Windows.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
