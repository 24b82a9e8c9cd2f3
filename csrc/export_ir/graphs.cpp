// Assembling the exported graph: a chain over named_modules() for ordinary
// models, and the executor's own edges for a GraphExecutor.
#include <string>

#include "export_ir/exporter.h"
#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

// Converts modules for one export: the caller's converter for an exact class
// match, else the exporter's _convert_module (the rule chain directly, unless
// a subclass replaced the method).
class ModuleConverter {
 public:
  ModuleConverter(nb::handle exporter, nb::handle custom_map)
      : exporter_(exporter), env_(exporter) {
    py::require_exact(custom_map, &PyDict_Type, "custom_map", "dict", true);
    if (!custom_map.is_none() && PyDict_GET_SIZE(custom_map.ptr()) > 0) {
      custom_map_ = nb::borrow(custom_map);
    }
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(exporter.ptr()));
    nb::object method = type.attr("_convert_module");
    if (!method.is(module_global("VANTLEExporter").attr("_convert_module"))) {
      override_ = exporter.attr("_convert_module");
    }
  }

  Env& env() { return env_; }

  nb::object convert(nb::handle module, nb::handle in_shape, nb::handle out_shape) {
    if (custom_map_.is_valid()) {
      nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(module.ptr()));
      PyObject* converter = PyDict_GetItemWithError(custom_map_.ptr(), type.ptr());
      if (converter != nullptr) return custom_node(converter, module, in_shape, out_shape);
      if (PyErr_Occurred()) throw nb::python_error();
    }
    if (override_.is_valid()) return override_(module, in_shape, out_shape);
    return convert_module(env_, module, in_shape, out_shape);
  }

 private:
  // A converter's node gets the traced shapes where it left its ports unset
  // (None, or the IR library's empty default).
  nb::object custom_node(nb::handle converter, nb::handle module, nb::handle in_shape,
                         nb::handle out_shape) {
    nb::object node = nb::borrow(converter)(module);
    if (port_unset(node.attr("input_type"))) node.attr("input_type") = env_.port("input", in_shape);
    if (port_unset(node.attr("output_type"))) {
      node.attr("output_type") = env_.port("output", out_shape);
    }
    return node;
  }

  static bool port_unset(nb::handle port) {
    return port.is_none() || (PyDict_CheckExact(port.ptr()) && PyDict_GET_SIZE(port.ptr()) == 0);
  }

  nb::handle exporter_;
  Env env_;
  nb::object custom_map_;
  nb::object override_;
};

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

nb::object sample_shape(nb::handle sample) {
  nb::object shape = sample.attr("shape");
  return checked(
      PySequence_Tuple(checked(PySequence_GetSlice(shape.ptr(), 1, PY_SSIZE_T_MAX)).ptr()));
}

nb::object input_node(Env& env, nb::handle shape) {
  Keywords kw;
  kw.add("input_type", env.port("input", shape));
  return kw.call(env.ir().attr("Input"));
}

nb::object output_node(Env& env, nb::handle shape) {
  Keywords kw;
  kw.add("output_type", env.port("output", shape));
  return kw.call(env.ir().attr("Output"));
}

nb::object make_graph(Env& env, nb::handle nodes, nb::handle edges) {
  Keywords kw;
  kw.add("nodes", nodes);
  kw.add("edges", edges);
  return kw.call(env.ir().attr("Graph"));
}

bool is_taken(nb::handle nodes, nb::handle name) {
  // "output" is kept for the graph's Output node, which is added last.
  const int reserved = PyObject_RichCompareBool(name.ptr(), interned("output").ptr(), Py_EQ);
  if (reserved < 0) throw nb::python_error();
  if (reserved == 1) return true;
  const int present = PyDict_Contains(nodes.ptr(), name.ptr());
  if (present < 0) throw nb::python_error();
  return present == 1;
}

// The name itself, or name_1, name_2 ... when two modules sanitize to the same
// node name (or a module is called input or output): no node may replace another.
nb::object unique_name(nb::handle nodes, nb::object name) {
  if (!is_taken(nodes, name)) return name;
  for (int suffix = 1;; ++suffix) {
    nb::object candidate = name + nb::str(("_" + std::to_string(suffix)).c_str());
    if (!is_taken(nodes, candidate)) return candidate;
  }
}

nb::object node_name_of(nb::handle name, nb::handle module) {
  if (!py::truthy(name)) {
    // Only a model without submodules gets here: name it after its class.
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(module.ptr()));
    return type.attr("__name__").attr("lower")();
  }
  nb::object safe = module_global("sanitize_module_name")(name);
  if (!PyUnicode_Check(safe.ptr())) {
    const std::string message = "Expected str, got " + py::python_type_name(safe);
    throw nb::type_error(message.c_str());
  }
  return safe;
}

bool starts_with_output(nb::handle name) {
  if (!PyUnicode_Check(name.ptr())) return false;
  const Py_ssize_t match =
      PyUnicode_Tailmatch(name.ptr(), interned("output").ptr(), 0, PY_SSIZE_T_MAX, -1);
  if (match < 0) throw nb::python_error();
  return match == 1;
}

bool equals(nb::handle value, const char* text) {
  const int result = PyObject_RichCompareBool(value.ptr(), interned(text).ptr(), Py_EQ);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

}  // namespace

nb::object export_sequential(nb::handle exporter, nb::handle model, nb::handle sample,
                             nb::handle custom_map) {
  ModuleConverter converter(exporter, custom_map);
  Env& env = converter.env();
  nb::dict nodes;
  nb::list edges;
  nb::object in_shape = sample_shape(sample);
  nodes["input"] = input_node(env, in_shape);
  nb::object previous = nb::str("input");
  nb::object last_shape = in_shape;

  nb::object inputs = exporter.attr("_input_shapes");
  nb::object outputs = exporter.attr("_output_shapes");
  nb::list module_list = named_modules(env.nn(), model);
  const bool has_submodules = nb::len(module_list) > 1;
  for (nb::handle item : module_list) {
    auto [name, module] = unpack_pair(item);
    if (has_submodules && equals(name, "")) continue;  // the root is only a container
    nb::object in_sh = traced_shape(inputs, module, last_shape);
    nb::object out_sh = traced_shape(outputs, module, in_sh);
    nb::object node = converter.convert(module, in_sh, out_sh);
    if (node.is_none()) continue;
    nb::object safe_name = unique_name(nodes, node_name_of(name, module));
    nodes[safe_name] = node;
    edges.append(nb::make_tuple(previous, safe_name));
    previous = safe_name;
    last_shape = out_sh;
  }
  if (py::truthy(previous) && !equals(previous, "input")) {
    nodes["output"] = output_node(env, last_shape);
    edges.append(nb::make_tuple(previous, "output"));
  }
  return make_graph(env, nodes, edges);
}

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
