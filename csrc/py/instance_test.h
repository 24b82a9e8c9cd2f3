// isinstance(obj, cls) asked of many objects that share a few types.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

namespace vantle::py {

namespace nb = nanobind;

// True when instances of `type` are read with object.__getattribute__. A
// __getattr__ does not change that: it only runs for names not found.
bool has_generic_getattribute(PyTypeObject* type);

// True when reading `__class__` on any instance of `type` returns the type:
// attribute access is the generic one and the `__class__` found along the MRO
// is object's own (a data descriptor, so an instance dictionary cannot shadow
// it). Only then do instance tests depend on the type alone.
bool keeps_standard_class_attribute(PyTypeObject* type);

// The interpreter's isinstance, for a plain class, falls back on reading the
// object's `__class__` attribute whenever the type test fails: an attribute
// lookup that costs several times the test itself. For a type that keeps the
// standard `__class__`, the answer depends on the type alone, so it is kept
// per type for the life of this object; so it is for a tuple of such classes.
// Everything else (classes with their own metaclass, types overriding
// `__class__` or attribute access) goes through the interpreter's check every
// time.
class InstanceTest {
 public:
  explicit InstanceTest(nb::handle cls);

  // isinstance(obj, cls), raising what isinstance raises.
  bool operator()(nb::handle obj);

 private:
  nb::object cls_;
  bool plain_class_;
  std::vector<std::pair<nb::object, bool>> answers_;  // (type, answer); types held
};

}  // namespace vantle::py
