// The VectorStorage class: the Python face of one Segment.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick::bindings {

// The VectorStorage type object, created on first use and kept for the life of the process.
// Returns a new reference, or NULL with the creation error set.
PyObject* vector_storage_type();

}  // namespace tarnwick::bindings
