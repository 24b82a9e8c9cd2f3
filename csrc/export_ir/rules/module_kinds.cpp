#include "export_ir/rules/module_kinds.h"

#include <string>

#include "export_ir/rules/rules.h"
#include "py/instance_test.h"

namespace vantle::export_ir {
namespace {

// Packages whose layers are taken as they are: their own interior is not the
// model author's code.
constexpr const char* kLibraryPackages[] = {"torch.",        "snntorch.", "vantle.bridge.import_ir",
                                            "spikingjelly.", "norse.",    "sinabs."};

std::string package_of(nb::handle type) {
  nb::object module = optional_attr(type, "__module__");
  return PyUnicode_Check(module.ptr()) ? str_of(module) : std::string();
}

bool from_library(nb::handle type) {
  const std::string name = package_of(type);
  if (name.empty()) return false;
  for (const char* prefix : kLibraryPackages) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace

ModuleKinds::ModuleKinds(Env& env) : env_(env) {
  nb::handle nn = env.nn();
  containers_ = nb::make_tuple(nn.attr("Sequential"), nn.attr("ModuleList"), nn.attr("ModuleDict"));
  nb::object dropout_module = optional_attr(optional_attr(nn, "modules"), "dropout");
  dropout_ = dropout_module.is_none() ? nb::none() : optional_attr(dropout_module, "_DropoutNd");
}

// The class whose bridge rule takes the module; none when the bridge classes
// cannot be had (the conversion itself then reports why).
nb::object ModuleKinds::bridge_rule_class_or_none(nb::handle module) {
  try {
    return bridge_rule_class(env_, module);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError) &&
        !error.matches(PyExc_ImportError)) {
      throw;
    }
    return nb::object();
  }
}

uint8_t ModuleKinds::flags(nb::handle module) {
  PyTypeObject* type = Py_TYPE(module.ptr());
  auto found = flags_.find(type);
  if (found != flags_.end()) return found->second;
  uint8_t flags = kKnown;
  nb::object rule_class = torch_rule_class(env_, module);
  if (!rule_class.is_valid()) rule_class = bridge_rule_class_or_none(module);
  if (rule_class.is_valid()) {
    flags |= kRule;
    // A subclass whose forward is its own may do more than the layer the rule
    // converts (call children, add operations): its calls are traced through.
    // snnTorch's neuron rule reports subclasses itself.
    nb::object rule_package = optional_attr(rule_class, "__module__");
    const bool reported =
        PyUnicode_Check(rule_package.ptr()) && str_of(rule_package).rfind("snntorch", 0) == 0;
    auto* rule_type = reinterpret_cast<PyTypeObject*>(rule_class.ptr());
    if (!reported && type_lookup(type, "forward") != type_lookup(rule_type, "forward")) {
      flags |= kOwnForward;
    }
  }
  nb::handle type_object = reinterpret_cast<PyObject*>(type);
  if (from_library(type_object) && !is_instance(module, containers_)) flags |= kLibrary;
  // spikingjelly's layers run in a single-step mode (their torch base's forward,
  // or one neuron step) or a multi-step one, chosen per instance.
  if (package_of(type_object).rfind("spikingjelly.", 0) == 0) flags |= kStepModes;
  if (!dropout_.is_none() && is_instance(module, dropout_)) flags |= kDropout;
  // Instances that report another class answer for themselves alone.
  if (py::keeps_standard_class_attribute(type)) {
    types_.push_back(nb::borrow(type_object));
    flags_.emplace(type, flags);
  }
  return flags;
}

bool ModuleKinds::has_rule(nb::handle module) {
  const uint8_t kind = flags(module);
  if ((kind & kRule) == 0) return false;
  if ((kind & kStepModes) != 0) {
    // In multi-step mode a call takes a whole [T, batch, ...] sequence.
    if (multi_step(module)) return false;
  } else if ((kind & kOwnForward) != 0) {
    return false;
  }
  // A forward set on the instance replaces the layer's own.
  return !instance_forward(module);
}

bool ModuleKinds::instance_forward(nb::handle module) {
  nb::object dict = instance_dict(module);
  if (!PyDict_Check(dict.ptr())) return false;
  const int own = PyDict_Contains(dict.ptr(), interned("forward").ptr());
  if (own < 0) throw nb::python_error();
  return own == 1;
}

bool ModuleKinds::multi_step(nb::handle module) {
  if ((flags(module) & kStepModes) == 0) return false;
  nb::object step_mode = optional_attr(module, "step_mode");
  return !PyUnicode_Check(step_mode.ptr()) || !nb::str("s").equal(step_mode);
}

std::string ModuleKinds::why_no_form(nb::handle module) {
  if (multi_step(module)) {
    return " runs in multi-step mode (step_mode='m'), and the model does not run one time "
           "step at a time (on the sample's first step), which export follows";
  }
  if (is_library_layer(module) && (flags(module) & kOwnForward) != 0) {
    return " runs a forward of its own, which has no IR form";
  }
  return " has no IR form";
}

bool ModuleKinds::is_library_layer(nb::handle module) {
  return (flags(module) & kLibrary) != 0;
}

bool ModuleKinds::is_dropout(nb::handle module) {
  return (flags(module) & kDropout) != 0;
}

}  // namespace vantle::export_ir
