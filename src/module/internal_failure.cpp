#include "internal_failure.h"

#include "process_state.h"
#include "py_text.h"
#include "standard_error.h"

#include <algorithm>
#include <exception>
#include <new>

namespace vesk {
namespace {

constexpr const char *kPanicName = "pyo3_runtime.PanicException";
constexpr const char *kPanicDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

std::string str_or(PyObject *object, const char *fallback) {
  if (object == nullptr)
    return fallback;
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return fallback;
  }
  return lenient_utf8(text.get());
}

// An internal-failure exception came back from Python code: show it, then go
// on as an internal failure with its message (without a second report).
[[noreturn]] void resume(FetchedError error) {
  std::string message =
      str_or(error.value(), "Unwrapped panic from Python code");
  StandardErrorReport report;
  report << "--- PyO3 is resuming a panic after fetching a PanicException "
            "from Python. ---\nPython stack trace below:\n";
  report.send();
  error.restore();
  PyErr_PrintEx(0);
  throw InternalFailure(std::move(message));
}

// The process-wide exception type, created on first use and never released.
// Null, with the interpreter's error set, if it cannot be created.
PyObject *panic_exception_type() {
  if (g_process.panic_type != nullptr)
    return g_process.panic_type;
  PyObject *created = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr)
    return nullptr;
  // Creation may run Python code; keep a type another thread stored first.
  if (g_process.panic_type != nullptr) {
    Py_DECREF(created);
    return g_process.panic_type;
  }
  g_process.panic_type = created;
  return g_process.panic_type;
}

// Replaces whatever is pending with an internal-failure exception whose
// message is the str `message`. Each step can fail only when memory runs
// out; the MemoryError it leaves pending (as does an empty `message`) then
// stands in for the internal failure.
void raise_internal_failure(PyRef message) noexcept {
  if (!message)
    return;
  PyErr_Clear();
  PyObject *type = panic_exception_type();
  if (type == nullptr)
    return;
  PyRef args = PyRef::steal(PyTuple_Pack(1, message.get()));
  if (!args)
    return;
  PyErr_SetObject(type, args.get());
  // Make the instance now, so the exception is complete when the entry point
  // returns.
  FetchedError error = FetchedError::fetch();
  error.normalize();
  error.restore();
}

// A C++ exception the module's code did not expect reached its entry point:
// a fault of the module, reported and raised like any internal failure.
// `what` is the exception's what() text, or null if it is no std::exception.
void raise_unexpected_exception(const char *what) noexcept {
  const char *separator = what != nullptr ? ": " : " of unknown type";
  if (what == nullptr)
    what = "";
  StandardErrorReport report;
  report << "_vesk_backend: internal failure in thread "
         << PyThread_get_thread_ident() << ":\nunexpected C++ exception"
         << separator << what << "\n";
  report.send();
  raise_internal_failure(PyRef::steal(
      PyUnicode_FromFormat("unexpected C++ exception%s%s", separator, what)));
}

} // namespace

void fail(const std::string &message, SourceLocation where) {
  StandardErrorReport report;
  report << "_vesk_backend: internal failure in thread "
         << PyThread_get_thread_ident() << " at " << project_path(where.file)
         << ":" << where.line << ":\n"
         << message << "\n";
  report.send();
  throw InternalFailure(message);
}

void propagate_interpreter_error() {
  FetchedError error = FetchedError::fetch();
  if (!error) {
    raise_message(PyExc_SystemError,
                  "attempted to fetch exception but none was set");
    return;
  }
  // Until the type exists, no instance of it can have been raised.
  if (g_process.panic_type != nullptr && error.type() == g_process.panic_type)
    resume(std::move(error));
  error.restore();
}

void fail_python_api(SourceLocation where) {
  propagate_interpreter_error();
  PyErr_Print();
  fail("Python API call failed", where);
}

PyRef expect_object(PyObject *result, SourceLocation where) {
  if (result == nullptr)
    fail_python_api(where);
  return PyRef::steal(result);
}

std::string project_path(const char *file) {
  std::string path(file);
  std::replace(path.begin(), path.end(), '\\', '/');
  // The last directory named "src": the checkout itself may lie below one.
  const std::size_t tree = path.rfind("/src/");
  return tree == std::string::npos ? path : path.substr(tree + 1);
}

void raise_caught_exception() noexcept {
  try {
    throw;
  } catch (const InternalFailure &failure) {
    const std::string &message = failure.message();
    raise_internal_failure(PyRef::steal(PyUnicode_FromStringAndSize(
        message.data(), static_cast<Py_ssize_t>(message.size()))));
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &error) {
    raise_unexpected_exception(error.what());
  } catch (...) {
    raise_unexpected_exception(nullptr);
  }
}

} // namespace vesk
