// Iteration and message helpers for reading graph objects through the
// interpreter's own protocols.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <initializer_list>

#include "py/unpack.h"

namespace vantle::dag_tools {

namespace nb = nanobind;

// Runs `visit(item)` for each item of `iterable`, as a for loop would; stops
// early when `visit` returns false.
template <typename Visit>
void for_each_item(nb::handle iterable, Visit&& visit) {
  nb::object iterator = nb::steal(PyObject_GetIter(iterable.ptr()));
  if (!iterator) throw nb::python_error();
  while (PyObject* item = PyIter_Next(iterator.ptr())) {
    if (!visit(nb::handle(nb::steal(item)))) return;
  }
  if (PyErr_Occurred()) throw nb::python_error();
}

// Room to reserve before iterating `iterable`: the size of a list or tuple,
// otherwise its length hint up to a bound, since a `__len__` can say anything.
size_t reserve_hint(nb::handle iterable);

// Runs `visit(src, dst)` with the two values of `pair` unpacked.
template <typename Visit>
void visit_pair(nb::handle pair, Visit& visit) {
  PyObject* ptr = pair.ptr();
  if (PyTuple_CheckExact(ptr) && PyTuple_GET_SIZE(ptr) == 2) {
    visit(nb::handle(PyTuple_GET_ITEM(ptr, 0)), nb::handle(PyTuple_GET_ITEM(ptr, 1)));
  } else if (PyList_CheckExact(ptr) && PyList_GET_SIZE(ptr) == 2) {
    // Own the items: code run by `visit` could change the list.
    nb::object src = nb::borrow(PyList_GET_ITEM(ptr, 0));
    nb::object dst = nb::borrow(PyList_GET_ITEM(ptr, 1));
    visit(src, dst);
  } else {
    auto [src, dst] = py::unpack_pair(pair);
    visit(src, dst);
  }
}

// Runs `visit(src, dst)` for each element of `pairs`, in order, as
// `for src, dst in pairs` would.
template <typename Visit>
void for_each_pair(nb::handle pairs, Visit&& visit) {
  if (PyList_CheckExact(pairs.ptr())) {
    // The length is read on every step, as the list iterator does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
      nb::object pair = nb::borrow(PyList_GET_ITEM(pairs.ptr(), i));
      visit_pair(pair, visit);
    }
    return;
  }
  for_each_item(pairs, [&](nb::handle pair) {
    visit_pair(pair, visit);
    return true;
  });
}

// f"{value}": a string unchanged, anything else in its formatted form.
nb::str text_of(nb::handle value);

// Raises ValueError whose message is the concatenation of `pieces` (strings).
[[noreturn]] void raise_value_error(std::initializer_list<nb::handle> pieces);

// Raises `type(message)` as if inside `except` handling `handled`, so the
// interpreter records `handled` as the new exception's context.
[[noreturn]] void raise_while_handling(nb::handle handled, PyObject* type, const char* message);

// `ir.<name>`, looked up now so a replaced or extended IR library is seen.
nb::object ir_class(const char* name);

}  // namespace vantle::dag_tools
