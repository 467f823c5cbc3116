// The tarnwick extension module: multi-phase initialisation that adds the VectorStorage class.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/arguments.hpp"
#include "bindings/py_ref.hpp"
#include "bindings/storage.hpp"
#include "index/hnsw.hpp"

namespace {

using tarnwick::bindings::PyRef;

/* ---------- Module exec ---------- */

// Replaces the pending exception by RuntimeError "An error occurred while initializing class
// {name}", keeping the original as its cause.
void raise_class_init_error(const char* name) {
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  PyObject* error = PyErr_GetRaisedException();
  PyException_SetContext(error, Py_XNewRef(cause));
  PyException_SetCause(error, cause);  // steals cause
  PyErr_SetRaisedException(error);
}

// The module's __all__ list, created empty when the attribute does not exist.
// Returns a new reference, or NULL with an exception set.
PyObject* module_all(PyObject* module) {
  PyObject* found = nullptr;
  int status = PyObject_GetOptionalAttrString(module, "__all__", &found);
  if (status < 0) {
    return nullptr;
  }
  PyRef all = PyRef::steal(found);
  if (status == 0) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return nullptr;
    }
  } else if (!PyList_Check(all.get())) {
    tarnwick::bindings::raise_not_instance(all.get(), "list");
    return nullptr;
  }
  return all.release();
}

int tarnwick_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    tarnwick::bindings::raise_not_instance(module, "module");
    return -1;
  }
  PyRef type = PyRef::steal(tarnwick::bindings::vector_storage_type());
  if (!type) {
    raise_class_init_error("VectorStorage");
    return -1;
  }
  PyRef all = PyRef::steal(module_all(module));
  if (!all) {
    return -1;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("VectorStorage"));
  if (!name) {
    return -1;
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    return -1;
  }
  if (PyObject_SetAttr(module, name.get(), type.get()) < 0) {
    return -1;
  }
  return 0;
}

/* ---------- Private functions ---------- */

// _bound_decisions() -> (by_bound, exact): the calling thread's graph-walk neighbours turned
// away by a bound and decided with their exact distance since the last call, which resets
// both. For the benchmarks.
PyObject* bound_decisions(PyObject*, PyObject*) {
  const tarnwick::BoundDecisions counts = tarnwick::take_bound_decisions();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts.by_bound),
                       static_cast<unsigned long long>(counts.exact));
}

PyMethodDef tarnwick_methods[] = {
    {"_bound_decisions", bound_decisions, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}  /* sentinel */
};

/* ---------- Module slots and definition ---------- */

PyModuleDef_Slot tarnwick_slots[] = {
    {.slot = Py_mod_exec, .value = reinterpret_cast<void*>(tarnwick_exec)},
    {.slot = Py_mod_gil, .value = Py_MOD_GIL_NOT_USED},
    {0, NULL}  /* sentinel */
};

PyModuleDef tarnwick_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnwick",
    .m_doc = "The module definition mapping the high-performance native routines into Python "
             "runtimes.",
    .m_size = 0,
    .m_methods = tarnwick_methods,
    .m_slots = tarnwick_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tarnwick(void) { return PyModuleDef_Init(&tarnwick_module); }
