# Build settings shared by the extension module and the stand-alone kernel
# tests: C++17, warnings on, and the optional sanitizers.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()

if(MSVC)
  add_compile_options(/W4 /EHsc)
else()
  add_compile_options(-Wall -Wextra)
endif()

# AddressSanitizer and UndefinedBehaviorSanitizer for CI; any UB report aborts
# the process. Defaults from the environment so the kernel tests that pytest
# builds follow the sanitized CI run. The interpreter itself is not
# instrumented, so the ASan runtime must be preloaded:
# LD_PRELOAD=$(g++ -print-file-name=libasan.so).
option(VESK_SANITIZE "Build with AddressSanitizer and UBSan"
       "$ENV{VESK_SANITIZE}")
if(VESK_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "VESK_SANITIZE needs GCC or Clang")
  endif()
  set(vesk_sanitize_flags -fsanitize=address,undefined
                          -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${vesk_sanitize_flags} -g)
  add_link_options(${vesk_sanitize_flags})
endif()
