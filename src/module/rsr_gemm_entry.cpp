#include "rsr_gemm_entry.h"

#include "arguments.h"
#include "py_text.h"
#include "result_list.h"
#include "rsr_kernel.h"

#include <string>

namespace vesk {
namespace {

bool check_length(const ByteView &buffer, const char *name, const char *dims,
                  std::int64_t needed) {
  if (buffer.size >= static_cast<std::uint64_t>(needed))
    return true;
  raise_message(PyExc_ValueError, std::string(name) + " holds " +
                                      std::to_string(buffer.size) +
                                      " bytes, but " + dims + " = " +
                                      std::to_string(needed) + " are needed");
  return false;
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
  raise_message(PyExc_OverflowError,
                "k = " + std::to_string(args.k) +
                    " is too large: every sum is exact in 32 bits only up "
                    "to k = " +
                    std::to_string(kMaxExactDepth));
  return false;
}

// The list of the n x m product of the converted arguments, or an empty
// reference with the exception set.
PyRef compute_product(const GemmArguments &args) {
  const std::int64_t count = std::int64_t{args.n} * args.m;
  if (count < 0)
    fail("capacity overflow", VESK_HERE);
  // Checked before the empty case, so n = 0 does not hide a negative m.
  if (args.m < 0) {
    raise_message(PyExc_ValueError,
                  "m must not be negative, got " + std::to_string(args.m));
    return PyRef();
  }
  if (count == 0)
    return expect_object(PyList_New(0), VESK_HERE);
  if (!check_inputs(args))
    return PyRef();
  // The list's own storage is the output buffer, and the part of it the
  // output does not use is the kernel's workspace for its tables, so the call
  // needs no other allocation of that size.
  ResultList result(static_cast<std::size_t>(count));
  if (!result)
    return PyRef();
  rsr_gemm_kernel(reinterpret_cast<const std::uint8_t *>(args.a.data),
                  reinterpret_cast<const std::int8_t *>(args.b.data),
                  result.values(), nullptr, args.n, args.k, args.m,
                  args.block_size, result.workspace());
  return result.finish();
}

} // namespace

PyObject *rsr_gemm(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) {
  return run_entry([&] {
    GemmArguments parsed;
    if (!parse_gemm_arguments(args, nargs, kwnames, parsed))
      return PyRef();
    return compute_product(parsed);
  });
}

} // namespace vesk
