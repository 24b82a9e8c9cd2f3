// One forward hook (or forward pre-hook) on many modules, installed and removed
// as nn.Module.register_forward_hook (register_forward_pre_hook) and the
// returned handle's remove() would do.
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
  enum class Kind {
    kForward,          // hook(module, args, output)
    kPreWithKeywords,  // hook(module, args, kwargs), before forward
  };

  // `torch`: the torch module; `hook`: the callable to install.
  ForwardHooks(nb::handle torch, nb::object hook, Kind kind = Kind::kForward);

  // Announces how many modules will get the hook, so ids come in one block.
  void reserve(std::size_t count);

  // Adds the hook after the module's own forward hooks.
  void install(nb::handle module);

  // Removes every installed hook, in installation order.
  void remove_all();

 private:
  struct Installed {
    nb::object hooks;   // the module's hook table (direct entries)
    nb::object flags;   // pre-hooks: its with-kwargs table (direct entries)
    nb::object id;      // the entry's handle id (direct entries)
    nb::object handle;  // the returned handle (method calls)
  };

  // `dict`: the module's instance __dict__.
  bool installs_directly(nb::handle module, nb::handle dict) const;
  nb::object next_handle_id();

  nb::object hook_;
  Kind kind_;
  const char* method_name_;    // register_forward_hook or register_forward_pre_hook
  nb::object module_method_;   // nn.Module's own method of that name
  nb::object handle_class_;    // torch.utils.hooks.RemovableHandle
  bool direct_ = false;        // whether handle ids can be drawn here
  std::size_t reserve_ = 0;    // ids to draw in the next block
  std::size_t pool_left_ = 0;  // ids drawn and not yet used
  nb::object pool_next_;
  std::vector<Installed> installed_;
};

}  // namespace vantle::export_ir
