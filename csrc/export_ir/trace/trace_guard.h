// Evaluation mode for the traced pass, and everything needed to undo it: each
// module's training flag, every buffer binding the pass may replace (spiking
// layers that keep their membrane in a buffer do that), a graph executor's
// states, and the hooks the pass installs.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "export_ir/trace/forward_hooks.h"

namespace vantle::export_ir {

namespace nb = nanobind;

// Writes `module.training`. nn.Module.__setattr__ is Python code that, for a
// plain flag not shadowed by a parameter, buffer or submodule name, ends in
// object.__setattr__; for such modules that last step is taken directly.
class FlagWriter {
 public:
  explicit FlagWriter(nb::handle nn_module);

  void write(nb::handle module, nb::handle value) const;

 private:
  bool plain_flag(nb::handle module) const;
  // The __setattr__ that `super()` inside nn.Module finds for this class.
  bool super_setattr_is_object(PyTypeObject* type) const;

  nb::object nn_module_;
  nb::object module_setattr_;
};

// What the trace may change on one module, recorded before it runs.
struct SavedModule {
  nb::object module;
  nb::object training;
  // The module's tables of state the pass may rebind (_buffers, and
  // spikingjelly's _memories), each with a shallow copy of its bindings.
  std::vector<std::pair<nb::object, nb::object>> tables;
};

class TraceGuard {
 public:
  TraceGuard(const std::vector<nb::object>& modules, nb::handle nn_module);

  void switch_to_eval();

  // Installs `hook` on each of `modules`; sets go on in the order they are added.
  void add_hooks(nb::handle torch, nb::object hook, ForwardHooks::Kind kind,
                 const std::vector<nb::object>& modules);

  // A graph executor keeps the spiking layers' membranes between calls; the
  // trace is one more call, so its states are put back afterwards too.
  void save_executor_states(nb::handle model);

  // Removes the hooks in the order they were installed, then restores the
  // buffer bindings and training flags.
  void undo();

 private:
  static void restore_bindings(nb::handle table, nb::handle bindings);

  FlagWriter flags_;
  std::vector<SavedModule> saved_;
  nb::object executor_states_;
  nb::object saved_states_;
  std::vector<ForwardHooks> hook_sets_;
};

}  // namespace vantle::export_ir
