# 32-bit x86 Linux on a 64-bit build machine (g++-multilib): the host's record
# layout and the engine's numbers in a 32-bit process. SSE2 scalar arithmetic,
# never x87. Programs run under user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# The emulated processor has SSE2 but no AVX, so the engine takes the same code
# paths as in the Windows DLL (which is built without the AVX kernels).
find_program(KORVAX_QEMU_I386 qemu-i386 REQUIRED)
set(KORVAX_I386_EMULATOR ${KORVAX_QEMU_I386} -L / -cpu coreduo CACHE STRING "Runs the 32-bit programs")
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVAX_I386_EMULATOR})

# Debian's GoogleTest packages are 64-bit only; build it from its sources.
set(KORVAX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built with the project")
