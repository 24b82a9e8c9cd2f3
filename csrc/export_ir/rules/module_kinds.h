// What a module's class says about how its calls export, kept per type.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantle::export_ir {

namespace nb = nanobind;

class Env;

class ModuleKinds {
 public:
  explicit ModuleKinds(Env& env);

  // A built-in conversion rule takes the module.
  bool has_rule(nb::handle module);
  // A layer of torch, snnTorch or the import module that is not a container:
  // without a rule it has no IR form, and its interior is never looked into.
  bool is_library_layer(nb::handle module);
  // The identity at inference (dropout variants without a rule of their own).
  bool is_dropout(nb::handle module);

  // Calls whose interior the trace does not record. A forward set on the
  // instance is the model author's code, traced like any other.
  bool is_leaf(nb::handle module) {
    return has_rule(module) || (is_library_layer(module) && !instance_forward(module));
  }

  // Why a module without a node is left out: " has no IR form", or a more
  // specific reason (a setting of the library's).
  std::string why_no_form(nb::handle module);

 private:
  enum Flag : uint8_t {
    kKnown = 1,
    kRule = 2,
    kLibrary = 4,
    kDropout = 8,
    kOwnForward = 16,
    kStepModes = 32,
  };
  uint8_t flags(nb::handle module);
  static bool instance_forward(nb::handle module);
  nb::object bridge_rule_class_or_none(nb::handle module);
  bool multi_step(nb::handle module);

  Env& env_;
  nb::object containers_;  // (Sequential, ModuleList, ModuleDict)
  nb::object dropout_;     // the dropout base class, or None
  std::unordered_map<PyTypeObject*, uint8_t> flags_;
  std::vector<nb::object> types_;  // keeps the cached types alive
};

}  // namespace vantle::export_ir
