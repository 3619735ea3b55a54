#include "internal_failure.h"

#include <cstdio>
#include <cstring>

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

PyObject *g_panic_type = nullptr;

// The path below the source tree, so reports do not depend on the build
// machine's directories.
const char *project_path(const char *file) {
  for (const char *marker : {"src/", "src\\"}) {
    const char *hit = std::strstr(file, marker);
    if (hit != nullptr)
      return hit;
  }
  return file;
}

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
[[noreturn]] void resume(PyRef type, PyRef value, PyRef traceback) {
  std::string message = str_or(value.get(), "Unwrapped panic from Python code");
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException "
             "from Python. ---\nPython stack trace below:\n",
             stderr);
  std::fflush(stderr);
  PyErr_Restore(type.release(), value.release(), traceback.release());
  PyErr_PrintEx(0);
  throw InternalFailure(std::move(message));
}

// The process-wide exception type, created on first use and never released.
// Null, with the interpreter's error set, if it cannot be created.
PyObject *panic_exception_type() {
  if (g_panic_type != nullptr)
    return g_panic_type;
  PyObject *created = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr)
    return nullptr;
  // Creation may run Python code; keep a type another thread stored first.
  if (g_panic_type != nullptr) {
    Py_DECREF(created);
    return g_panic_type;
  }
  g_panic_type = created;
  return g_panic_type;
}

} // namespace

void fail(const std::string &message, SourceLocation where) {
  std::fprintf(stderr,
               "_vesk_backend: internal failure in thread %lu at %s:%d:\n%s\n",
               PyThread_get_thread_ident(), project_path(where.file),
               where.line, message.c_str());
  std::fflush(stderr);
  throw InternalFailure(message);
}

void take_interpreter_failure() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError,
                    "attempted to fetch exception but none was set");
    return;
  }
  // Until the type exists, no instance of it can have been raised.
  if (g_panic_type != nullptr && type == g_panic_type)
    resume(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
  PyErr_Restore(type, value, traceback);
}

void fail_python_api(SourceLocation where) {
  take_interpreter_failure();
  PyErr_Print();
  fail("Python API call failed", where);
}

PyRef expect_object(PyObject *result, SourceLocation where) {
  if (result == nullptr)
    fail_python_api(where);
  return PyRef::steal(result);
}

PyRef new_str(const std::string &text, SourceLocation where) {
  return expect_object(PyUnicode_FromStringAndSize(
                           text.data(), static_cast<Py_ssize_t>(text.size())),
                       where);
}

PyObject *interned(PyObject *&slot, const char *text) {
  if (slot == nullptr)
    slot = expect_object(PyUnicode_InternFromString(text), VESK_HERE).release();
  return slot;
}

std::string lenient_utf8(PyObject *str) {
  Py_ssize_t size = 0;
  if (const char *utf8 = PyUnicode_AsUTF8AndSize(str, &size))
    return std::string(utf8, static_cast<size_t>(size));
  PyErr_Clear();
  PyRef raw = expect_object(
      PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"), VESK_HERE);
  PyRef repaired = expect_object(
      PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()),
                           PyBytes_GET_SIZE(raw.get()), "replace"),
      VESK_HERE);
  const char *utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (utf8 == nullptr)
    fail_python_api(VESK_HERE);
  return std::string(utf8, static_cast<size_t>(size));
}

void raise_internal_failure(const std::string &message) {
  // Each step here can fail only when memory runs out; the MemoryError it
  // leaves pending then stands in for the internal failure.
  PyObject *type = panic_exception_type();
  if (type == nullptr)
    return;
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text)
    return;
  PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
  if (!args)
    return;
  PyErr_SetObject(type, args.get());
  // Make the instance now, so the exception is complete when the entry point
  // returns.
  PyObject *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr_Restore(type, value, traceback);
}

} // namespace vesk
