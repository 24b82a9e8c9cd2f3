// spikingjelly's neurons as the IR's LIF.
//
// In single-step mode LIFNode charges v = v + (x - (v - v_reset)) / tau
// (decay_input=True) or v = v - (v - v_reset) / tau + x, fires where
// v >= v_threshold and sets a fired membrane to v_reset; ParametricLIFNode is
// LIFNode with tau = 1 / sigmoid(w); IFNode charges v = v + x. The IR's LIF
// steps mem = (1 - 1/tau) * mem + (v_leak + r * x) / tau, fires where
// mem >= v_threshold and zeroes a fired membrane. So tau is the neuron's, r is
// 1 (tau when the input is not decayed), v_leak is v_reset, and IFNode gets a
// time constant so long that nothing leaks (tau = r = 1e9, as a decay of 1
// does for snnTorch). With the default v_reset=0.0 the spikes are the same;
// other resets are reported and the layer still exports as a zero-reset LIF.
// The neurons are recognised only when spikingjelly is loaded already: a model
// that holds them has loaded it.
#include "export_ir/rules/spikingjelly.h"

#include <string>

#include "export_ir/rules/neuron_arrays.h"
#include "export_ir/rules/rules.h"
#include "py/arg_check.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

constexpr double kNoLeak = 1e9;
constexpr const char* kDiffers = "exported as the IR's LIF, whose spikes differ from the layer's";

enum class Neuron { kLIF, kParametricLIF, kIF };

struct NeuronClass {
  const char* name;
  Neuron kind;
};

// Subclasses first: the first class the module is an instance of decides.
constexpr NeuronClass kNeurons[] = {
    {"ParametricLIFNode", Neuron::kParametricLIF},
    {"LIFNode", Neuron::kLIF},
    {"IFNode", Neuron::kIF},
};

// spikingjelly's neuron package, or None when nothing has loaded it.
nb::object neuron_package() {
  PyObject* loaded = PyImport_GetModuleDict();
  PyObject* package =
      PyDict_GetItemString(loaded, "spikingjelly.activation_based.neuron");  // borrowed
  return package == nullptr ? nb::none() : nb::borrow(package);
}

// The neuron class the module is an instance of, and which it is.
nb::object neuron_class(nb::handle module, Neuron* kind = nullptr) {
  nb::object package = neuron_package();
  if (package.is_none()) return nb::object();
  for (const NeuronClass& neuron : kNeurons) {
    nb::object cls = optional_attr(package, neuron.name);
    if (cls.is_none() || !is_instance(module, cls)) continue;
    if (kind != nullptr) *kind = neuron.kind;
    return cls;
  }
  return nb::object();
}

// A subclass that replaces how the neuron charges, fires or resets.
bool own_dynamics(nb::handle module, nb::handle cls) {
  auto* type = Py_TYPE(module.ptr());
  auto* base = reinterpret_cast<PyTypeObject*>(cls.ptr());
  for (const char* step :
       {"neuronal_charge", "neuronal_fire", "neuronal_reset", "single_step_forward", "forward"}) {
    if (type_lookup(type, step) != type_lookup(base, step)) return true;
  }
  return false;
}

// 1 / sigmoid(w): the time constant a ParametricLIFNode has learned.
nb::object learned_tau(const Conversion& c) {
  nb::object w = c.attrs.required("w");
  nb::object torch = nb::borrow(c.env.torch());
  nb::object tau = torch.attr("sigmoid")(w.attr("detach")()).attr("reciprocal")();
  return c.env.np().attr("asarray")(c.env.array_of(tau),
                                    nb::arg("dtype") = c.env.np().attr("float64"));
}

}  // namespace

nb::object spikingjelly_rule_class(nb::handle module) {
  return neuron_class(module);
}

nb::object convert_spikingjelly_neuron(Conversion& c) {
  Neuron kind = Neuron::kLIF;
  nb::object cls = neuron_class(c.module, &kind);
  if (!cls.is_valid()) return nb::none();
  Env& env = c.env;
  const std::string layer = "spikingjelly " + py::python_type_name(c.module) + " " + env.label();
  if (own_dynamics(c.module, cls)) {
    env.report(
        layer + " is a subclass of " + str_of(cls.attr("__name__")) + " with dynamics of its own",
        "exported as a plain " + str_of(cls.attr("__name__")) +
            ", which may not compute what it computes");
  }

  nb::object reset = c.attrs.optional("v_reset");
  nb::object leak = nb::float_(0.0);
  if (reset.is_none()) {
    env.report(layer +
                   ": v_reset=None resets a fired membrane by subtracting the threshold, the "
                   "IR's LIF resets it to zero (v_reset=0.0 exports exactly)",
               kDiffers);
  } else {
    nb::object resets_to = parameter_array(c, "v_reset");
    if (any_true(checked(PyObject_RichCompare(resets_to.ptr(), nb::float_(0.0).ptr(), Py_NE)))) {
      env.report(layer + ": v_reset=" + str_of(nb::repr(reset)) +
                     " sets a fired membrane to that value, the IR's LIF to zero (v_reset=0.0 "
                     "exports exactly)",
                 kDiffers);
    }
    // A leaky neuron decays towards its reset value; an integrator does not decay.
    if (kind != Neuron::kIF) leak = resets_to;
  }

  nb::object tau;
  nb::object r;
  if (kind == Neuron::kIF) {
    tau = nb::float_(kNoLeak);
    r = tau;
  } else {
    tau = kind == Neuron::kParametricLIF ? learned_tau(c) : parameter_array(c, "tau");
    const bool decays_input = py::truthy(c.attrs.optional("decay_input"));
    r = decays_input ? nb::object(nb::float_(1.0)) : tau;
  }
  nb::object threshold = parameter_array(c, "v_threshold");
  nb::object taus = per_neuron(c, tau);
  nb::object resistances = per_neuron(c, r);
  nb::object leaks = per_neuron(c, leak);
  nb::object thresholds = per_neuron(c, threshold);
  if (taus.is_none() || resistances.is_none() || leaks.is_none() || thresholds.is_none()) {
    throw nb::value_error((layer + ": its parameters do not fit the layer's output shape " +
                           str_of(nb::repr(c.out_shape)))
                              .c_str());
  }
  Keywords kw;
  kw.add("tau", taus);
  kw.add("r", resistances);
  kw.add("v_leak", leaks);
  kw.add("v_threshold", thresholds);
  return c.build("LIF", kw);
}

}  // namespace vantle::export_ir
