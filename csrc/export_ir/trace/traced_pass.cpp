// The traced pass. A plain Sequential of leaves needs no hooks: the recorder
// calls its layers in turn itself (trace/sequential_fast_path.h).
//
// The pass runs under torch.no_grad() with every module in evaluation mode, so
// batch-norm statistics do not move; afterwards each module gets its own
// training flag back and every buffer binding the pass replaced is restored
// (trace/trace_guard.h). Hooks are removed on every path.
#include "export_ir/trace/traced_pass.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "export_ir/common/cpython.h"
#include "export_ir/rules/bridge_types.h"
#include "export_ir/rules/env.h"
#include "export_ir/rules/module_kinds.h"
#include "export_ir/trace/model_turns.h"
#include "export_ir/trace/module_tree.h"
#include "export_ir/trace/recorder.h"
#include "export_ir/trace/sequential_fast_path.h"
#include "export_ir/trace/shape_hook.h"
#include "export_ir/trace/single_stepping.h"
#include "export_ir/trace/trace_guard.h"
#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/no_grad.h"
#include "py/recursion_guard.h"
#include "py/text.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

// The failure of the forward pass as the documented RuntimeError, chained to it.
[[noreturn]] void raise_trace_error(nb::python_error& error) {
  const std::string message = py::error_text(error.value());
  if (error.matches(PyExc_RuntimeError)) {
    raise_runtime_from(error, "Failed to capture shapes during forward pass: " + message +
                                  ". Ensure the model can process the sample tensor.");
  }
  raise_runtime_from(error, "Unexpected error during shape capture: " + message);
}

// Spiking layers that keep their state between calls (snnTorch's neurons with
// init_hidden) start from rest; the guard restores the bindings afterwards.
void start_at_rest(const std::vector<nb::object>& modules) {
  for (const nb::object& module : modules) {
    nb::object reset = optional_attr(module, "reset_mem");
    if (!reset.is_none() && PyCallable_Check(reset.ptr())) reset();
  }
}

// spikingjelly's layers keep their state in memories with values to reset to:
// the pass starts them from rest always, since a membrane of another batch
// size would spread into the traced shapes. The guard puts the state back.
void reset_memories(const std::vector<nb::object>& modules) {
  for (const nb::object& module : modules) {
    nb::handle rest = registry_of(instance_dict(module), "_memories_rv");
    if (!rest.is_valid()) continue;
    nb::object reset = optional_attr(module, "reset");
    if (PyCallable_Check(reset.ptr())) reset();
  }
}

}  // namespace

nb::tuple sample_arguments(nb::handle sample) {
  nb::object tensor_type = module_global("torch").attr("Tensor");
  auto check_size = [](nb::handle tensor) {
    // A nested tensor's parts differ in shape, and the graph records one shape per input.
    if (py::truthy(optional_attr(tensor, "is_nested"))) {
      throw nb::value_error(
          "Sample tensor is a nested tensor, which has no single shape for the graph's input");
    }
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

namespace {

std::unique_ptr<Trace> record_calls(nb::handle exporter, nb::handle model, const ModuleTree& tree,
                                    const std::vector<nb::tuple>& calls, bool keep_values,
                                    bool always, bool fresh_state) {
  nb::object torch = module_global("torch");
  nb::object nn = module_global("nn");
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
      reset_memories(all_modules);
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
      py::NoGrad no_grad(torch);
      for (const nb::tuple& args : calls) {
        if (dataflow) {
          recorder.run(model, args);
        } else {
          checked(PyObject_Call(model.ptr(), args.ptr(), nullptr));
        }
      }
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

bool spikingjelly_loaded() {
  return PyDict_GetItemString(PyImport_GetModuleDict(), "spikingjelly") != nullptr;
}

// The deepest chain of modules inside each other (the module count where the
// walk gave no parents).
int nesting_depth(const ModuleTree& tree) {
  if (tree.parents.empty()) return static_cast<int>(tree.modules.size());
  std::vector<int> depth(tree.parents.size(), 1);
  int deepest = 0;
  for (std::size_t i = 0; i < tree.parents.size(); ++i) {
    // A parent comes before its children in the walk's order.
    if (tree.parents[i] >= 0) depth[i] = depth[static_cast<std::size_t>(tree.parents[i])] + 1;
    deepest = std::max(deepest, depth[i]);
  }
  return deepest;
}

// TorchScript modules take no forward hooks, so the pass cannot see into them.
void refuse_script_modules(const ModuleTree& tree) {
  nb::object script_module = module_global("torch").attr("jit").attr("ScriptModule");
  for (nb::handle pair : tree.named) {
    nb::handle module = PyTuple_GET_ITEM(pair.ptr(), 1);
    if (!is_instance(module, script_module)) continue;
    const std::string name = str_of(PyTuple_GET_ITEM(pair.ptr(), 0));
    const std::string which = name.empty() ? "the model" : "module '" + name + "'";
    throw nb::type_error((which + " is a TorchScript module (" + py::python_type_name(module) +
                          "), which export cannot trace: export the torch module it was "
                          "scripted or traced from")
                             .c_str());
  }
}

}  // namespace

std::unique_ptr<Trace> record_dataflow(nb::handle exporter, nb::handle model,
                                       const std::vector<nb::tuple>& calls, bool keep_values,
                                       bool always, bool fresh_state, bool single_steps) {
  nb::object nn = module_global("nn");
  if (!is_instance(model, nn.attr("Module"))) py::raise_arg_type("model", "Module", model);
  ModuleTree tree = module_tree(nn, model);
  refuse_script_modules(tree);
  // With hooks on, torch runs each module's forward inside a closure of its
  // call: one frame more per level of nesting than the model's own run needs,
  // so the trace gets that many more, and a few for export's own entry frames.
  constexpr int kEntryFrames = 16;
  const py::RecursionLimitLift room(nesting_depth(tree) + kEntryFrames);
  if (single_steps && spikingjelly_loaded()) {
    SingleStepping stepping(tree.modules);
    const std::vector<nb::tuple> steps =
        stepping.applies() ? time_step_calls(calls, keep_values) : std::vector<nb::tuple>();
    if (!steps.empty()) {
      try {
        stepping.switch_on();
        std::unique_ptr<Trace> trace =
            record_calls(exporter, model, tree, steps, keep_values, always, fresh_state);
        stepping.undo();
        if (trace) trace->steps_per_call = static_cast<int64_t>(steps.size() / calls.size());
        return trace;
      } catch (nb::python_error& error) {
        stepping.undo();
        if (!error.matches(PyExc_Exception)) throw;
        // The model's own code wants whole sequences: traced as it is, where
        // its multi-step layers are reported.
      }
    }
  }
  return record_calls(exporter, model, tree, calls, keep_values, always, fresh_state);
}

}  // namespace vantle::export_ir
