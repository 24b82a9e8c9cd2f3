// The interpreter's recursion limit for C++ code that recurses over Python
// objects (module trees, nested containers): past the limit it raises
// RecursionError, as the Python code it stands in for would, instead of
// overflowing the C stack.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::py {

namespace nb = nanobind;

class RecursionGuard {
 public:
  // `where` completes the message: "maximum recursion depth exceeded" + where.
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw nb::python_error();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// sys.getrecursionlimit() raised by `extra` frames for a scope, for work that
// runs the user's Python code with frames of its own in between. The limit
// goes back afterwards unless the code inside set another.
class RecursionLimitLift {
 public:
  explicit RecursionLimitLift(int extra)
      : before_(Py_GetRecursionLimit()), lifted_(before_ + extra) {
    Py_SetRecursionLimit(lifted_);
  }
  ~RecursionLimitLift() {
    if (Py_GetRecursionLimit() == lifted_) Py_SetRecursionLimit(before_);
  }
  RecursionLimitLift(const RecursionLimitLift&) = delete;
  RecursionLimitLift& operator=(const RecursionLimitLift&) = delete;

 private:
  int before_;
  int lifted_;
};

}  // namespace vantle::py
