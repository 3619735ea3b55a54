// The module's init function: single-phase initialisation of one module
// object per process, kept to the interpreter that first imported it.
#include "arguments.h"
#include "call_path.h"
#include "internal_failure.h"

#include <atomic>
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

// Claimed once, atomically, by the first interpreter to import the module;
// never released.
std::atomic<std::int64_t> g_owner_interpreter{-1};
// The module object, filled by the first successful initialisation and kept
// for the life of the process.
PyObject *g_module = nullptr;

PyObject *g_all_name = nullptr;
PyObject *g_name_name = nullptr;

bool claim_interpreter() {
  const std::int64_t current =
      PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) {
    take_interpreter_failure();
    return false;
  }
  std::int64_t expected = -1;
  if (g_owner_interpreter.compare_exchange_strong(expected, current) ||
      expected == current)
    return true;
  PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
  return false;
}

// The module's __all__ list, created when it is missing.
PyRef all_list(PyObject *module) {
  PyObject *all_name = interned(g_all_name, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    take_interpreter_failure();
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
      return PyRef();
    PyErr_Clear();
    all = expect_object(PyList_New(0), VESK_HERE);
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) {
      take_interpreter_failure();
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
    take_interpreter_failure();
    return PyRef();
  }
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      name, static_cast<Py_ssize_t>(std::strlen(name)), "strict"));
  if (!text && !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    take_interpreter_failure(); // out of memory: not a fault of the name
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
    take_interpreter_failure();
    return false;
  }
  PyRef function_name = PyRef::steal(
      PyObject_GetAttr(function.get(), interned(g_name_name, "__name__")));
  if (!function_name) {
    take_interpreter_failure();
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
    take_interpreter_failure();
    PyErr_Clear();
    fail("could not append __name__ to __all__", VESK_HERE);
  }
  if (PyObject_SetAttr(module, new_str(text, VESK_HERE).get(), function.get()) <
      0) {
    take_interpreter_failure();
    return false;
  }
  return true;
}

PyObject *create_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 1013));
  if (!module) {
    take_interpreter_failure();
    return nullptr;
  }
  if (!add_function(module.get()))
    return nullptr;
  // A nested initialisation may have filled the cache meanwhile; keep that.
  if (g_module == nullptr)
    g_module = module.release();
  return Py_NewRef(g_module);
}

} // namespace
} // namespace vesk

PyMODINIT_FUNC PyInit__vesk_backend(void) {
  return vesk::run_entry([]() -> PyObject * {
    if (!vesk::claim_interpreter())
      return nullptr;
    if (vesk::g_module != nullptr)
      return Py_NewRef(vesk::g_module);
    return vesk::create_module();
  });
}
