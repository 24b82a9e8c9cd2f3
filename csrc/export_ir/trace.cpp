// Shape capture: one forward pass with a forward hook on every module.
//
// The pass runs under torch.no_grad() with every module in evaluation mode, so
// batch-norm statistics do not move; afterwards each module gets its own
// training flag back and every buffer binding the pass replaced (spiking
// layers that keep their membrane in a buffer do that) is restored. Hooks are
// removed on every path.
#include <string>
#include <vector>

#include "export_ir/exporter.h"
#include "export_ir/forward_hooks.h"
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
  try {
    record_shapes(PyTuple_GET_ITEM(state, 0), PyTuple_GET_ITEM(state, 1),
                  PyTuple_GET_ITEM(state, 2), args[0], args[1], args[2]);
  } catch (nb::python_error& error) {
    error.restore();
    return nullptr;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
  Py_RETURN_NONE;
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
  TraceGuard(const std::vector<nb::object>& modules, nb::handle nn_module, nb::handle torch,
             nb::object hook)
      : flags_(nn_module), hooks_(torch, std::move(hook)) {
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

  void add_hook(nb::handle module) { hooks_.install(module); }

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
    hooks_.remove_all();
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
  ForwardHooks hooks_;
};

// model(sample) under torch.no_grad(); the result is dropped.
void run_forward(nb::handle torch, nb::handle model, nb::handle sample) {
  nb::object no_grad = torch.attr("no_grad")();
  no_grad.attr("__enter__")();
  try {
    model(sample);
  } catch (nb::python_error&) {
    no_grad.attr("__exit__")(nb::none(), nb::none(), nb::none());
    throw;
  }
  no_grad.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

// The failure of the forward pass as the documented RuntimeError, chained to it.
[[noreturn]] void raise_trace_error(nb::python_error& error) {
  const std::string message = str_of(error.value());
  if (error.matches(PyExc_RuntimeError)) {
    raise_runtime_from(error, "Failed to capture shapes during forward pass: " + message +
                                  ". Ensure the model can process the sample tensor.");
  }
  raise_runtime_from(error, "Unexpected error during shape capture: " + message);
}

}  // namespace

void capture_shapes(nb::handle exporter, nb::handle model, nb::handle sample) {
  nb::object torch = module_global("torch");
  if (nb::int_(0).equal(sample.attr("numel")())) {
    throw nb::value_error("Sample tensor cannot be empty");
  }
  nb::object hook = make_shape_hook(exporter.attr("_input_shapes"), exporter.attr("_output_shapes"),
                                    torch.attr("Tensor"));
  nb::object nn = module_global("nn");
  const std::vector<nb::object> all_modules = modules(nn, model);

  TraceGuard guard(all_modules, nn.attr("Module"), torch, hook);
  try {
    guard.save_executor_states(model);
    guard.switch_to_eval();
    for (const nb::object& module : all_modules) guard.add_hook(module);
  } catch (...) {
    guard.undo();
    throw;
  }
  try {
    run_forward(torch, model, sample);
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
}

}  // namespace vantle::export_ir
