// What the module keeps for the life of the process.
#pragma once

#include "py_ref.h"

#include <atomic>
#include <cstdint>

namespace vesk {

// The module's process-wide state, all of it in this one place.
//
// Each object is made once, on first use, and never released: a
// single-phase module is never told that its last user is gone, and the
// interpreter may still reach these objects at exit. The owner interpreter is
// claimed atomically, before anything else is touched; every other value is
// read and written only with the interpreter lock held. Python code run in
// between (an __index__, a garbage collection) may let another thread take
// the lock, so a value checked before such code runs is checked again after.
struct ProcessState {
  // The first interpreter to import the module; -1 until then.
  std::atomic<std::int64_t> owner_interpreter{-1};
  // The module object, once an initialisation has succeeded.
  PyObject *module = nullptr;
  // pyo3_runtime.PanicException, made when the first internal failure is
  // raised.
  PyObject *panic_type = nullptr;
  // Interned attribute names.
  PyObject *all_name = nullptr;
  PyObject *name_name = nullptr;
  PyObject *qualname_name = nullptr;
};

inline ProcessState g_process;

} // namespace vesk
