#include "export_ir/trace/sequential_fast_path.h"

#include "export_ir/common/cpython.h"
#include "export_ir/rules/module_kinds.h"
#include "py/module_state.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

bool has_entries(nb::handle table) {
  return table.is_valid() && PyDict_GET_SIZE(table.ptr()) > 0;
}

// Hooks torch runs around every module call.
bool global_hooks_set() {
  nb::object module_module = module_global("torch").attr("nn").attr("modules").attr("module");
  for (const char* name : {"_global_forward_hooks", "_global_forward_pre_hooks",
                           "_global_backward_hooks", "_global_backward_pre_hooks"}) {
    nb::object table = optional_attr(module_module, name);
    if (!PyDict_Check(table.ptr()) || PyDict_GET_SIZE(table.ptr()) > 0) return true;
  }
  return false;
}

}  // namespace

std::vector<nb::object> children_in_turn(nb::handle model, nb::handle sequential,
                                         const std::vector<nb::tuple>& calls,
                                         const std::unordered_set<PyObject*>& quiet) {
  std::vector<nb::object> children;
  if (Py_TYPE(model.ptr()) != reinterpret_cast<PyTypeObject*>(sequential.ptr())) return children;
  for (const nb::tuple& args : calls) {
    if (PyTuple_GET_SIZE(args.ptr()) != 1) return children;
  }
  nb::object dict = instance_dict(model);
  if (!PyDict_Check(dict.ptr())) return children;
  // A forward set on the instance, a compiled call, a trace of the JIT's, hooks.
  const int own_forward = PyDict_Contains(dict.ptr(), interned("forward").ptr());
  if (own_forward != 0) {
    if (own_forward < 0) throw nb::python_error();
    return children;
  }
  if (!optional_attr(model, "_compiled_call_impl").is_none()) return children;
  if (!checked(
           PyObject_CallNoArgs(module_global("torch").attr("_C").attr("_get_tracing_state").ptr()))
           .is_none()) {
    return children;
  }
  for (const char* table :
       {"_forward_hooks", "_forward_pre_hooks", "_backward_hooks", "_backward_pre_hooks"}) {
    const nb::handle hooks = registry_of(dict, table);
    if (!hooks.is_valid() || has_entries(hooks)) return children;
  }
  if (global_hooks_set()) return children;
  nb::handle registered = registry_of(dict, "_modules");
  if (!registered.is_valid() || PyDict_GET_SIZE(registered.ptr()) == 0) return children;
  PyObject* key = nullptr;
  PyObject* child = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(registered.ptr(), &position, &key, &child)) {
    if (quiet.count(child) == 0 ||
        has_entries(registry_of(instance_dict(child), "_forward_pre_hooks"))) {
      children.clear();
      return children;
    }
    children.push_back(nb::borrow(child));
  }
  return children;
}

std::unordered_set<PyObject*> quiet_leaves(const ModuleTree& tree, nb::handle sequential,
                                           ModuleKinds& kinds) {
  std::unordered_set<PyObject*> quiet;
  if (tree.parents.size() != tree.modules.size()) return quiet;  // walked by the model's methods
  std::vector<char> has_children(tree.modules.size(), 0);
  for (int32_t parent : tree.parents) {
    if (parent >= 0) has_children[parent] = 1;
  }
  const auto* plain = reinterpret_cast<PyTypeObject*>(sequential.ptr());
  for (std::size_t i = 0; i < tree.modules.size(); ++i) {
    const int32_t parent = tree.parents[i];
    if (parent < 0 || has_children[i] != 0) continue;
    if (Py_TYPE(tree.modules[parent].ptr()) != plain) continue;
    if (kinds.is_leaf(tree.modules[i])) quiet.insert(tree.modules[i].ptr());
  }
  return quiet;
}

}  // namespace vantle::export_ir
