# vesk_add_python_module(<name> <source>...): a CPython 3.11 extension module
# named as the interpreter imports it.
#
# The module relies on CPython 3.11's object layout (it fills the result
# list's item storage itself and settles int reference counts in bulk), so
# any other version is refused here, at configure time.
#
# Cross-built for Windows x86-64 (.ci/windows-wheel), no interpreter of the
# target runs here: the caller names its headers, with the Windows
# pyconfig.h, as VESK_PYTHON_INCLUDE and the import library of its
# python311.dll as VESK_PYTHON_LIBRARY.
if(CMAKE_CROSSCOMPILING AND WIN32)
  set(VESK_PYTHON_INCLUDE "" CACHE PATH "Windows CPython 3.11's headers")
  set(VESK_PYTHON_LIBRARY "" CACHE FILEPATH "Import library of python311.dll")
  if(NOT VESK_PYTHON_INCLUDE OR NOT VESK_PYTHON_LIBRARY)
    message(FATAL_ERROR "cross-building a module for Windows needs "
                        "VESK_PYTHON_INCLUDE and VESK_PYTHON_LIBRARY")
  endif()
else()
  find_package(Python 3.11 EXACT REQUIRED COMPONENTS Interpreter
               Development.Module)
endif()

function(vesk_add_python_module name)
  if(CMAKE_CROSSCOMPILING AND WIN32)
    add_library(${name} MODULE ${ARGN})
    target_include_directories(${name} PRIVATE ${VESK_PYTHON_INCLUDE})
    target_compile_definitions(${name} PRIVATE MS_WIN64)
    target_link_libraries(${name} PRIVATE ${VESK_PYTHON_LIBRARY})
    set_target_properties(${name} PROPERTIES PREFIX ""
                                             SUFFIX ".cp311-win_amd64.pyd")
  else()
    python_add_library(${name} MODULE WITH_SOABI ${ARGN})
  endif()
  # Python's headers as ordinary include directories, not system ones: GCC
  # resolves a quoted include in a system directory through symlinks, so
  # Debian's debug headers (links to the release ones) would pick up the
  # release pyconfig.h and build a module without Py_DEBUG.
  set_target_properties(${name} PROPERTIES NO_SYSTEM_FROM_IMPORTED ON)
endfunction()
