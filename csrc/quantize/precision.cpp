// Precision names, the configuration record and the precision metadata that
// quantized modules carry for the exporter.
#include <nanobind/stl/string.h>

#include <array>
#include <string>
#include <utility>

#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/torch_ops.h"
#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

using namespace nb::literals;
using py::module_global;

constexpr std::array<std::pair<const char*, int>, 6> kPrecisions = {
    {{"fp32", 32}, {"fp16", 16}, {"int32", 32}, {"int16", 16}, {"int8", 8}, {"int4", 4}}};
constexpr int kFullWidth = 32;

nb::handle type_object(PyTypeObject* type) {
  return reinterpret_cast<PyObject*>(type);
}

nb::object get_attr_or_none(nb::handle obj, const char* name) {
  return nb::getattr(obj, name, nb::none());
}

nb::dict get_precision_map(nb::handle model) {
  nb::dict result;
  for_each_named_module(model, [&](nb::handle name, nb::handle module) {
    nb::object precision = get_attr_or_none(module, "_vantle_precision");
    if (!py::truthy(precision)) precision = get_attr_or_none(module, "_vx2_precision");
    if (!precision.is_none()) result[name] = precision;
  });
  return result;
}

// The accumulator width becomes "int" + its text in the IR (accum_t), so only a
// positive integer is a width: -7 would give "int-7", "sixteen" "intsixteen" and
// True "intTrue".
void check_accumulator_bits(nb::handle bits) {
  if (PyBool_Check(bits.ptr()) || !PyIndex_Check(bits.ptr())) {
    py::raise_arg_type("accumulator_bits", "int", bits);
  }
  nb::object value = nb::steal(PyNumber_Index(bits.ptr()));
  if (!value.is_valid()) throw nb::python_error();
  if (!(nb::int_(value) > nb::int_(0))) {
    const std::string message =
        "accumulator_bits must be a positive integer, got " + nb::cast<std::string>(nb::str(bits));
    throw nb::value_error(message.c_str());
  }
}

nb::object make_config_class(nb::module_ module) {
  nb::object field = module.attr("field");
  nb::handle str_type = type_object(&PyUnicode_Type);
  nb::object optional_mapping =
      module.attr("Optional")[module.attr("Dict")[nb::make_tuple(str_type, str_type)]];
  auto entry = [&](const char* name, nb::handle type, nb::handle default_value) {
    return nb::make_tuple(name, type, field("default"_a = default_value));
  };
  nb::list fields;
  fields.append(entry("default_precision", str_type, nb::str("int8")));
  fields.append(entry("per_node_precision", optional_mapping, nb::none()));
  fields.append(entry("accumulator_bits", type_object(&PyLong_Type), nb::int_(16)));
  fields.append(entry("symmetric", type_object(&PyBool_Type), nb::bool_(true)));
  fields.append(entry("calibration_method", str_type, nb::str("minmax")));
  fields.append(entry("percentile", type_object(&PyFloat_Type), nb::float_(99.99)));
  fields.append(entry("strict", type_object(&PyBool_Type), nb::bool_(false)));

  nb::dict namespace_;
  namespace_["__doc__"] =
      "How a model is quantized.\n\n"
      "default_precision: precision of every module not named in per_node_precision\n"
      "    (one of the keys of _PRECISION_BITS).\n"
      "per_node_precision: module name (as model.named_modules() yields it) -> precision.\n"
      "accumulator_bits: accumulator width recorded on every module for the hardware; a\n"
      "    positive integer (TypeError or ValueError when a module uses the config).\n"
      "symmetric: True for a symmetric grid with zero point 0, False for an affine grid.\n"
      "calibration_method: \"percentile\" measures activation ranges by quantiles; any\n"
      "    other value uses the plain minimum and maximum.\n"
      "percentile: upper percentile for \"percentile\" calibration; the lower is 100 minus it.\n"
      "strict: names in per_node_precision that are no module of the model raise ValueError\n"
      "    (by default they get a UserWarning).\n\n"
      "Like any dataclass, it takes what it is given: the fields are checked when quantize\n"
      "or quantize_aware_training use the config.";
  nb::object cls =
      nb::module_::import_("dataclasses")
          .attr("make_dataclass")("QuantizationConfig", fields, "namespace"_a = namespace_);
  // Set afterwards: make_dataclass would otherwise name whatever module imports this one.
  cls.attr("__module__") = module.attr("__name__");
  cls.attr("__qualname__") = "QuantizationConfig";
  return cls;
}

}  // namespace

nb::object get_bits(nb::handle precision) {
  nb::str name = py::arg_str(precision, "precision");
  nb::object table = module_global("_PRECISION_BITS");
  const int found = PySequence_Contains(table.ptr(), name.ptr());
  if (found < 0) throw nb::python_error();
  if (found == 1) return table[name];
  nb::str known = nb::str(nb::list(table.attr("keys")()));
  const std::string message = "Unknown precision: " + nb::cast<std::string>(name) +
                              ". Use one of " + nb::cast<std::string>(known);
  throw nb::value_error(message.c_str());
}

bool full_width(nb::handle bits) {
  const int result = PyObject_RichCompareBool(bits.ptr(), nb::int_(kFullWidth).ptr(), Py_GE);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

nb::object per_node_precision(nb::handle config) {
  nb::object mapping = config.attr("per_node_precision");
  return py::truthy(mapping) ? mapping : nb::dict();
}

nb::object annotate_precision(nb::handle config, nb::handle per_node, nb::handle name,
                              nb::handle module) {
  nb::object precision = per_node.attr("get")(name, config.attr("default_precision"));
  nb::object bits = get_bits(precision);
  nb::object accumulator_bits = config.attr("accumulator_bits");
  check_accumulator_bits(accumulator_bits);
  nb::setattr(module, "_vantle_precision", precision);
  nb::setattr(module, "_vantle_accumulator_bits", accumulator_bits);
  return bits;
}

void define_precision(nb::module_ module) {
  nb::dict table;
  for (const auto& [name, bits] : kPrecisions) table[name] = bits;
  module.attr("_PRECISION_BITS") = table;

  module.attr("QuantizationConfig") = make_config_class(module);

  module.def("_get_bits", &get_bits, nb::arg("precision").none(),
             "Bit width of a precision name; ValueError for a name not in _PRECISION_BITS.");
  module.def(
      "_check_per_node_names",
      [](nb::handle model, nb::handle config) {
        check_per_node_names(model, config, per_node_precision(config));
      },
      nb::arg("model").none(), nb::arg("config").none(),
      "Warn (or raise, with a strict config) for names in per_node_precision that are\n"
      "no module of ``model``.");
  module.def("get_precision_map", &get_precision_map, nb::arg("model").none(),
             "Module name -> precision for every module of ``model`` that carries one\n"
             "(``_vantle_precision``, else the older ``_vx2_precision``), in\n"
             "``model.named_modules()`` order.");
}

}  // namespace vantle::quantize
