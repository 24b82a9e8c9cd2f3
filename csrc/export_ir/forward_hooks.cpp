#include "export_ir/forward_hooks.h"

#include "export_ir/py_util.h"
#include "py/instance_test.h"

namespace vantle::export_ir {
namespace {

// A plain function defined in torch as `module`.`qualname`.
bool is_torch_function(nb::handle function, const char* module, const char* qualname) {
  if (!PyFunction_Check(function.ptr())) return false;
  return nb::str(module).equal(optional_attr(function, "__module__")) &&
         nb::str(qualname).equal(optional_attr(function, "__qualname__"));
}

}  // namespace

ForwardHooks::ForwardHooks(nb::handle torch, nb::object hook) : hook_(std::move(hook)) {
  module_method_ = torch.attr("nn").attr("Module").attr("__dict__")["register_forward_hook"];
  handle_class_ = torch.attr("utils").attr("hooks").attr("RemovableHandle");
  // Ids come from the handle class's counter, shared with every other hook.
  // Entries are made here only while the method and the handle are torch's
  // own: a replaced one (a test's spy, a patch) must see every call.
  nb::object counter = optional_attr(handle_class_, "next_id");
  direct_ = PyLong_CheckExact(counter.ptr()) &&
            is_torch_function(module_method_, "torch.nn.modules.module",
                              "Module.register_forward_hook") &&
            is_torch_function(handle_class_.attr("__dict__")["__init__"], "torch.utils.hooks",
                              "RemovableHandle.__init__") &&
            is_torch_function(handle_class_.attr("__dict__")["remove"], "torch.utils.hooks",
                              "RemovableHandle.remove");
}

bool ForwardHooks::installs_directly(nb::handle module, nb::handle dict) const {
  if (!direct_) return false;
  PyTypeObject* type = Py_TYPE(module.ptr());
  if (type_lookup(type, "register_forward_hook") != module_method_.ptr()) return false;
  // The method finds `self._forward_hooks` in the instance dict unless the
  // class reroutes attribute access or defines that name itself.
  if (!py::has_generic_getattribute(type) || type_lookup(type, "_forward_hooks") != nullptr) {
    return false;
  }
  // An instance attribute of that name would shadow the method.
  const int shadowed = PyDict_Contains(dict.ptr(), interned("register_forward_hook").ptr());
  if (shadowed < 0) throw nb::python_error();
  if (shadowed == 1) return false;
  // The method reads all three hook tables; without them it fails, so let it.
  for (const char* table :
       {"_forward_hooks", "_forward_hooks_with_kwargs", "_forward_hooks_always_called"}) {
    if (!registry_of(dict, table).is_valid()) return false;
  }
  return true;
}

nb::object ForwardHooks::next_handle_id() {
  nb::handle name = interned("next_id");
  nb::object id = checked(PyObject_GetAttr(handle_class_.ptr(), name.ptr()));
  nb::object following = checked(PyNumber_Add(id.ptr(), nb::int_(1).ptr()));
  if (PyObject_SetAttr(handle_class_.ptr(), name.ptr(), following.ptr()) < 0) {
    throw nb::python_error();
  }
  return id;
}

void ForwardHooks::install(nb::handle module) {
  nb::object dict = instance_dict(module);
  if (!dict.is_none() && installs_directly(module, dict)) {
    nb::handle hooks = registry_of(dict, "_forward_hooks");
    nb::object id = next_handle_id();
    // Item assignment, not PyDict_SetItem: the table is an OrderedDict.
    if (PyObject_SetItem(hooks.ptr(), id.ptr(), hook_.ptr()) < 0) throw nb::python_error();
    installed_.push_back({nb::borrow(hooks), std::move(id), nb::object()});
    return;
  }
  nb::object handle = checked(PyObject_CallMethodOneArg(
      module.ptr(), interned("register_forward_hook").ptr(), hook_.ptr()));
  installed_.push_back({nb::object(), nb::object(), std::move(handle)});
}

void ForwardHooks::remove_all() {
  for (Installed& entry : installed_) {
    if (entry.handle.is_valid()) {
      checked(PyObject_CallMethodNoArgs(entry.handle.ptr(), interned("remove").ptr()));
      continue;
    }
    // As remove() does: delete the entry if it is still there. Nothing else
    // knows the id, so the kwargs and always-call tables never hold it.
    const int present = PySequence_Contains(entry.hooks.ptr(), entry.id.ptr());
    if (present < 0) throw nb::python_error();
    if (present == 1 && PyObject_DelItem(entry.hooks.ptr(), entry.id.ptr()) < 0) {
      throw nb::python_error();
    }
  }
  installed_.clear();
}

}  // namespace vantle::export_ir
