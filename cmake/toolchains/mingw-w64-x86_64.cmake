# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
# or scripts/build windows. The programs run on Linux under Wine through
# scripts/wine-run, which ctest and GoogleTest's discovery use as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix compilers: their C++ runtime has std::thread and std::future
# (the -win32 flavour has neither in this GCC).
set(_orvix_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_orvix_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_orvix_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_orvix_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_orvix_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC's runtime libraries linked in, so a program runs from wherever it lies
# without libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run")

# No CPython 3.12 for Windows is at hand: the build covers what needs no interpreter.
set(ORVIX_PYTHON_MODULES OFF CACHE BOOL "Build the extension modules")
