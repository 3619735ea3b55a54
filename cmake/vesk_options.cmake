# Build settings shared by the extension module and the stand-alone kernel
# tests: C++17, warnings on (optionally as errors), and the optional
# sanitizers.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()

if(MSVC)
  add_compile_options(/W4 /EHsc)
  # Not MSVC's "may be unsafe" warning (C4996) on standard functions such as
  # std::getenv, which the kernel uses as the standard defines it.
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
else()
  add_compile_options(-Wall -Wextra)
endif()

# Warnings as errors, for CI (the Windows cross-build sets it); off by default
# so that a newer compiler's new warning does not stop a user's install.
option(VESK_WERROR "Treat compiler warnings as errors" OFF)
if(VESK_WERROR)
  if(MSVC)
    add_compile_options(/WX)
  else()
    add_compile_options(-Werror)
  endif()
endif()

# AddressSanitizer and UndefinedBehaviorSanitizer for CI; any UB report aborts
# the process. Defaults from the environment so the kernel tests that pytest
# builds follow the sanitized CI run. The interpreter itself is not
# instrumented, so the ASan runtime must be preloaded:
# LD_PRELOAD=$(g++ -print-file-name=libasan.so).
option(VESK_SANITIZE "Build with AddressSanitizer and UBSan"
       "$ENV{VESK_SANITIZE}")
if(VESK_SANITIZE)
  # MinGW-w64's GCC has no AddressSanitizer runtime either.
  if(MSVC OR (MINGW AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU"))
    message(FATAL_ERROR "VESK_SANITIZE needs GCC or Clang (Clang alone on "
                        "Windows)")
  endif()
  set(vesk_sanitize_flags -fsanitize=address,undefined
                          -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${vesk_sanitize_flags} -g)
  add_link_options(${vesk_sanitize_flags})
endif()
