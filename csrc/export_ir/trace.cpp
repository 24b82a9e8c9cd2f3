// The traced pass: one forward call of the model with hooks on every module,
// which record each module's input and output shape and, for every model but a
// graph executor (whose edges are known), the data flow between modules and
// operations (see trace/recorder.h). A plain Sequential of leaves needs no
// hooks: the recorder calls its layers in turn itself.
//
// The pass runs under torch.no_grad() with every module in evaluation mode, so
// batch-norm statistics do not move; afterwards each module gets its own
// training flag back and every buffer binding the pass replaced (spiking
// layers that keep their membrane in a buffer do that) is restored. Hooks are
// removed on every path.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "export_ir/dataflow/module_kinds.h"
#include "export_ir/exporter.h"
#include "export_ir/forward_hooks.h"
#include "export_ir/trace/model_turns.h"
#include "export_ir/trace/recorder.h"
#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

// tuple(x.shape[1:]) of a tensor.
nb::object shape_without_batch(nb::handle tensor) {
  nb::object shape = tensor.attr(interned("shape"));
  // torch.Size is a tuple: the tuple slice gives a plain tuple of its ints at
  // once, where Size's own slicing would build another Size first.
  if (PyTuple_Check(shape.ptr())) {
    return checked(PyTuple_GetSlice(shape.ptr(), 1, PyTuple_GET_SIZE(shape.ptr())));
  }
  nb::object tail = checked(PySequence_GetSlice(shape.ptr(), 1, PY_SSIZE_T_MAX));
  return PyTuple_CheckExact(tail.ptr()) ? tail : checked(PySequence_Tuple(tail.ptr()));
}

// The hook: records the shape of the first positional input and of the output
// (the first element of a tuple output) when they are tensors. Dictionaries,
// lists and other values have no single shape and record nothing.
void record_shapes(nb::handle inputs, nb::handle outputs, nb::handle tensor_type, nb::handle module,
                   nb::handle args, nb::handle output) {
  if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0) {
    nb::handle first = PyTuple_GET_ITEM(args.ptr(), 0);
    if (is_instance(first, tensor_type)) inputs[module] = shape_without_batch(first);
  }
  nb::handle result = output;
  if (PyTuple_Check(result.ptr())) {
    if (PyTuple_GET_SIZE(result.ptr()) == 0) return;
    result = PyTuple_GET_ITEM(result.ptr(), 0);
  }
  if (is_instance(result, tensor_type)) outputs[module] = shape_without_batch(result);
}

// hook(module, args, output), called once per module call: a plain C function
// whose `self` is the state tuple (inputs, outputs, tensor type), so the call
// costs no more than a builtin's.
PyObject* shape_hook(PyObject* state, PyObject* const* args, Py_ssize_t count) {
  if (count != 3) {
    PyErr_Format(PyExc_TypeError, "shape hook takes 3 positional arguments (%zd given)", count);
    return nullptr;
  }
  return none_or_error([&] {
    record_shapes(PyTuple_GET_ITEM(state, 0), PyTuple_GET_ITEM(state, 1),
                  PyTuple_GET_ITEM(state, 2), args[0], args[1], args[2]);
  });
}

PyMethodDef shape_hook_definition = {
    "shape_hook", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&shape_hook)),
    METH_FASTCALL, "Records the traced input and output shape of a module."};

nb::object make_shape_hook(nb::object inputs, nb::object outputs, nb::object tensor_type) {
  nb::object state = nb::make_tuple(inputs, outputs, tensor_type);
  return checked(PyCFunction_New(&shape_hook_definition, state.ptr()));
}

// Writes `module.training`. nn.Module.__setattr__ is Python code that, for a
// plain flag not shadowed by a parameter, buffer or submodule name, ends in
// object.__setattr__; for such modules that last step is taken directly.
class FlagWriter {
 public:
  explicit FlagWriter(nb::handle nn_module)
      : nn_module_(nb::borrow(nn_module)),
        module_setattr_(nn_module.attr("__dict__")["__setattr__"]) {}

  void write(nb::handle module, nb::handle value) const {
    nb::handle name = interned("training");
    if (plain_flag(module)) {
      if (PyObject_GenericSetAttr(module.ptr(), name.ptr(), value.ptr()) < 0) {
        throw nb::python_error();
      }
      return;
    }
    if (PyObject_SetAttr(module.ptr(), name.ptr(), value.ptr()) < 0) throw nb::python_error();
  }

 private:
  bool plain_flag(nb::handle module) const {
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

  // The __setattr__ that `super()` inside nn.Module finds for this class.
  bool super_setattr_is_object(PyTypeObject* type) const {
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

  nb::object nn_module_;
  nb::object module_setattr_;
};

// What the trace may change on one module, recorded before it runs.
struct SavedModule {
  nb::object module;
  nb::object training;
  nb::object buffers;   // the module's _buffers dict, or None
  nb::object bindings;  // a shallow copy of it
};

// Evaluation mode for the trace, and everything needed to undo it.
class TraceGuard {
 public:
  TraceGuard(const std::vector<nb::object>& modules, nb::handle nn_module) : flags_(nn_module) {
    saved_.reserve(modules.size());
    for (const nb::object& module : modules) {
      SavedModule entry{module, module.attr(interned("training")), nb::none(), nb::none()};
      // Only bindings that exist now are put back, so an empty table needs no copy.
      nb::handle buffers = registry_of(instance_dict(module), "_buffers");
      if (buffers.is_valid() && PyDict_GET_SIZE(buffers.ptr()) > 0) {
        entry.buffers = nb::borrow(buffers);
        entry.bindings = checked(PyDict_Copy(buffers.ptr()));
      }
      saved_.push_back(std::move(entry));
    }
  }

  void switch_to_eval() {
    for (SavedModule& entry : saved_) {
      if (py::truthy(entry.training)) flags_.write(entry.module, Py_False);
    }
  }

  // Installs `hook` on each of `modules`; sets go on in the order they are added.
  void add_hooks(nb::handle torch, nb::object hook, ForwardHooks::Kind kind,
                 const std::vector<nb::object>& modules) {
    ForwardHooks& hooks = hook_sets_.emplace_back(torch, std::move(hook), kind);
    hooks.reserve(modules.size());
    for (const nb::object& module : modules) hooks.install(module);
  }

  // A graph executor keeps the spiking layers' membranes between calls; the
  // trace is one more call, so its states are put back afterwards too.
  void save_executor_states(nb::handle model) {
    if (nb::handle states = registry_of(instance_dict(model), "_states"); states.is_valid()) {
      executor_states_ = nb::borrow(states);
      saved_states_ = checked(PyDict_Copy(states.ptr()));
    }
  }

  // Removes the hooks in the order they were installed, then restores the
  // buffer bindings and training flags.
  void undo() {
    for (ForwardHooks& hooks : hook_sets_) hooks.remove_all();
    hook_sets_.clear();
    for (SavedModule& entry : saved_) {
      if (!entry.buffers.is_none()) restore_bindings(entry);
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

 private:
  static void restore_bindings(const SavedModule& entry) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(entry.bindings.ptr(), &position, &key, &value)) {
      PyObject* current = PyDict_GetItemWithError(entry.buffers.ptr(), key);
      if (current == value) continue;
      if (current == nullptr && PyErr_Occurred()) throw nb::python_error();
      if (PyDict_SetItem(entry.buffers.ptr(), key, value) < 0) throw nb::python_error();
    }
  }

  FlagWriter flags_;
  std::vector<SavedModule> saved_;
  nb::object executor_states_;
  nb::object saved_states_;
  std::vector<ForwardHooks> hook_sets_;
};

// The failure of the forward pass as the documented RuntimeError, chained to it.
[[noreturn]] void raise_trace_error(nb::python_error& error) {
  const std::string message = str_of(error.value());
  if (error.matches(PyExc_RuntimeError)) {
    raise_runtime_from(error, "Failed to capture shapes during forward pass: " + message +
                                  ". Ensure the model can process the sample tensor.");
  }
  raise_runtime_from(error, "Unexpected error during shape capture: " + message);
}

// The check export makes itself: the last bridge type is the executor class.
bool is_executor(nb::handle model) {
  nb::object types = get_bridge_types();
  const Py_ssize_t count = PyTuple_GET_SIZE(types.ptr());
  if (count == 0) throw nb::value_error("not enough values to unpack (expected at least 1, got 0)");
  return is_instance(model, PyTuple_GET_ITEM(types.ptr(), count - 1));
}

// Spiking layers that keep their state between calls (snnTorch's neurons with
// init_hidden) start from rest; the guard restores the bindings afterwards.
void start_at_rest(const std::vector<nb::object>& modules) {
  for (const nb::object& module : modules) {
    nb::object reset = optional_attr(module, "reset_mem");
    if (!reset.is_none() && PyCallable_Check(reset.ptr())) reset();
  }
}

void release_trace(PyObject* capsule) {
  delete static_cast<Trace*>(PyCapsule_GetPointer(capsule, "vantle.export_ir.trace"));
}

}  // namespace

nb::tuple sample_arguments(nb::handle sample) {
  nb::object tensor_type = module_global("torch").attr("Tensor");
  auto check_size = [](nb::handle tensor) {
    if (nb::int_(0).equal(tensor.attr("numel")())) {
      throw nb::value_error("Sample tensor cannot be empty");
    }
  };
  if (PyTuple_Check(sample.ptr()) || PyList_Check(sample.ptr())) {
    nb::tuple items = nb::borrow<nb::tuple>(checked(PySequence_Tuple(sample.ptr())));
    bool has_tensor = false;
    for (nb::handle item : items) {
      if (!is_instance(item, tensor_type)) continue;
      check_size(item);
      has_tensor = true;
    }
    if (!has_tensor) {
      throw nb::type_error(
          "sample must be a tensor, or a tuple or list of the model's arguments holding at "
          "least one tensor");
    }
    return items;
  }
  if (!is_instance(sample, tensor_type) && !nb::hasattr(sample, "numel")) {
    py::raise_arg_type("sample", "Tensor, tuple or list", sample);
  }
  check_size(sample);
  return nb::make_tuple(sample);
}

nb::object wrap_trace(std::unique_ptr<Trace> trace) {
  PyObject* capsule = PyCapsule_New(trace.get(), "vantle.export_ir.trace", &release_trace);
  if (capsule == nullptr) throw nb::python_error();
  trace.release();
  return nb::steal(capsule);
}

Trace* unwrap_trace(nb::handle capsule) {
  if (!PyCapsule_IsValid(capsule.ptr(), "vantle.export_ir.trace")) return nullptr;
  return static_cast<Trace*>(PyCapsule_GetPointer(capsule.ptr(), "vantle.export_ir.trace"));
}

// Leaves registered in a plain Sequential: called with the mode off, they
// need no pre-hook (see Recorder::set_quiet).
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

namespace {

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

// The children a plain Sequential model calls, in order, when calling them in
// turn is all that model(*args) would do and each is a quiet leaf without
// pre-hooks of its own (which could change what it receives); else nothing.
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

}  // namespace

std::unique_ptr<Trace> record_dataflow(nb::handle exporter, nb::handle model,
                                       const std::vector<nb::tuple>& calls, bool keep_values,
                                       bool always, bool fresh_state) {
  nb::object torch = module_global("torch");
  nb::object nn = module_global("nn");
  ModuleTree tree = module_tree(nn, model);
  const std::vector<nb::object>& all_modules = tree.modules;
  const bool dataflow = always || !is_executor(model);

  ModelTurn turn(all_modules);
  Env env(exporter);
  ModuleKinds kinds(env);
  nb::object inputs = exporter.attr("_input_shapes");
  nb::object outputs = exporter.attr("_output_shapes");
  nb::object tensor_type = torch.attr("Tensor");
  std::unordered_set<PyObject*> quiet =
      dataflow ? quiet_leaves(tree, nn.attr("Sequential"), kinds) : std::unordered_set<PyObject*>();

  for (;;) {
    auto trace = std::make_unique<Trace>();
    trace->model = nb::borrow(model);
    trace->named_modules = tree.named;
    trace->keep_values = keep_values;
    // Typically a module call, maybe an operation or two, per module: room
    // for them up front spares moving the events as the list grows.
    trace->events.reserve(2 * all_modules.size() + 16);
    Recorder recorder(*trace, env, [&](nb::handle module) { return kinds.is_leaf(module); });
    recorder.write_shapes_to(inputs, outputs);
    recorder.set_quiet(quiet);
    const std::vector<nb::object> in_turn =
        dataflow ? children_in_turn(model, nn.attr("Sequential"), calls, quiet)
                 : std::vector<nb::object>();
    recorder.call_in_turn(in_turn);

    TraceGuard guard(all_modules, nn.attr("Module"));
    try {
      guard.save_executor_states(model);
      guard.switch_to_eval();
      if (fresh_state) start_at_rest(all_modules);
      if (dataflow && in_turn.empty()) {
        std::vector<nb::object> announced;
        for (const nb::object& module : all_modules) {
          if (quiet.count(module.ptr()) == 0) announced.push_back(module);
        }
        guard.add_hooks(torch, recorder.pre_hook(), ForwardHooks::Kind::kPreWithKeywords,
                        announced);
        guard.add_hooks(torch, recorder.post_hook(), ForwardHooks::Kind::kForward, all_modules);
      } else if (!dataflow) {
        guard.add_hooks(torch, make_shape_hook(inputs, outputs, tensor_type),
                        ForwardHooks::Kind::kForward, all_modules);
      }
    } catch (...) {
      guard.undo();
      throw;
    }
    try {
      with_context(torch.attr("no_grad")(), [&] {
        for (const nb::tuple& args : calls) {
          if (dataflow) {
            recorder.run(model, args);
          } else {
            checked(PyObject_Call(model.ptr(), args.ptr(), nullptr));
          }
        }
      });
    } catch (nb::python_error& error) {
      guard.undo();
      // Exceptions outside Exception (KeyboardInterrupt, SystemExit) pass unchanged.
      if (!error.matches(PyExc_Exception)) throw;
      raise_trace_error(error);
    } catch (...) {
      guard.undo();
      throw;
    }
    guard.undo();
    if (!dataflow) return nullptr;
    if (!recorder.missed()) return trace;
    // The model's own code called a leaf that had no pre-hook: again, with all.
    quiet.clear();
  }
}

void capture_shapes(nb::handle exporter, nb::handle model, nb::handle sample) {
  nb::tuple args = sample_arguments(sample);
  exporter.attr("_dataflow") = nb::none();
  std::unique_ptr<Trace> trace = record_dataflow(exporter, model, {args}, false, false);
  if (trace) exporter.attr("_dataflow") = wrap_trace(std::move(trace));
}

}  // namespace vantle::export_ir
