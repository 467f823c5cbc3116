// Detaches the calling thread from the interpreter for the life of the guard, so that other
// Python threads run (with a GIL) and stop-the-world pauses proceed (without one) while a
// store operation works or waits for a store lock. No C API call may happen meanwhile.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick::bindings {

class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  // Runs on every path out, exceptions included, so the caller is attached again before it
  // raises anything.
  ~Detached() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs `operation` detached and returns its result, attached again.
template <typename Operation>
auto detached(Operation&& operation) {
  Detached guard;
  return operation();
}

}  // namespace tarnwick::bindings
