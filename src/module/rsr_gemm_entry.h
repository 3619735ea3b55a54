// The fast-call entry of rsr_gemm.
#pragma once

#include "py_ref.h"

namespace vesk {

PyObject *rsr_gemm(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames);

} // namespace vesk
