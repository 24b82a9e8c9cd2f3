// model.named_modules() and model.modules() without a generator frame per
// module. The walk is nn.Module's own: depth first in registration order,
// each module once (first occurrence), names joined with dots, None entries
// skipped. A class that overrides named_modules or modules is honoured by
// calling the methods themselves.
#include "export_ir/trace/module_tree.h"

#include "export_ir/common/cpython.h"
#include "py/recursion_guard.h"

namespace vantle::export_ir {
namespace {

class ModuleWalk {
 public:
  explicit ModuleWalk(nb::handle nn_module) {
    nb::object methods = nn_module.attr("__dict__");
    named_modules_ = methods["named_modules"];
    modules_ = methods["modules"];
  }

  // Appends (name, module) pairs, and to `parents` (when given) the position of
  // each module's parent (-1 for the root); false when a module needs its own methods.
  bool visit(nb::handle module, nb::handle prefix, nb::handle memo, nb::handle out,
             std::vector<int32_t>* parents = nullptr, int32_t parent = -1) const {
    if (!uses_base(module, "named_modules", named_modules_)) return false;
    const py::RecursionGuard deeper(" while walking the model's submodules");
    const int seen = PySet_Contains(memo.ptr(), module.ptr());
    if (seen < 0) throw nb::python_error();
    if (seen == 1) return true;
    if (PySet_Add(memo.ptr(), module.ptr()) < 0) throw nb::python_error();
    const auto index = static_cast<int32_t>(PyList_GET_SIZE(out.ptr()));
    nb::object pair = nb::make_tuple(prefix, module);
    if (PyList_Append(out.ptr(), pair.ptr()) < 0) throw nb::python_error();
    if (parents != nullptr) parents->push_back(parent);

    nb::object children = optional_attr(module, "_modules");
    if (!PyDict_Check(children.ptr())) return false;
    const bool root = PyUnicode_GET_LENGTH(prefix.ptr()) == 0;
    PyObject* name = nullptr;
    PyObject* child = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(children.ptr(), &position, &name, &child)) {
      if (child == Py_None) continue;
      if (!PyUnicode_Check(name)) return false;
      nb::object path = root ? nb::borrow(name) : concat(prefix, name);
      if (!visit(child, path, memo, out, parents, index)) return false;
    }
    return true;
  }

  bool uses_base_modules(nb::handle module) const { return uses_base(module, "modules", modules_); }

 private:
  static bool uses_base(nb::handle module, const char* method, const nb::object& base) {
    return type_lookup(Py_TYPE(module.ptr()), method) == base.ptr();
  }

  static nb::object concat(nb::handle prefix, nb::handle name) {
    nb::object dotted = checked(PyUnicode_Concat(prefix.ptr(), interned(".").ptr()));
    return checked(PyUnicode_Concat(dotted.ptr(), name.ptr()));
  }

  nb::object named_modules_;
  nb::object modules_;
};

// The walk from the root, or None when some module overrides the method.
nb::object fast_named_modules(const ModuleWalk& walk, nb::handle model,
                              std::vector<int32_t>* parents = nullptr) {
  nb::list out;
  nb::object memo = checked(PySet_New(nullptr));
  if (!walk.visit(model, interned(""), memo, out, parents)) return nb::none();
  return out;
}

}  // namespace

nb::list named_modules(nb::handle nn, nb::handle model) {
  ModuleWalk walk(nn.attr("Module"));
  nb::object walked = fast_named_modules(walk, model);
  if (walked.is_none()) walked = checked(PySequence_List(model.attr("named_modules")().ptr()));
  return nb::borrow<nb::list>(walked);
}

ModuleTree module_tree(nb::handle nn, nb::handle model) {
  ModuleWalk walk(nn.attr("Module"));
  ModuleTree tree;
  nb::object walked =
      walk.uses_base_modules(model) ? fast_named_modules(walk, model, &tree.parents) : nb::none();
  if (walked.is_none()) {
    tree.named = named_modules(nn, model);
    tree.modules = modules(nn, model);
    tree.parents.clear();
    return tree;
  }
  // One walk gives both, as nn.Module's own methods would.
  tree.named = nb::borrow<nb::list>(walked);
  tree.modules.reserve(static_cast<std::size_t>(PyList_GET_SIZE(walked.ptr())));
  for (nb::handle pair : walked)
    tree.modules.push_back(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
  return tree;
}

std::vector<nb::object> modules(nb::handle nn, nb::handle model) {
  ModuleWalk walk(nn.attr("Module"));
  std::vector<nb::object> result;
  nb::object walked = walk.uses_base_modules(model) ? fast_named_modules(walk, model) : nb::none();
  if (walked.is_none()) {
    for (nb::handle module : model.attr("modules")()) result.push_back(nb::borrow(module));
    return result;
  }
  for (nb::handle pair : walked) result.push_back(nb::borrow(pair[nb::int_(1)]));
  return result;
}

}  // namespace vantle::export_ir
