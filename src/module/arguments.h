// Binding of rsr_gemm's call arguments and their conversion to native values.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <cstdint>

namespace vesk {

// A bytes object's internal buffer, valid while the caller's argument lives.
struct ByteView {
  const char *data = nullptr;
  std::size_t size = 0;
};

struct GemmArguments {
  ByteView a, b;
  std::int32_t n = 0, k = 0, m = 0, block_size = 0;
};

// Binds a fast call's positional and keyword arguments to the six parameters
// and converts them in parameter order. Returns false with a TypeError or
// OverflowError (or an __index__ method's own exception) set. The byte
// buffers are borrowed from the caller's arguments.
bool parse_gemm_arguments(PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames, GemmArguments &out);

} // namespace vesk
