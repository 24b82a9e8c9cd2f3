// What a configuration asks for that it cannot mean: module names the model
// does not have (a typo leaves that module at the default precision), and an
// accumulator too narrow for the sums of a layer's weights.
#include <nanobind/stl/string.h>

#include <cmath>
#include <string>

#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/text.h"
#include "py/torch_ops.h"
#include "py/warnings.h"
#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

constexpr std::size_t kNamesShown = 10;

bool strict(nb::handle config) {
  return py::truthy(nb::getattr(config, "strict", nb::bool_(false)));
}

}  // namespace

void check_per_node_names(nb::handle model, nb::handle config, nb::handle per_node) {
  if (!py::truthy(per_node)) return;
  nb::list names;
  nb::object known = nb::steal(PySet_New(nullptr));
  if (!known.is_valid()) throw nb::python_error();
  for_each_named_module(model, [&](nb::handle name, nb::handle) {
    names.append(name);
    if (PySet_Add(known.ptr(), name.ptr()) < 0) throw nb::python_error();
  });
  std::string unknown;
  for (nb::handle key : per_node.attr("keys")()) {
    const int found = PySet_Contains(known.ptr(), key.ptr());
    if (found < 0) throw nb::python_error();
    if (found == 1) continue;
    unknown += (unknown.empty() ? "" : ", ") + py::repr_text(key);
  }
  if (unknown.empty()) return;
  std::string shown;
  for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
    shown += (i == 0 ? "" : ", ") + py::repr_text(names[i]);
  }
  if (names.size() > kNamesShown) shown += ", ...";
  const std::string message = "per_node_precision names " + unknown +
                              ", which the model has no module of (names as "
                              "model.named_modules() gives them: " +
                              shown + ")";
  if (strict(config)) throw nb::value_error(message.c_str());
  py::warn_at_caller(PyExc_UserWarning, message + "; that precision is used nowhere");
}

void check_accumulator(nb::handle config, nb::handle name, nb::handle module, nb::handle bits) {
  // Integer formats sum exactly in the accumulator; floating ones do not overflow that way.
  nb::object precision = nb::getattr(module, "_vantle_precision", nb::none());
  if (!PyUnicode_Check(precision.ptr()) || nb::cast<std::string>(precision).rfind("int", 0) != 0) {
    return;
  }
  nb::object weight = nb::getattr(module, "weight", nb::none());
  if (!nb::hasattr(weight, "numel") || !nb::hasattr(weight, "shape")) return;
  nb::object shape = weight.attr("shape");
  if (PySequence_Size(shape.ptr()) < 2) return;  // no sum over inputs (a scale, a norm)
  const auto count = nb::cast<long long>(weight.attr("numel")());
  const auto outputs = nb::cast<long long>(shape[nb::int_(0)]);
  if (outputs <= 0 || count <= outputs) return;
  const long long fan_in = count / outputs;
  const auto weight_bits = nb::cast<long long>(bits);
  const long long needed = weight_bits + static_cast<long long>(std::ceil(std::log2(fan_in)));
  nb::object accumulator = config.attr("accumulator_bits");
  if (!PyLong_Check(accumulator.ptr()) || nb::cast<long long>(accumulator) >= needed) return;
  const std::string where = nb::cast<std::string>(nb::str(name));
  const std::string message = "module '" + where + "' (" + py::python_type_name(module) +
                              "): accumulator_bits=" + nb::cast<std::string>(nb::str(accumulator)) +
                              " is narrower than its " + nb::cast<std::string>(precision) +
                              " weights summed over " + std::to_string(fan_in) + " inputs need (" +
                              std::to_string(weight_bits) + " + log2(" + std::to_string(fan_in) +
                              ") = " + std::to_string(needed) +
                              " bits); the hardware's sums may overflow";
  py::warn_at_caller(PyExc_UserWarning, message);
}

}  // namespace vantle::quantize
