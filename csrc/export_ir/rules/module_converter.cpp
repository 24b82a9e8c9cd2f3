#include "export_ir/rules/module_converter.h"

#include "export_ir/rules/rules.h"
#include "py/arg_check.h"
#include "py/module_state.h"

namespace vantle::export_ir {
namespace {

bool port_unset(nb::handle port) {
  return port.is_none() || (PyDict_CheckExact(port.ptr()) && PyDict_GET_SIZE(port.ptr()) == 0);
}

}  // namespace

ModuleConverter::ModuleConverter(nb::handle exporter, nb::handle custom_map)
    : exporter_(exporter), env_(exporter) {
  py::require_exact(custom_map, &PyDict_Type, "custom_map", "dict", true);
  if (!custom_map.is_none() && PyDict_GET_SIZE(custom_map.ptr()) > 0) {
    custom_map_ = nb::borrow(custom_map);
  }
  nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(exporter.ptr()));
  nb::object method = type.attr("_convert_module");
  if (!method.is(py::module_global("VANTLEExporter").attr("_convert_module"))) {
    override_ = exporter.attr("_convert_module");
  }
}

bool ModuleConverter::customised(nb::handle module) const {
  if (override_.is_valid()) return true;
  if (!custom_map_.is_valid()) return false;
  const int found =
      PyDict_Contains(custom_map_.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(module.ptr())));
  if (found < 0) throw nb::python_error();
  return found == 1;
}

nb::object ModuleConverter::convert(nb::handle module, nb::handle in_shape, nb::handle out_shape) {
  if (custom_map_.is_valid()) {
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(module.ptr()));
    PyObject* converter = PyDict_GetItemWithError(custom_map_.ptr(), type.ptr());
    if (converter != nullptr) return custom_node(converter, module, in_shape, out_shape);
    if (PyErr_Occurred()) throw nb::python_error();
  }
  if (override_.is_valid()) return override_(module, in_shape, out_shape);
  return convert_module(env_, module, in_shape, out_shape);
}

nb::object ModuleConverter::custom_node(nb::handle converter, nb::handle module,
                                        nb::handle in_shape, nb::handle out_shape) {
  nb::object node = nb::borrow(converter)(module);
  if (port_unset(node.attr("input_type"))) node.attr("input_type") = env_.port("input", in_shape);
  if (port_unset(node.attr("output_type"))) {
    node.attr("output_type") = env_.port("output", out_shape);
  }
  return node;
}

}  // namespace vantle::export_ir
