// One forward hook on many modules, installed and removed as
// nn.Module.register_forward_hook and the returned handle's remove() would do.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace vantle::export_ir {

namespace nb = nanobind;

// register_forward_hook is Python code that builds a handle object (weak
// references included) per call, and remove() is Python code again; on a
// model of 1,000 small layers the pair costs about as much as the hooked
// forward pass. Its whole effect is one entry, under a fresh handle id, in the
// module's `_forward_hooks`. For a module that keeps nn.Module's method that
// entry is made and deleted here directly; any other module gets the method
// call and its handle's remove().
class ForwardHooks {
 public:
  // `torch`: the torch module; `hook`: the callable to install.
  ForwardHooks(nb::handle torch, nb::object hook);

  // Adds the hook after the module's own forward hooks.
  void install(nb::handle module);

  // Removes every installed hook, in installation order.
  void remove_all();

 private:
  struct Installed {
    nb::object hooks;   // the module's _forward_hooks (direct entries)
    nb::object id;      // the entry's handle id (direct entries)
    nb::object handle;  // the returned handle (method calls)
  };

  // `dict`: the module's instance __dict__.
  bool installs_directly(nb::handle module, nb::handle dict) const;
  nb::object next_handle_id();

  nb::object hook_;
  nb::object module_method_;  // nn.Module.register_forward_hook
  nb::object handle_class_;   // torch.utils.hooks.RemovableHandle
  bool direct_ = false;       // whether handle ids can be drawn here
  std::vector<Installed> installed_;
};

}  // namespace vantle::export_ir
