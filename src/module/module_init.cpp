// The module's init function: single-phase initialisation of one module
// object per process, kept to the interpreter that first imported it.
#include "process_state.h"
#include "py_text.h"
#include "rsr_gemm_entry.h"

#include <cstdint>
#include <cstring>

namespace vesk {
namespace {

constexpr const char *kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_vesk_backend",
    "", // an empty __doc__, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The docstring holds only the signature, so the interpreter derives
// __text_signature__ from it and leaves __doc__ None.
PyMethodDef g_rsr_gemm_def = {
    "rsr_gemm",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rsr_gemm)),
    METH_FASTCALL | METH_KEYWORDS,
    "rsr_gemm(a_bytes, b_bytes, n, k, m, block_size)\n--\n\n",
};

bool claim_interpreter() {
  const std::int64_t current =
      PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) {
    propagate_interpreter_error();
    return false;
  }
  std::int64_t expected = -1;
  if (g_process.owner_interpreter.compare_exchange_strong(expected, current) ||
      expected == current)
    return true;
  raise_message(PyExc_ImportError, kSubinterpreterMessage);
  return false;
}

// The module's __all__ list, created when it is missing.
PyRef all_list(PyObject *module) {
  PyObject *all_name = interned(g_process.all_name, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    propagate_interpreter_error();
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
      return PyRef();
    PyErr_Clear();
    all = expect_object(PyList_New(0), VESK_HERE);
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) {
      propagate_interpreter_error();
      return PyRef();
    }
  }
  if (!PyList_Check(all.get())) {
    raise_conversion_error(all.get(), "PyList");
    return PyRef();
  }
  return all;
}

// A str of the module's name; the name must be UTF-8.
PyRef module_name(PyObject *module) {
  const char *name = PyModule_GetName(module);
  if (name == nullptr) {
    propagate_interpreter_error();
    return PyRef();
  }
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      name, static_cast<Py_ssize_t>(std::strlen(name)), "strict"));
  if (!text && !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    propagate_interpreter_error(); // out of memory: not a fault of the name
    return PyRef();
  }
  if (!text) {
    PyErr_Clear();
    fail(std::string("PyModule_GetName expected to return utf8: ") + name,
         VESK_HERE);
  }
  return text;
}

// Adds the function object and lists it in __all__.
bool add_function(PyObject *module) {
  PyRef name = module_name(module);
  if (!name)
    return false;
  PyRef function =
      PyRef::steal(PyCMethod_New(&g_rsr_gemm_def, module, name.get(), nullptr));
  if (!function) {
    propagate_interpreter_error();
    return false;
  }
  PyRef function_name = PyRef::steal(PyObject_GetAttr(
      function.get(), interned(g_process.name_name, "__name__")));
  if (!function_name) {
    propagate_interpreter_error();
    return false;
  }
  if (!PyUnicode_Check(function_name.get())) {
    raise_conversion_error(function_name.get(), "PyString");
    return false;
  }
  const std::string text = lenient_utf8(function_name.get());
  PyRef all = all_list(module);
  if (!all)
    return false;
  if (PyList_Append(all.get(), new_str(text, VESK_HERE).get()) < 0) {
    propagate_interpreter_error();
    PyErr_Clear();
    fail("could not append __name__ to __all__", VESK_HERE);
  }
  if (PyObject_SetAttr(module, new_str(text, VESK_HERE).get(), function.get()) <
      0) {
    propagate_interpreter_error();
    return false;
  }
  return true;
}

// A new module with its function, or an empty reference with the exception
// set; nothing is cached until the module is complete.
PyRef create_module() {
  PyRef module =
      PyRef::steal(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
  if (!module) {
    propagate_interpreter_error();
    return PyRef();
  }
  if (!add_function(module.get()))
    return PyRef();
  // A nested initialisation may have filled the cache meanwhile; keep that.
  if (g_process.module == nullptr)
    g_process.module = module.release();
  return PyRef::borrow(g_process.module);
}

} // namespace
} // namespace vesk

PyMODINIT_FUNC PyInit__vesk_backend(void) {
  return vesk::run_entry([] {
    if (!vesk::claim_interpreter())
      return vesk::PyRef();
    if (vesk::g_process.module != nullptr)
      return vesk::PyRef::borrow(vesk::g_process.module);
    return vesk::create_module();
  });
}
