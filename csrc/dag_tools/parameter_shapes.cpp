#include "dag_tools/parameter_shapes.h"

#include "dag_tools/py_iter.h"
#include "py/instance_test.h"
#include "py/module_state.h"

namespace vantle::dag_tools {

namespace {

// The rules live with the node catalogue in the IR library. Only nodes of the
// kinds they cover reach Python: a graph of many plain nodes pays one kept
// instance test per node.
void check_nodes(nb::handle nodes, const char* check_name, const char* kinds_name) {
  nb::object ir = py::module_global("ir");
  nb::object check = nb::getattr(ir, check_name, nb::none());
  nb::object kinds = nb::getattr(ir, kinds_name, nb::none());
  if (check.is_none() || kinds.is_none()) return;
  py::InstanceTest is_checked(kinds);
  auto visit = [&](nb::handle name, nb::handle node) {
    if (is_checked(node)) check(name, node);
  };
  if (PyDict_CheckExact(nodes.ptr())) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(nodes.ptr(), &position, &key, &value)) {
      // Owned: the check runs Python code that could change the dictionary.
      nb::object name = nb::borrow(key);
      nb::object node = nb::borrow(value);
      visit(name, node);
    }
    return;
  }
  for_each_item(nodes.attr("items")(), [&](nb::handle item) {
    visit_pair(item, visit);
    return true;
  });
}

}  // namespace

void check_parameter_shapes(nb::handle nodes) {
  check_nodes(nodes, "check_node_shapes", "SHAPE_CHECKED_KINDS");
  check_nodes(nodes, "check_node_fields", "FIELD_CHECKED_KINDS");
}

}  // namespace vantle::dag_tools
