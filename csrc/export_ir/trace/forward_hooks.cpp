#include "export_ir/trace/forward_hooks.h"

#include <array>

#include "export_ir/common/cpython.h"
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

namespace {

// The hook tables the registration method fills, by kind: the table itself,
// then the tables it keeps beside it.
struct Tables {
  const char* hooks;
  std::array<const char*, 2> beside;
};

Tables tables_of(ForwardHooks::Kind kind) {
  if (kind == ForwardHooks::Kind::kForward) {
    return {"_forward_hooks", {"_forward_hooks_with_kwargs", "_forward_hooks_always_called"}};
  }
  return {"_forward_pre_hooks", {"_forward_pre_hooks_with_kwargs", nullptr}};
}

}  // namespace

ForwardHooks::ForwardHooks(nb::handle torch, nb::object hook, Kind kind)
    : hook_(std::move(hook)),
      kind_(kind),
      method_name_(kind == Kind::kForward ? "register_forward_hook" : "register_forward_pre_hook") {
  module_method_ = torch.attr("nn").attr("Module").attr("__dict__")[method_name_];
  handle_class_ = torch.attr("utils").attr("hooks").attr("RemovableHandle");
  // Ids come from the handle class's counter, shared with every other hook.
  // Entries are made here only while the method and the handle are torch's
  // own: a replaced one (a test's spy, a patch) must see every call.
  nb::object counter = optional_attr(handle_class_, "next_id");
  direct_ = PyLong_CheckExact(counter.ptr()) &&
            is_torch_function(module_method_, "torch.nn.modules.module",
                              kind == Kind::kForward ? "Module.register_forward_hook"
                                                     : "Module.register_forward_pre_hook") &&
            is_torch_function(handle_class_.attr("__dict__")["__init__"], "torch.utils.hooks",
                              "RemovableHandle.__init__") &&
            is_torch_function(handle_class_.attr("__dict__")["remove"], "torch.utils.hooks",
                              "RemovableHandle.remove");
}

bool ForwardHooks::installs_directly(nb::handle module, nb::handle dict) const {
  if (!direct_) return false;
  PyTypeObject* type = Py_TYPE(module.ptr());
  const Tables tables = tables_of(kind_);
  if (type_lookup(type, method_name_) != module_method_.ptr()) return false;
  // The method finds its tables in the instance dict unless the class
  // reroutes attribute access or defines that name itself.
  if (!py::has_generic_getattribute(type) || type_lookup(type, tables.hooks) != nullptr) {
    return false;
  }
  // An instance attribute of that name would shadow the method.
  const int shadowed = PyDict_Contains(dict.ptr(), interned(method_name_).ptr());
  if (shadowed < 0) throw nb::python_error();
  if (shadowed == 1) return false;
  // The method reads all its tables; without them it fails, so let it.
  if (!registry_of(dict, tables.hooks).is_valid()) return false;
  for (const char* table : tables.beside) {
    if (table != nullptr && !registry_of(dict, table).is_valid()) return false;
  }
  return true;
}

void ForwardHooks::reserve(std::size_t count) {
  reserve_ = count;
}

nb::object ForwardHooks::next_handle_id() {
  if (pool_left_ == 0) {
    // Writing the class counter is costly (it changes a type), so ids are
    // drawn in one block for the modules announced by reserve().
    nb::handle name = interned("next_id");
    pool_next_ = checked(PyObject_GetAttr(handle_class_.ptr(), name.ptr()));
    pool_left_ = reserve_ > 0 ? reserve_ : 1;
    reserve_ = 0;
    nb::object following =
        checked(PyNumber_Add(pool_next_.ptr(), nb::int_(static_cast<int64_t>(pool_left_)).ptr()));
    if (PyObject_SetAttr(handle_class_.ptr(), name.ptr(), following.ptr()) < 0) {
      throw nb::python_error();
    }
  }
  nb::object id = pool_next_;
  pool_next_ = checked(PyNumber_Add(id.ptr(), nb::int_(1).ptr()));
  --pool_left_;
  return id;
}

void ForwardHooks::install(nb::handle module) {
  nb::object dict = instance_dict(module);
  if (!dict.is_none() && installs_directly(module, dict)) {
    const Tables tables = tables_of(kind_);
    nb::handle hooks = registry_of(dict, tables.hooks);
    nb::object id = next_handle_id();
    // Item assignment, not PyDict_SetItem: the table is an OrderedDict.
    if (PyObject_SetItem(hooks.ptr(), id.ptr(), hook_.ptr()) < 0) throw nb::python_error();
    nb::object flags;
    if (kind_ == Kind::kPreWithKeywords) {
      flags = nb::borrow(registry_of(dict, tables.beside[0]));
      if (PyObject_SetItem(flags.ptr(), id.ptr(), Py_True) < 0) throw nb::python_error();
    }
    installed_.push_back({nb::borrow(hooks), std::move(flags), std::move(id), nb::object()});
    return;
  }
  nb::object method = checked(PyObject_GetAttr(module.ptr(), interned(method_name_).ptr()));
  nb::object handle =
      kind_ == Kind::kForward ? method(hook_) : method(hook_, nb::arg("with_kwargs") = true);
  installed_.push_back({nb::object(), nb::object(), nb::object(), std::move(handle)});
}

void ForwardHooks::remove_all() {
  for (Installed& entry : installed_) {
    if (entry.handle.is_valid()) {
      checked(PyObject_CallMethodNoArgs(entry.handle.ptr(), interned("remove").ptr()));
      continue;
    }
    // As remove() does: delete the entries if they are still there. Nothing
    // else knows the id, so no other table holds it.
    for (const nb::object& table : {entry.hooks, entry.flags}) {
      if (!table.is_valid()) continue;
      const int present = PySequence_Contains(table.ptr(), entry.id.ptr());
      if (present < 0) throw nb::python_error();
      if (present == 1 && PyObject_DelItem(table.ptr(), entry.id.ptr()) < 0) {
        throw nb::python_error();
      }
    }
  }
  installed_.clear();
}

}  // namespace vantle::export_ir
