#include "export_ir/rules/module_kinds.h"

#include <string>

#include "export_ir/rules/rules.h"
#include "py/instance_test.h"

namespace vantle::export_ir {
namespace {

// Packages whose layers are taken as they are: their own interior is not the
// model author's code.
constexpr const char* kLibraryPackages[] = {"torch.", "snntorch.", "vantle.bridge.import_ir"};

bool from_library(nb::handle type) {
  nb::object module = optional_attr(type, "__module__");
  if (!PyUnicode_Check(module.ptr())) return false;
  const std::string name = str_of(module);
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

// Whether a bridge rule takes the module; false when the bridge classes
// cannot be had (the conversion itself then reports why).
bool ModuleKinds::matches_bridge_rule_or_none(nb::handle module) {
  try {
    return matches_bridge_rule(env_, module);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError) &&
        !error.matches(PyExc_ImportError)) {
      throw;
    }
    return false;
  }
}

uint8_t ModuleKinds::flags(nb::handle module) {
  PyTypeObject* type = Py_TYPE(module.ptr());
  auto found = flags_.find(type);
  if (found != flags_.end()) return found->second;
  uint8_t flags = kKnown;
  if (matches_torch_rule(env_, module) || matches_bridge_rule_or_none(module)) flags |= kRule;
  nb::handle type_object = reinterpret_cast<PyObject*>(type);
  if (from_library(type_object) && !is_instance(module, containers_)) flags |= kLibrary;
  if (!dropout_.is_none() && is_instance(module, dropout_)) flags |= kDropout;
  // Instances that report another class answer for themselves alone.
  if (py::keeps_standard_class_attribute(type)) {
    types_.push_back(nb::borrow(type_object));
    flags_.emplace(type, flags);
  }
  return flags;
}

bool ModuleKinds::has_rule(nb::handle module) {
  return (flags(module) & kRule) != 0;
}

bool ModuleKinds::is_library_layer(nb::handle module) {
  return (flags(module) & kLibrary) != 0;
}

bool ModuleKinds::is_dropout(nb::handle module) {
  return (flags(module) & kDropout) != 0;
}

}  // namespace vantle::export_ir
