// Post-training quantization: parameters rounded in place onto their grids.
#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>

#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/no_grad.h"
#include "py/torch_ops.h"
#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

using py::module_global;

struct ParameterSlot {
  const char* name;
  const char* scale_attr;
  const char* zero_point_attr;
};

// Each parameter keeps its own scale and zero point, so the weight's survive
// next to the bias's.
constexpr std::array<ParameterSlot, 2> kSlots = {
    {{"weight", "_vantle_weight_scale", "_vantle_weight_zp"},
     {"bias", "_vantle_bias_scale", "_vantle_bias_zp"}}};

struct Range {
  nb::object param;
  nb::object data;
  double low, high;
};

// "fc.weight" as named_parameters() would name it.
std::string parameter_path(nb::handle module_name, const char* param_name) {
  std::string path = nb::cast<std::string>(nb::str(module_name));
  return path.empty() ? param_name : path + "." + param_name;
}

// A NaN or infinity would make the scale, and so every value of the tensor,
// NaN: the model is refused instead. min() propagates NaN, so finite bounds
// mean finite values.
void check_finite(nb::handle torch, const Range& range, nb::handle module_name,
                  const char* param_name) {
  if (std::isfinite(range.low) && std::isfinite(range.high)) return;
  nb::object bad = torch.attr("isfinite")(range.data).attr("logical_not")().attr("sum")();
  const std::string message =
      "cannot quantize parameter '" + parameter_path(module_name, param_name) +
      "': " + nb::cast<std::string>(nb::str(bad.attr("item")())) + " of " +
      nb::cast<std::string>(nb::str(range.data.attr("numel")())) + " values are NaN or infinite";
  throw nb::value_error(message.c_str());
}

void quantize_parameters(nb::handle torch, nb::handle name, nb::handle module, nb::handle bits,
                         nb::handle config) {
  nb::handle parameter_type = module_global("nn").attr("Parameter");
  py::NoGrad no_grad(torch);
  // Every parameter of the module is checked before any is changed.
  std::array<std::optional<Range>, kSlots.size()> ranges;
  for (std::size_t i = 0; i < kSlots.size(); ++i) {
    nb::object param = nb::getattr(module, kSlots[i].name, nb::none());
    if (param.is_none() || !nb::isinstance(param, parameter_type)) continue;
    nb::object data = param.attr("data");
    ranges[i] = Range{param, data, to_double(data.attr("min")()), to_double(data.attr("max")())};
    check_finite(torch, *ranges[i], name, kSlots[i].name);
  }
  nb::bool_ symmetric(py::truthy(config.attr("symmetric")));
  for (std::size_t i = 0; i < kSlots.size(); ++i) {
    if (!ranges[i]) continue;
    const Range& range = *ranges[i];
    nb::tuple scale_zp =
        compute_scale_zp(nb::float_(range.low), nb::float_(range.high), bits, symmetric);
    range.param.attr("data") =
        quantize_tensor(range.data, scale_zp[0], scale_zp[1], bits, symmetric);
    nb::setattr(module, kSlots[i].scale_attr, scale_zp[0]);
    nb::setattr(module, kSlots[i].zero_point_attr, scale_zp[1]);
  }
}

nb::object quantize_model(nb::handle model, nb::handle config, nb::handle calibration_data) {
  py::require_exact(calibration_data, &PyList_Type, "calibration_data", "list", true);
  // Only the calibration passes themselves (and evaluation mode) last; the
  // ranges are not used for weights.
  if (!calibration_data.is_none()) collect_statistics(model, calibration_data, config);

  nb::object torch = module_global("torch");
  nb::object per_node = per_node_precision(config);
  check_per_node_names(model, config, per_node);
  for_each_named_module(model, [&](nb::handle name, nb::handle module) {
    nb::object bits = annotate_precision(config, per_node, name, module);
    if (full_width(bits)) return;
    check_accumulator(config, name, module, bits);
    quantize_parameters(torch, name, module, bits, config);
  });
  return nb::borrow(model);
}

}  // namespace

void define_post_training(nb::module_ module) {
  module.def("quantize", &quantize_model, nb::arg("model").none(), nb::arg("config").none(),
             nb::arg("calibration_data").none() = nb::none(),
             "Quantize ``model`` in place and return it.\n\n"
             "Every module gets ``_vantle_precision`` and ``_vantle_accumulator_bits``. In\n"
             "modules narrower than 32 bits, the ``weight`` and ``bias`` parameters are\n"
             "replaced by their values on the integer grid (one scale per tensor) and their\n"
             "scales and zero points are kept as ``_vantle_weight_scale``/``_vantle_weight_zp``\n"
             "and ``_vantle_bias_scale``/``_vantle_bias_zp``. ``calibration_data`` (a list of\n"
             "inputs) is run through the model in evaluation mode first. A parameter holding\n"
             "NaN or infinite values raises ValueError naming it; that module is left\n"
             "unchanged (modules before it are already quantized).");
}

}  // namespace vantle::quantize
