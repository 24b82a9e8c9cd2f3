// snnTorch's Leaky neuron as the IR's LIF.
//
// Leaky steps mem = beta * mem + x (beta clamped to [0, 1]), fires where
// mem > threshold and, with reset_mechanism="zero", zeroes a membrane that
// fired before the next step. The IR's LIF steps
// mem = beta' * mem + (1 / tau) * (v_leak + r * x) with beta' = 1 - 1/tau, fires
// where mem >= threshold and zeroes a fired membrane at once. With
// tau = r = 1 / (1 - beta) and v_leak = 0 both give the same spikes (firing
// exactly at the threshold aside). Settings the LIF cannot follow are
// reported, and the layer is still exported as a zero-reset LIF.
#include <string>

#include "export_ir/rules/neuron_arrays.h"
#include "export_ir/rules/rules.h"
#include "py/arg_check.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

constexpr double kLeakEpsilon = 1e-9;
constexpr const char* kDiffers = "exported as the IR's LIF, whose spikes differ from the layer's";

std::string text(nb::handle value) {
  return str_of(nb::repr(value));
}

// The settings of the layer that the IR's LIF does not have.
void report_settings(const Conversion& c, nb::handle threshold) {
  Env& env = c.env;
  const std::string layer = "snnTorch " + py::python_type_name(c.module) + " " + env.label();
  if (!Py_IS_TYPE(c.module.ptr(), reinterpret_cast<PyTypeObject*>(env.leaky_class().ptr()))) {
    env.report(layer + " is a subclass of Leaky with dynamics of its own",
               "exported as a plain Leaky layer, which may not compute what it computes");
  }
  nb::object reset = optional_attr(c.module, "reset_mechanism");
  if (!reset.is_none() && !nb::str("zero").equal(reset)) {
    env.report(layer + ": reset_mechanism=" + text(reset) +
                   " differs from the IR's LIF, which resets a fired membrane to zero "
                   "(reset_mechanism=\"zero\" exports exactly)",
               kDiffers);
  }
  nb::object graded = c.attrs.optional("graded_spikes_factor");
  if (!graded.is_none()) {
    nb::object factor = parameter_array(c, "graded_spikes_factor");
    if (any_true(checked(PyObject_RichCompare(factor.ptr(), nb::float_(1.0).ptr(), Py_NE)))) {
      env.report(layer + ": graded_spikes_factor scales its spikes, which the IR's LIF emits as 1",
                 kDiffers);
    }
  }
  if (py::truthy(optional_attr(c.module, "inhibition"))) {
    env.report(layer +
                   ": inhibition lets only its strongest neuron fire, which the IR's LIF "
                   "does not do",
               kDiffers);
  }
  if (py::truthy(optional_attr(c.module, "state_quant"))) {
    env.report(layer + ": state_quant quantizes its membrane, which the IR's LIF keeps exact",
               kDiffers);
  }
  if (any_true(checked(PyObject_RichCompare(threshold.ptr(), nb::float_(0.0).ptr(), Py_LE)))) {
    env.report(layer +
                   ": a threshold at or below 0 fires differently in the IR's LIF, which "
                   "fires at mem >= threshold (the layer at mem > threshold)",
               kDiffers);
  }
}

}  // namespace

nb::object convert_leaky(Conversion& c) {
  if (!is_instance(c.module, c.env.leaky_class())) return nb::none();
  nb::handle np = c.env.np();
  // The decay as the layer uses it: beta clamped to [0, 1].
  nb::object beta = np.attr("clip")(parameter_array(c, "beta"), 0.0, 1.0);
  nb::object threshold = parameter_array(c, "threshold");
  report_settings(c, threshold);

  nb::object one = nb::float_(1.0);
  nb::object decay = checked(PyNumber_Subtract(one.ptr(), beta.ptr()));
  nb::object guarded = checked(PyNumber_Add(decay.ptr(), nb::float_(kLeakEpsilon).ptr()));
  nb::object tau = checked(PyNumber_TrueDivide(one.ptr(), guarded.ptr()));

  nb::object taus = per_neuron(c, tau);
  nb::object thresholds = per_neuron(c, threshold);
  if (taus.is_none() || thresholds.is_none()) {
    throw nb::value_error(("snnTorch Leaky " + c.env.label() +
                           ": beta or threshold does not fit the layer's output shape " +
                           text(c.out_shape))
                              .c_str());
  }
  Keywords kw;
  kw.add("tau", taus);
  kw.add("r", taus.attr("copy")());
  kw.add("v_leak", np.attr("zeros_like")(taus));
  kw.add("v_threshold", thresholds);
  return c.build("LIF", kw);
}

}  // namespace vantle::export_ir
