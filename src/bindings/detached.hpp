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

  // Runs `operation` attached again for a moment, and detaches once it returns. The caller
  // must hold no store lock: attaching may wait for another thread.
  template <typename Operation>
  auto attached(Operation&& operation) {
    PyEval_RestoreThread(state_);
    struct Redetach {
      Detached& guard;
      ~Redetach() { guard.state_ = PyEval_SaveThread(); }
    } redetach{*this};
    return operation();
  }

  // Runs the interpreter's signal handlers, attached for that moment. True when one raised:
  // its exception stays set for when the thread is attached again.
  bool signal_raised() {
    return attached([] { return PyErr_CheckSignals() < 0; });
  }

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
