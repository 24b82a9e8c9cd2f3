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

}  // namespace vantle::py
