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

} // namespace vesk
