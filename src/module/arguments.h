// Binding of rsr_gemm's call arguments and their conversion to native values.
#pragma once

#include "py_ref.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace vesk {

// A bytes object's internal buffer, valid while the object lives.
struct ByteView {
  const char *data = nullptr;
  std::size_t size = 0;
};

struct GemmArguments {
  // The bound argument objects, each held until the call returns: Python code
  // run during the call (an __index__, a garbage collection's callbacks) may
  // drop every other reference to them, and the byte views point into two.
  std::array<PyRef, 6> objects;
  ByteView a, b;
  std::int32_t n = 0, k = 0, m = 0, block_size = 0;
};

// Binds a fast call's positional and keyword arguments to the six parameters
// and converts them in parameter order. Returns false with a TypeError or
// OverflowError (or an __index__ method's own exception) set.
bool parse_gemm_arguments(PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames, GemmArguments &out);

} // namespace vesk
