// The IR library's checks of a node's field types and array shapes, run on
// each node before its built-in conversion: a graph built in Python never
// passed the reader's checks, and what the conversion cannot take would fail
// deep inside a layer with a message naming neither the node nor the field.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "py/instance_test.h"

namespace vantle::import_ir {

namespace nb = nanobind;

class NodeChecks {
 public:
  // ir.check_node_types for the kinds of ir.TYPE_CHECKED_KINDS, then
  // ir.check_node_shapes for those of ir.SHAPE_CHECKED_KINDS, as the IR
  // library has them now; a check the library lacks is skipped.
  NodeChecks();

  // Raises the check's TypeError or ValueError, which names the node and the field.
  void operator()(nb::handle name, nb::handle node);

 private:
  struct Check {
    nb::object function;
    py::InstanceTest applies;
  };
  std::vector<Check> checks_;
};

}  // namespace vantle::import_ir
