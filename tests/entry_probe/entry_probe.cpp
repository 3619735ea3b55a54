// _entry_probe: entry points built on run_entry that throw what they are
// asked to, so the tests can see every kind of C++ exception reach Python as
// an exception rather than end the process. Not part of the shipped module.
#include "internal_failure.h"
#include "py_text.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace {

using vesk::PyRef;

[[noreturn]] void throw_kind(const char *kind) {
  if (std::strcmp(kind, "internal failure") == 0)
    vesk::fail("probe failure", VESK_HERE);
  if (std::strcmp(kind, "bad_alloc") == 0)
    throw std::bad_alloc();
  if (std::strcmp(kind, "length_error") == 0)
    throw std::length_error("probe length");
  if (std::strcmp(kind, "not UTF-8") == 0)
    throw std::runtime_error("probe \xff");
  throw 42;
}

// throw_from(kind): throws the exception named by `kind` from an entry point.
PyObject *throw_from(PyObject *, PyObject *kind) {
  return vesk::run_entry([kind]() -> PyRef {
    if (!PyUnicode_Check(kind)) {
      vesk::raise_conversion_error(kind, "PyString");
      return PyRef();
    }
    throw_kind(vesk::lenient_utf8(kind).c_str());
  });
}

// project_path(path): the path a failure report shows for a source file.
PyObject *project_path(PyObject *, PyObject *path) {
  return vesk::run_entry([path] {
    if (!PyUnicode_Check(path)) {
      vesk::raise_conversion_error(path, "PyString");
      return PyRef();
    }
    const std::string text = vesk::lenient_utf8(path);
    return vesk::new_str(vesk::project_path(text.c_str()), VESK_HERE);
  });
}

PyMethodDef g_methods[] = {
    {"throw_from", throw_from, METH_O, nullptr},
    {"project_path", project_path, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_entry_probe",
    nullptr,
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__entry_probe(void) {
  return PyModule_Create(&g_module_def);
}
