#include "export_ir/assembly/graph_parts.h"

#include <string>

#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

bool is_taken(nb::handle nodes, nb::handle name) {
  // "output" is kept for the graph's Output node, which is added last.
  const int reserved = PyObject_RichCompareBool(name.ptr(), interned("output").ptr(), Py_EQ);
  if (reserved < 0) throw nb::python_error();
  if (reserved == 1) return true;
  const int present = PyDict_Contains(nodes.ptr(), name.ptr());
  if (present < 0) throw nb::python_error();
  return present == 1;
}

}  // namespace

nb::object sample_shape(nb::handle sample) {
  nb::handle first = sample;
  if (PyTuple_Check(sample.ptr()) || PyList_Check(sample.ptr())) {
    // The model's arguments: the first tensor among them feeds the input.
    nb::object tensor_type = py::module_global("torch").attr("Tensor");
    first = nb::handle();
    for (nb::handle item : sample) {
      if (is_instance(item, tensor_type)) {
        first = item;
        break;
      }
    }
  }
  nb::object shape = first.is_valid() ? optional_attr(first, "shape") : nb::none();
  if (shape.is_none()) py::raise_arg_type("sample", "Tensor, tuple or list", sample);
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

nb::object unique_name(nb::handle nodes, nb::object name) {
  if (!is_taken(nodes, name)) return name;
  for (int suffix = 1;; ++suffix) {
    nb::object candidate = name + nb::str(("_" + std::to_string(suffix)).c_str());
    if (!is_taken(nodes, candidate)) return candidate;
  }
}

nb::object node_name_of(nb::handle path, nb::handle module) {
  if (!py::truthy(path)) {
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(module.ptr()));
    return type.attr("__name__").attr("lower")();
  }
  nb::object safe = py::module_global("sanitize_module_name")(path);
  if (!PyUnicode_Check(safe.ptr())) {
    const std::string message = "Expected str, got " + py::python_type_name(safe);
    throw nb::type_error(message.c_str());
  }
  return safe;
}

bool equals(nb::handle value, const char* text) {
  const int result = PyObject_RichCompareBool(value.ptr(), interned(text).ptr(), Py_EQ);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

}  // namespace vantle::export_ir
