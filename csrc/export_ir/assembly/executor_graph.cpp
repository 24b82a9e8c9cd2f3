// A GraphExecutor's graph: its own edges, each child converted with the
// shapes of the last traced pass, and its Input and Output identities as the
// graph's I/O nodes again.
#include "export_ir/assembly/assembly.h"
#include "export_ir/assembly/graph_parts.h"
#include "export_ir/common/cpython.h"
#include "export_ir/rules/module_converter.h"

namespace vantle::export_ir {
namespace {

// table.get(module, fallback) for the exporter's shape tables.
nb::object traced_shape(nb::handle table, nb::handle module, nb::handle fallback) {
  if (PyDict_CheckExact(table.ptr())) {
    PyObject* shape = PyDict_GetItemWithError(table.ptr(), module.ptr());
    if (shape != nullptr) return nb::borrow(shape);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(fallback);
  }
  return table.attr("get")(module, fallback);
}

bool starts_with_output(nb::handle name) {
  if (!PyUnicode_Check(name.ptr())) return false;
  const Py_ssize_t match =
      PyUnicode_Tailmatch(name.ptr(), interned("output").ptr(), 0, PY_SSIZE_T_MAX, -1);
  if (match < 0) throw nb::python_error();
  return match == 1;
}

}  // namespace

nb::object export_graph_executor(nb::handle exporter, nb::handle executor, nb::handle sample,
                                 nb::handle custom_map) {
  ModuleConverter converter(exporter, custom_map);
  Env& env = converter.env();
  nb::dict nodes;
  nb::list graph_edges =
      nb::borrow<nb::list>(checked(PySequence_List(executor.attr("edges").ptr())));

  // Child name -> node name; the later node wins when two share a child name.
  nb::dict name_of_child;
  nb::object sanitized = executor.attr("_sanitized_names");
  for (nb::handle node_name : sanitized) name_of_child[sanitized[node_name]] = node_name;

  nb::object in_shape = sample_shape(sample);
  nb::object edge_nodes = checked(PySet_New(nullptr));
  for (nb::handle edge : graph_edges) {
    auto [source, destination] = unpack_pair(edge);
    if (PySet_Add(edge_nodes.ptr(), source.ptr()) < 0) throw nb::python_error();
    if (PySet_Add(edge_nodes.ptr(), destination.ptr()) < 0) throw nb::python_error();
  }
  if (PySet_Contains(edge_nodes.ptr(), nb::str("input").ptr()) == 1) {
    nodes["input"] = input_node(env, in_shape);
  }

  nb::object inputs = exporter.attr("_input_shapes");
  nb::object outputs = exporter.attr("_output_shapes");
  nb::object identity = env.nn().attr("Identity");
  for (nb::handle item : executor.attr("named_children")()) {
    auto [name, module] = unpack_pair(item);
    nb::object node_name = name_of_child.contains(name) ? nb::object(name_of_child[name]) : name;
    nb::object in_sh = traced_shape(inputs, module, in_shape);
    nb::object out_sh = traced_shape(outputs, module, in_sh);
    // Input and Output nodes import as identities; only those become I/O nodes
    // again, so a real layer named input or output_proj is exported as itself.
    if (is_instance(module, identity)) {
      if (equals(node_name, "input")) continue;
      if (starts_with_output(node_name)) {
        nodes[node_name] = output_node(env, out_sh);
        continue;
      }
    }
    nb::object node = converter.convert(module, in_sh, out_sh);
    if (!node.is_none()) nodes[node_name] = node;
  }
  return make_graph(env, nodes, graph_edges);
}

}  // namespace vantle::export_ir
