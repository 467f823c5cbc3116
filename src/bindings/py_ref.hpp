// An owned reference to a Python object, released when the handle goes out of scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnwick::bindings {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (which may be NULL, as C API results are on failure).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Takes a new reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference over to the caller (for C API calls that steal it).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;  // owned strong reference, or NULL
};

}  // namespace tarnwick::bindings
