#include "call_path.h"

#include "arguments.h"
#include "internal_failure.h"
#include "result_list.h"
#include "rsr_kernel.h"

#include <string>

namespace vesk {
namespace {

bool raise_value_error(const std::string &message) {
  PyRef text = new_str(message, VESK_HERE);
  PyErr_SetObject(PyExc_ValueError, text.get());
  return false;
}

bool check_length(const ByteView &buffer, const char *name, const char *dims,
                  std::int64_t needed) {
  if (buffer.size >= static_cast<std::uint64_t>(needed))
    return true;
  return raise_value_error(std::string(name) + " holds " +
                           std::to_string(buffer.size) + " bytes, but " + dims +
                           " = " + std::to_string(needed) + " are needed");
}

// Refuses inputs the kernel must not see: buffers shorter than the dimensions
// say (they would be read past their end) and a depth at which 32-bit sums
// could overflow. Only called when there is output to compute.
bool check_inputs(const GemmArguments &args) {
  if (args.k <= 0)
    return true;
  if (!check_length(args.a, "a_bytes", "n*k", std::int64_t{args.n} * args.k) ||
      !check_length(args.b, "b_bytes", "k*m", std::int64_t{args.k} * args.m))
    return false;
  if (args.k <= kMaxExactDepth)
    return true;
  PyErr_Format(PyExc_OverflowError,
               "k = %ld is too large: every sum is exact in 32 bits only up "
               "to k = %ld",
               static_cast<long>(args.k), static_cast<long>(kMaxExactDepth));
  return false;
}

PyObject *multiply(const GemmArguments &args) {
  const std::int64_t count = std::int64_t{args.n} * args.m;
  if (count < 0)
    fail("capacity overflow", VESK_HERE);
  // Checked before the empty case, so n = 0 does not hide a negative m.
  if (args.m < 0) {
    raise_value_error("m must not be negative, got " + std::to_string(args.m));
    return nullptr;
  }
  if (count == 0)
    return expect_object(PyList_New(0), VESK_HERE).release();
  if (!check_inputs(args))
    return nullptr;
  // The list's own storage is the output buffer, and the part of it the
  // output does not use is the kernel's workspace for its tables, so the call
  // needs no other allocation of that size.
  ResultList result(static_cast<std::size_t>(count));
  if (!result)
    return nullptr;
  rsr_gemm_kernel(reinterpret_cast<const std::uint8_t *>(args.a.data),
                  reinterpret_cast<const std::int8_t *>(args.b.data),
                  result.values(), nullptr, args.n, args.k, args.m,
                  args.block_size, result.workspace());
  return result.finish().release();
}

} // namespace

PyObject *rsr_gemm(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) {
  return run_entry([&]() -> PyObject * {
    GemmArguments parsed;
    if (!parse_gemm_arguments(args, nargs, kwnames, parsed))
      return nullptr;
    return multiply(parsed);
  });
}

} // namespace vesk
