// Small owning handles for the Python boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The module fills a list's item storage directly and adds int reference
// counts in bulk: both depend on CPython 3.11's object model with its global
// interpreter lock.
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "_vesk_backend supports CPython 3.11 only (any 3.11.x release)"
#endif
#ifdef Py_GIL_DISABLED
#error "_vesk_backend supports CPython 3.11 with its interpreter lock only"
#endif

#include <utility>

namespace vesk {

// One strong reference, released when the handle goes out of scope.
class PyRef {
public:
  PyRef() = default;
  // Takes over a new reference (or null, after a failed interpreter call).
  static PyRef steal(PyObject *object) { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject *object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef &&other) noexcept : object_(other.release()) {}
  PyRef &operator=(PyRef &&other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject *release() { return std::exchange(object_, nullptr); }
  void swap(PyRef &other) noexcept { std::swap(object_, other.object_); }

private:
  explicit PyRef(PyObject *object) : object_(object) {}
  PyObject *object_ = nullptr;
};

// An exception taken out of the interpreter, owned until it is put back with
// `restore`; dropping the handle drops the exception.
class FetchedError {
public:
  // Takes the pending exception, if any, out of the interpreter.
  static FetchedError fetch() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    return FetchedError(type, value, traceback);
  }

  // Whether an exception was pending.
  explicit operator bool() const { return static_cast<bool>(type_); }
  PyObject *type() const { return type_.get(); }
  PyObject *value() const { return value_.get(); }

  // Makes the value an instance of the type, as Python code would see it.
  void normalize() {
    PyObject *type = type_.release(), *value = value_.release(),
             *traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    *this = FetchedError(type, value, traceback);
  }

  // Makes the exception the pending one again; the handle is then empty.
  void restore() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  }

private:
  FetchedError(PyObject *type, PyObject *value, PyObject *traceback)
      : type_(PyRef::steal(type)), value_(PyRef::steal(value)),
        traceback_(PyRef::steal(traceback)) {}

  PyRef type_, value_, traceback_;
};

} // namespace vesk
