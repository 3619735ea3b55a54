// Internal failures: conditions that abandon the current entry point from any
// depth and reach Python as `pyo3_runtime.PanicException`.
//
// Error convention of the module's helpers: an interpreter call that can fail
// only when memory runs out is checked with `expect_object` (or its kin),
// which throws an internal failure. Every other failure is returned with the
// Python exception set: as an empty PyRef by a helper that makes a new
// reference, as null by one that lends a borrowed one, and as `false` by one
// that makes no object. New references travel in PyRef; `run_entry` alone
// hands a bare one to the interpreter.
#pragma once

#include "py_ref.h"

#include <string>
#include <utility>

namespace vesk {

struct SourceLocation {
  const char *file;
  int line;
};
#define VESK_HERE (::vesk::SourceLocation{__FILE__, __LINE__})

// The one C++ exception type of an internal failure. Thrown by `fail` (and by
// the resumption of such an exception coming back from Python code), caught
// only by `run_entry`.
class InternalFailure {
public:
  explicit InternalFailure(std::string message)
      : message_(std::move(message)) {}
  const std::string &message() const { return message_; }

private:
  std::string message_;
};

// Reports the failure on standard error (thread, source location, message)
// and abandons the current entry point.
[[noreturn]] void fail(const std::string &message, SourceLocation where);

// To be called right after an interpreter call reported failure. Leaves the
// ordinary exception pending (a SystemError if the interpreter set none), but
// resumes an internal-failure exception that came back from Python code.
void propagate_interpreter_error();

// For interpreter calls that can fail only when memory runs out: prints the
// interpreter's error and fails with "Python API call failed".
[[noreturn]] void fail_python_api(SourceLocation where);

// Takes over the result of such a call, failing as above when it is null.
PyRef expect_object(PyObject *result, SourceLocation where);

// The path of a source file as reports show it: from its last `src`
// directory on, with forward slashes, whatever the build machine.
std::string project_path(const char *file);

// To be called in a catch block: sets the Python exception for the C++
// exception being handled. An internal failure becomes its
// pyo3_runtime.PanicException, std::bad_alloc a MemoryError, and any other
// exception (a fault of the module) an internal failure that names it.
void raise_caught_exception() noexcept;

// Runs an entry point's body, so that no C++ exception reaches the
// interpreter. `body` returns the result, or an empty PyRef with the Python
// exception set.
template <class Body> PyObject *run_entry(Body &&body) noexcept {
  try {
    return body().release();
  } catch (...) {
    raise_caught_exception();
  }
  return nullptr;
}

} // namespace vesk
