#include "export_ir/trace/trace_guard.h"

#include <utility>

#include "export_ir/common/cpython.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {

FlagWriter::FlagWriter(nb::handle nn_module)
    : nn_module_(nb::borrow(nn_module)),
      module_setattr_(nn_module.attr("__dict__")["__setattr__"]) {}

void FlagWriter::write(nb::handle module, nb::handle value) const {
  nb::handle name = interned("training");
  if (plain_flag(module)) {
    if (PyObject_GenericSetAttr(module.ptr(), name.ptr(), value.ptr()) < 0) {
      throw nb::python_error();
    }
    return;
  }
  if (PyObject_SetAttr(module.ptr(), name.ptr(), value.ptr()) < 0) throw nb::python_error();
}

bool FlagWriter::plain_flag(nb::handle module) const {
  PyTypeObject* type = Py_TYPE(module.ptr());
  if (type_lookup(type, "__setattr__") != module_setattr_.ptr()) return false;
  if (!super_setattr_is_object(type)) return false;
  nb::object dict = instance_dict(module);
  if (dict.is_none()) return false;
  for (const char* name : {"_parameters", "_buffers", "_modules"}) {
    nb::handle registry = registry_of(dict, name);
    if (!registry.is_valid()) continue;
    const int shadowed = PyDict_Contains(registry.ptr(), interned("training").ptr());
    if (shadowed < 0) throw nb::python_error();
    if (shadowed == 1) return false;
  }
  return true;
}

bool FlagWriter::super_setattr_is_object(PyTypeObject* type) const {
  PyObject* mro = type->tp_mro;
  const Py_ssize_t count = PyTuple_GET_SIZE(mro);
  Py_ssize_t index = 0;
  while (index < count && PyTuple_GET_ITEM(mro, index) != nn_module_.ptr()) ++index;
  for (++index; index < count; ++index) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
    // Static builtin types may have no tp_dict (Python 3.12 and later).
    if (base == &PyBaseObject_Type) return true;
    if (base->tp_dict == nullptr) return false;
    PyObject* found = PyDict_GetItemWithError(base->tp_dict, interned("__setattr__").ptr());
    if (found != nullptr) return false;
    if (PyErr_Occurred()) throw nb::python_error();
  }
  return false;
}

TraceGuard::TraceGuard(const std::vector<nb::object>& modules, nb::handle nn_module)
    : flags_(nn_module) {
  saved_.reserve(modules.size());
  for (const nb::object& module : modules) {
    SavedModule entry{module, module.attr(interned("training")), {}};
    nb::object dict = instance_dict(module);
    for (const char* name : {"_buffers", "_memories"}) {
      // Only bindings that exist now are put back, so an empty table needs no copy.
      nb::handle table = registry_of(dict, name);
      if (table.is_valid() && PyDict_GET_SIZE(table.ptr()) > 0) {
        entry.tables.emplace_back(nb::borrow(table), checked(PyDict_Copy(table.ptr())));
      }
    }
    saved_.push_back(std::move(entry));
  }
}

void TraceGuard::switch_to_eval() {
  for (SavedModule& entry : saved_) {
    if (py::truthy(entry.training)) flags_.write(entry.module, Py_False);
  }
}

void TraceGuard::add_hooks(nb::handle torch, nb::object hook, ForwardHooks::Kind kind,
                           const std::vector<nb::object>& modules) {
  ForwardHooks& hooks = hook_sets_.emplace_back(torch, std::move(hook), kind);
  hooks.reserve(modules.size());
  for (const nb::object& module : modules) hooks.install(module);
}

void TraceGuard::save_executor_states(nb::handle model) {
  if (nb::handle states = registry_of(instance_dict(model), "_states"); states.is_valid()) {
    executor_states_ = nb::borrow(states);
    saved_states_ = checked(PyDict_Copy(states.ptr()));
  }
}

void TraceGuard::undo() {
  for (ForwardHooks& hooks : hook_sets_) hooks.remove_all();
  hook_sets_.clear();
  for (SavedModule& entry : saved_) {
    for (const auto& [table, bindings] : entry.tables) restore_bindings(table, bindings);
    if (!entry.module.attr(interned("training")).is(entry.training)) {
      flags_.write(entry.module, entry.training);
    }
  }
  saved_.clear();
  if (executor_states_.is_valid()) {
    PyDict_Clear(executor_states_.ptr());
    if (PyDict_Update(executor_states_.ptr(), saved_states_.ptr()) < 0) throw nb::python_error();
  }
}

void TraceGuard::restore_bindings(nb::handle table, nb::handle bindings) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(bindings.ptr(), &position, &key, &value)) {
    PyObject* current = PyDict_GetItemWithError(table.ptr(), key);
    if (current == value) continue;
    if (current == nullptr && PyErr_Occurred()) throw nb::python_error();
    if (PyDict_SetItem(table.ptr(), key, value) < 0) throw nb::python_error();
  }
}

}  // namespace vantle::export_ir
