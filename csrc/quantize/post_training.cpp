// Post-training quantization: parameters rounded in place onto their grids.
#include <array>

#include "py/arg_check.h"
#include "py/module_state.h"
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

void quantize_parameters(nb::handle torch, nb::handle module, nb::handle bits, nb::handle config) {
  nb::handle parameter_type = module_global("nn").attr("Parameter");
  for (const ParameterSlot& slot : kSlots) {
    nb::object param = nb::getattr(module, slot.name, nb::none());
    if (param.is_none() || !nb::isinstance(param, parameter_type)) continue;
    NoGrad no_grad(torch);
    nb::object data = param.attr("data");
    nb::float_ low(to_double(data.attr("min")()));
    nb::float_ high(to_double(data.attr("max")()));
    nb::bool_ symmetric(py::truthy(config.attr("symmetric")));
    nb::tuple scale_zp = compute_scale_zp(low, high, bits, symmetric);
    param.attr("data") = quantize_tensor(data, scale_zp[0], scale_zp[1], bits, symmetric);
    nb::setattr(module, slot.scale_attr, scale_zp[0]);
    nb::setattr(module, slot.zero_point_attr, scale_zp[1]);
  }
}

nb::object quantize_model(nb::handle model, nb::handle config, nb::handle calibration_data) {
  py::require_exact(calibration_data, &PyList_Type, "calibration_data", "list", true);
  // Only the calibration passes themselves (and evaluation mode) last; the
  // ranges are not used for weights.
  if (!calibration_data.is_none()) collect_statistics(model, calibration_data, config);

  nb::object torch = module_global("torch");
  nb::object per_node = per_node_precision(config);
  for_each_named_module(model, [&](nb::handle name, nb::handle module) {
    nb::object bits = annotate_precision(config, per_node, name, module);
    if (!full_width(bits)) quantize_parameters(torch, module, bits, config);
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
             "inputs) is run through the model in evaluation mode first.");
}

}  // namespace vantle::quantize
