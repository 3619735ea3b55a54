#include "result_list.h"

#include "internal_failure.h"

namespace vesk {

PyRef build_result_list(const std::int32_t *values, std::size_t count) {
  PyRef list = expect_object(PyList_New(static_cast<Py_ssize_t>(count)),
                             VESK_HERE);
  for (std::size_t i = 0; i < count; ++i) {
    PyObject *item = expect_object(PyLong_FromLong(values[i]), VESK_HERE).release();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

} // namespace vesk
