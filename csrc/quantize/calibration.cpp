// Activation ranges measured by forward hooks over calibration inputs.
#include <cmath>
#include <cstdint>
#include <string>

#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/no_grad.h"
#include "py/torch_ops.h"
#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

using py::module_global;

// torch.quantile refuses inputs of more than 2**24 elements.
constexpr int64_t kQuantileLimit = int64_t{1} << 24;

// torch.quantile(flat, q) (linear interpolation) for a one-dimensional float32
// tensor of any size. Up to torch's limit it is torch.quantile itself; beyond it
// the order statistic below position q * (n - 1) is selected with kthvalue, the
// next one is the smallest value above it (or the same value when it repeats),
// and the two are interpolated with torch.lerp as quantile does. The position is
// computed in double precision, so that it stays exact for any n.
double quantile(nb::handle torch, nb::handle flat, nb::handle q) {
  const auto count = nb::cast<int64_t>(flat.attr("numel")());
  if (count <= kQuantileLimit) return to_double(torch.attr("quantile")(flat, q));
  const double fraction = nb::cast<double>(q);
  if (!(fraction >= 0.0 && fraction <= 1.0)) {
    const std::string message =
        "quantile() q must be in the range [0, 1] but got " + std::to_string(fraction);
    throw nb::value_error(message.c_str());
  }
  // As in quantile: one NaN makes the result NaN.
  if (py::truthy(torch.attr("isnan")(flat).attr("any")())) return std::nan("");
  const double position = fraction * static_cast<double>(count - 1);
  const double below = std::floor(position);
  // kthvalue counts from 1.
  nb::object low = flat.attr("kthvalue")(static_cast<int64_t>(below) + 1).attr("values");
  const double weight = position - below;
  if (weight == 0.0) return to_double(low);
  nb::object at_or_below = torch.attr("le")(flat, low).attr("sum")();
  nb::object high = low;
  if (nb::cast<double>(at_or_below) < below + 2.0) {
    nb::object above = torch.attr("where")(torch.attr("gt")(flat, low), flat, INFINITY);
    high = above.attr("min")();
  }
  return to_double(torch.attr("lerp")(low, high, weight));
}

// (min, max) of one output, by quantiles for "percentile" calibration.
std::pair<double, double> output_range(nb::handle torch, nb::handle output, nb::handle config) {
  py::NoGrad no_grad(torch);
  if (nb::str("percentile").equal(config.attr("calibration_method"))) {
    nb::object percentile = config.attr("percentile");
    nb::object hundred = nb::int_(100);
    nb::object flat = output.attr("flatten")().attr("float")();
    const double low = quantile(torch, flat, (hundred - percentile) / hundred);
    const double high = quantile(torch, flat, percentile / hundred);
    return {low, high};
  }
  return {to_double(output.attr("min")()), to_double(output.attr("max")())};
}

// Widens the recorded range of `name`; a stored bound wins ties (and NaN comparisons).
void record(nb::dict stats, nb::handle name, double low, double high) {
  if (!stats.contains(name)) {
    nb::dict entry;
    entry["min"] = low;
    entry["max"] = high;
    stats[name] = entry;
    return;
  }
  nb::object entry = stats[name];
  if (low < to_double(entry["min"])) entry["min"] = low;
  if (high > to_double(entry["max"])) entry["max"] = high;
}

nb::object statistics_hook(nb::handle name, nb::dict stats, nb::handle config) {
  auto hook = [name = nb::borrow(name), stats, config = nb::borrow(config)](nb::handle, nb::handle,
                                                                            nb::handle output) {
    nb::handle value = output;
    if (PyTuple_Check(output.ptr())) {
      // An empty tuple carries nothing to measure.
      if (PyTuple_GET_SIZE(output.ptr()) == 0) return;
      value = PyTuple_GET_ITEM(output.ptr(), 0);
    }
    nb::object torch = module_global("torch");
    if (!nb::isinstance(value, torch.attr("Tensor"))) return;
    const auto [low, high] = output_range(torch, value, config);
    record(stats, name, low, high);
  };
  return nb::cpp_function(std::move(hook), nb::arg("module").none(), nb::arg("inputs").none(),
                          nb::arg("output").none());
}

// Removes every hook, also when the calibration pass raised.
class HookHandles {
 public:
  void add(nb::object handle) { handles_.append(std::move(handle)); }
  ~HookHandles() {
    for (nb::handle handle : handles_) {
      try {
        handle.attr("remove")();
      } catch (const nb::python_error&) {
        // Keep removing the others; a destructor must not throw.
      }
    }
  }

 private:
  nb::list handles_;
};

nb::dict collect_statistics_entry(nb::handle model, nb::handle calibration_data,
                                  nb::handle config) {
  return collect_statistics(model, calibration_data, config);
}

}  // namespace

nb::dict collect_statistics(nb::handle model, nb::handle calibration_data, nb::handle config) {
  py::require_exact(calibration_data, &PyList_Type, "calibration_data", "list", true);
  nb::dict stats;
  nb::list names;
  HookHandles hooks;
  for_each_named_module(model, [&](nb::handle name, nb::handle module) {
    if (nb::str("").equal(name)) return;
    names.append(name);
    hooks.add(module.attr("register_forward_hook")(statistics_hook(name, stats, config)));
  });
  if (!calibration_data.is_none()) {
    model.attr("eval")();
    py::NoGrad no_grad(module_global("torch"));
    for (nb::handle sample : calibration_data) model(sample);
    reduce_across_ranks(stats, names);
  }
  return stats;
}

void define_calibration(nb::module_ module) {
  module.def("_collect_statistics", &collect_statistics_entry, nb::arg("model").none(),
             nb::arg("calibration_data").none(), nb::arg("config").none(),
             "Module name -> {\"min\": float, \"max\": float}: the activation range of every\n"
             "submodule over all calibration inputs (quantiles for \"percentile\"\n"
             "calibration). Puts the model in evaluation mode when inputs are given.\n"
             "Within an initialised torch.distributed process group each rank passes its\n"
             "own share of the data and every rank gets the ranges of all of it.");
}

}  // namespace vantle::quantize
