# Cross-compiling for 64-bit Windows with MinGW-w64 (Debian and Ubuntu:
# apt-get install g++-mingw-w64-x86-64):
#
#   cmake -S tests/kernel -B build/windows \
#         -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
#
# The compiler is the posix thread model's (x86_64-w64-mingw32-g++-posix):
# with GCC 12, as in Debian 12, the win32 model's libstdc++ has no
# std::thread, std::mutex or std::call_once, so code that is correct C++17
# would fail to build for Windows alone. The posix model's one cost, the
# libwinpthread DLL, is gone with -static, which also links libgcc and
# libstdc++ in, so an .exe runs anywhere, under Wine too, with no DLL beside
# it. Any other MinGW-w64 g++ can be named with VESK_MINGW_CXX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VESK_MINGW_CXX "x86_64-w64-mingw32-g++-posix" CACHE STRING
    "MinGW-w64 C++ compiler for 64-bit Windows")
set(CMAKE_CXX_COMPILER "${VESK_MINGW_CXX}")
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL of the compiler's own to ship beside a program or a .pyd.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
