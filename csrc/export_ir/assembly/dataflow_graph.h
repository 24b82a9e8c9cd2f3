// From a recorded trace to an IR graph whose edges follow the data.
//
// Every module call that converts is one node (its interior is not looked at
// again); containers and the model author's own modules are looked through;
// operations become nodes where the IR has a form for them; everything else
// on the data path is reported and skipped (the graph then connects around
// it). A forward pass that steps the same layers through time (a loop over
// time steps) becomes one step's graph.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "export_ir/common/findings.h"
#include "export_ir/rules/module_kinds.h"
#include "export_ir/trace/trace.h"

namespace vantle::export_ir {

class ModuleConverter;

// Each module's dotted path in the model (its first name in named_modules()).
class ModulePaths {
 public:
  // `named`: list(model.named_modules()).
  explicit ModulePaths(nb::list named);
  // The path, or "" for a module the model does not hold (and the model itself).
  nb::handle of(nb::handle module) const;

 private:
  nb::list named_;  // holds the names the map points at
  std::unordered_map<PyObject*, PyObject*> paths_;
  nb::object empty_;
};

// What a tensor turns out to be in the graph.
struct Source {
  enum Kind : uint8_t {
    kConstant,  // does not depend on the model's input
    kInput,     // a sample tensor (one time step of it when `time` >= 0)
    kNode,      // the output (chunk) of a node
    kState,     // the kept state of a node (a spiking layer's membrane), not an output
  } kind = kConstant;
  int32_t event = -1;
  int32_t chunk = 0;
  int64_t time = -1;

  bool operator==(const Source&) const = default;
};

// One forward call of the model, analysed.
class CallFlow {
 public:
  CallFlow(const Trace& trace, int32_t call, ModuleConverter& converter, ModuleKinds& kinds,
           const ModulePaths& paths);

  enum class Role : uint8_t {
    kIgnored,      // not on the data path
    kInput,        // a sample tensor
    kNode,         // becomes a node
    kAlias,        // passes one of its inputs on (or is skipped, when unsupported)
    kTransparent,  // a container: its outputs are whatever its interior made
    kAbsorbed,     // inside a node or a skipped layer
    kTimeSlice,    // one time step of an input
    kTimeStack,    // a recording over time steps
  };

  struct Decision {
    Role role = Role::kIgnored;
    int32_t operand = -1;      // kAlias, kTimeSlice, kTimeStack: the input followed
    bool unsupported = false;  // a kAlias standing for something without IR form
    Finding finding;           // what to report when the graph relies on it
    int32_t conversion = -1;   // modules that convert: their conversion
  };

  // The time loop of the call: `count` periods of `period` node events each,
  // starting at node position `start`.
  struct Loop {
    int32_t start = 0, period = 0, count = 1;
    bool found = false;
  };

  const Trace& trace() const { return trace_; }
  const Call& call() const { return trace_.calls[call_]; }
  const Decision& decision(int32_t event) const { return decisions_[event - begin_]; }
  // The node a module event converted to, and what the conversion could not carry over.
  nb::handle node(int32_t event) const { return conversions_[decision(event).conversion].node; }
  const Findings* conversion_findings(int32_t event) const;
  const std::vector<int32_t>& nodes() const { return nodes_; }
  const Loop& loop() const { return loop_; }

  // The source of a tensor, with later time steps mapped onto the first.
  // Unsupported events the path passes through are appended to `skipped`.
  Source resolve(Ref ref, std::vector<int32_t>* skipped = nullptr) const;
  // The data inputs of a node event, in edge order.
  std::vector<Source> operands(int32_t event, std::vector<int32_t>* skipped = nullptr) const;
  // The node event whose value a node event of a later time step repeats.
  int32_t canonical(int32_t event) const;
  // Whether an input is taken one time step at a time.
  bool sliced(int32_t input_event) const;

  // What identifies a node event across time steps (the module, or the operation).
  PyObject* key(int32_t event) const;
  // The module's dotted path, or "" when it has none.
  nb::handle path_of(nb::handle module) const { return paths_.of(module); }
  // "module 'a.b' (Type)" or "operation 'add' at file:line ..."
  std::string describe(int32_t event) const;

 private:
  void classify();
  void classify_module(int32_t event, Decision& decision, int32_t& absorbed_until);
  void classify_op(int32_t event, Decision& decision);
  // Position in conversions_ of the module's conversion with these shapes.
  int32_t converted(nb::handle module, nb::handle in_shape, nb::handle out_shape);
  void find_loop();
  bool loop_holds(int32_t start, int32_t period, int32_t count) const;
  bool same_wiring(int32_t first, int32_t later, int32_t block) const;
  bool records_steps(int32_t stack_event) const;
  void settle_recordings();
  // resolve(), with or without later time steps mapped onto the first.
  Source follow(Ref ref, bool map_steps, std::vector<int32_t>* skipped) const;

  const Trace& trace_;
  int32_t call_, begin_, end_;
  ModuleConverter& converter_;
  ModuleKinds& kinds_;
  const ModulePaths& paths_;
  std::vector<Decision> decisions_;
  std::vector<int32_t> nodes_;
  std::vector<int32_t> position_;  // by event - begin_: position in nodes_, or -1
  int32_t position(int32_t node_event) const { return position_[node_event - begin_]; }
  Loop loop_;
  bool recordings_settled_ = false;  // time slices and stacks decided
  std::vector<bool> accepted_;       // per event: a time slice or stack that holds
  struct Conversion {
    nb::object in_shape, out_shape, node;
    Findings findings;
    int32_t next = -1;  // the same module's next conversion (other shapes)
  };
  std::vector<Conversion> conversions_;
  void find_repeated_modules();
  std::vector<PyObject*> repeated_;      // modules called more than once, sorted
  std::vector<int32_t> repeated_first_;  // their first conversion
};

// An Output node and the model's output it stands for.
struct OutputNode {
  Source source;  // the value the graph gives it
  nb::object name;
  std::size_t index;   // position among the call's returned tensors
  bool direct = true;  // the value is the model's output (no step without IR form between)
};

// The graph of the trace's first call, with the findings of everything the
// graph relies on but cannot carry exactly.
struct BuiltGraph {
  nb::object graph;
  int32_t base = 0;                 // the call's first event
  std::vector<nb::object> names;    // by event - base: the node's name, unset for other events
  std::vector<OutputNode> outputs;  // what the Output nodes show
  std::vector<std::pair<int32_t, nb::object>> inputs;  // input events of the Input nodes
  // Operations that are two nodes: the event, and the name of the first node.
  std::vector<std::pair<int32_t, nb::object>> entries;
};

BuiltGraph build_dataflow_graph(const CallFlow& flow, ModuleConverter& converter,
                                Findings& findings);

}  // namespace vantle::export_ir
