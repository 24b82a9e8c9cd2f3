// Records the data flow of forward passes into a Trace.
//
// Three entry points feed it: a forward pre-hook and a forward hook on every
// module (module calls and their nesting), and a torch function mode that is
// active while the model runs (functional operations: additions, concatenation,
// views, activations ...). Every tensor an event returns is tagged with that
// event, so later events know what produced their arguments.
//
// The interior of a module that is exported as one node (or that is a library
// layer without IR form) is not recorded: the mode is taken off the stack
// while it runs, so its operations cost nothing extra.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "export_ir/trace/op_rules.h"
#include "export_ir/trace/tensor_tags.h"
#include "export_ir/trace/trace.h"

namespace vantle::export_ir {

class Env;

// torch's stack of function modes, through its own push and pop.
class ModeStack {
 public:
  explicit ModeStack(nb::handle torch);
  void push(nb::handle mode) const;
  // Pops `mode` when it is on top; false (and nothing popped) otherwise. The
  // stack must hold `mode`.
  bool pop_if_top(nb::handle mode) const;
  // Pops down to and including `mode`, if it is on the stack at all.
  void remove(nb::handle mode) const;

 private:
  nb::object push_, pop_, length_, at_;
};

class Recorder {
 public:
  // Whether a module call's interior stays unrecorded.
  using LeafTest = std::function<bool(nb::handle module)>;

  Recorder(Trace& trace, Env& env, LeafTest is_leaf);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // The hooks to install on every module: pre-hook with kwargs, then forward hook.
  nb::object pre_hook() const { return pre_hook_; }
  nb::object post_hook() const { return post_hook_; }

  // Calls model(*args) with the mode active and records the call; returns the output.
  nb::object run(nb::handle model, nb::handle args);

  // Leaves that get no pre-hook: layers registered in a plain Sequential,
  // which calls them with the mode off. Their calls are recorded when they
  // return. Should one run under the mode after all (called from the model's
  // own code), missed() says so, and the trace must be made again with
  // pre-hooks on every module.
  void set_quiet(std::unordered_set<PyObject*> modules) { quiet_ = std::move(modules); }

  // For a plain Sequential of quiet leaves whose call would do nothing but
  // call them in turn: run() then calls them itself and records each call as
  // its hook would, so the pass runs without hooks and without the mode.
  void call_in_turn(std::vector<nb::object> children) { in_turn_ = std::move(children); }
  bool missed() const { return missed_; }

  // The exporter's shape tables, written on every module return (interiors of
  // leaves included): the first argument's and the first output's shape
  // without the batch dimension; a later call of a module overwrites.
  void write_shapes_to(nb::handle inputs, nb::handle outputs) {
    input_table_ = nb::borrow(inputs);
    output_table_ = nb::borrow(outputs);
  }

  // Whether the calling thread runs the trace: calls of the model's modules
  // from other threads (inference beside the export) are not recorded.
  bool on_own_thread() const { return PyThread_get_thread_ident() == thread_; }

  // Hook and mode entry points.
  void before_call(nb::handle module, nb::handle args, nb::handle kwargs);
  void after_call(nb::handle module, nb::handle args, nb::handle output);
  nb::object on_function(nb::handle func, nb::handle args, nb::handle kwargs);

 private:
  unsigned long thread_ = PyThread_get_thread_ident();

  struct Frame {
    int32_t event;
    PyObject* module;
    PyObject* first;   // the call's first tensor argument (identity only)
    bool mode_was_on;  // the mode's state in the caller
  };

  // A module call's event from its arguments; `first`: its first tensor argument.
  Event module_event(nb::handle module, nb::handle args, nb::handle kwargs, PyObject*& first);

  Ref ref_of(PyObject* tensor) const;
  void tag(PyObject* tensor, Ref ref);
  bool is_tensor(PyObject* obj) const;
  // Appends the tensors among `value` (a tensor, or the items of a list or tuple).
  void collect(nb::handle value, std::vector<PyObject*>& tensors) const;
  // Records what `output` holds as the outputs of `event`; `claim`: remember the
  // previous producers (module calls) before tagging.
  void record_outputs(Event& event, int32_t index, nb::handle output, bool claim);
  nb::object shape_without_batch(PyObject* tensor) const;
  // Finds the tensors in what the model returned, with their places.
  void collect_returned(nb::handle value, const OutputPlace& place, int depth, Call& call);
  // model(*args) by calling the children of call_in_turn() one after the other.
  nb::object call_children(nb::handle model, nb::handle args);
  // The same, taken from the tensor's producer when it has one.
  nb::object shape_of(PyObject* tensor, Ref ref) const;
  nb::object detached_copy(PyObject* tensor) const;
  void suspend();
  void resume();
  void locate(OpInfo& info) const;

  Trace& trace_;
  Env& env_;
  // `event`: the recorded call, whose shapes are reused where they apply.
  void write_shapes(nb::handle module, nb::handle args, nb::handle output, const Event* event,
                    PyObject* first_recorded);

  LeafTest is_leaf_;
  nb::object input_table_, output_table_;
  OpRules rules_;
  ModeStack modes_;
  nb::object mode_;
  nb::object tensor_type_;
  PyTypeObject* sequential_type_;  // torch.nn.Sequential, kept alive by torch
  nb::object pre_hook_, post_hook_;
  std::shared_ptr<Recorder*> self_;  // shared with the hooks, cleared on destruction
  TensorTags tags_;
  std::vector<PyObject*> scratch_;  // a call's tensor arguments, reused from call to call
  std::vector<Frame> stack_;
  nb::handle model_;
  // The leaf whose interior is running unrecorded, and how often it re-entered itself.
  PyObject* leaf_ = nullptr;
  int leaf_depth_ = 0;
  bool mode_on_ = false;
  bool busy_ = false;  // inside a hook: tensor calls made here are ours, not the model's
  std::unordered_set<PyObject*> quiet_;
  std::vector<nb::object> in_turn_;
  bool missed_ = false;
  int32_t call_ = 0;
  std::string torch_dir_;  // frames from here are library code, not the model's
  Recorder* outer_ = nullptr;
};

// Defines the function mode class the recorder pushes (at module load).
void define_trace_mode(nb::module_ module);

}  // namespace vantle::export_ir
