// What the traced forward pass records about the data flow: every module call
// and every operation on tensors that the sample flows into, in the order they
// ran, with the event that produced each tensor they consumed.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "export_ir/trace/small_vector.h"

namespace vantle::export_ir {

namespace nb = nanobind;

// Output `slot` of event `event`. Event -1: a tensor the sample does not flow
// into (a parameter, a constant, a freshly made state).
struct Ref {
  int32_t event = -1;
  int32_t slot = 0;
  bool tracked() const { return event >= 0; }
};

enum class EventKind : uint8_t { kInput, kModule, kOp };

// How an operation on the data path exports, decided while it runs.
enum class OpKind : uint8_t {
  kUnsupported,  // no IR form
  kIdentity,     // passes its data operand on unchanged (clone, dropout, a no-op view ...)
  kNode,         // one IR node (activation, pooling, flatten, split, concatenation, sum ...)
  kTimeSlice,    // x[t] or x.unbind(0): one step of a time-major input, when a time loop shows it
  kTimeStack,    // torch.stack(steps): a recording over time steps, when a time loop shows it
};

struct OpInfo {
  OpKind kind = OpKind::kUnsupported;
  std::string name;                // readable: node names and messages ("add", "cat", "relu")
  std::string reason;              // kUnsupported: what has no IR form
  const char* ir_class = nullptr;  // kNode: the IR node class
  nb::object fields;               // kNode: dict of the node's fields, ports added later
  bool multi_output = false;       // kNode: a split, every output slot is a chunk
  bool per_feature = false;        // kNode: an activation, which gets the feature count
  // kNode: a second node the value passes through (x.mean((2, 3)) pools, then
  // flattens), its fields, and the shape between the two (without batch).
  const char* then_ir_class = nullptr;
  nb::object then_fields;
  nb::object between_shape;
  std::vector<int32_t> operands;  // data operands, as positions in Event::inputs
  int64_t time_index = -1;        // kTimeSlice: t of x[t]; -1 for unbind (the slot is t)
  nb::object code;                // code object of the model code that called it
  int line = 0;                   // and its line
};

struct Event {
  EventKind kind = EventKind::kOp;
  int32_t parent = -1;         // innermost module call it happened in
  int32_t end = 0;             // module calls: one past the last event recorded inside
  int32_t call = 0;            // which forward call of the model
  nb::object target;           // the module, or the operation's function; None for inputs
  int32_t input_index = 0;     // inputs: position among the sample's tensors
  SmallVector<Ref, 2> inputs;  // producers of the tensor arguments, in argument order
  SmallVector<Ref, 2> inner;   // module calls: output producers before the call
  nb::object in_shape;         // first tensor argument's shape without batch, or None
  SmallVector<nb::object, 2> out_shapes;  // per output slot, without batch; None: not a tensor
  std::vector<nb::object> values;         // when kept: detached copies of the outputs per slot
  bool finished = false;                  // module calls: the call returned
  bool leaf = false;                      // module calls: its interior was not recorded
  OpInfo op;                              // operations
};

// Where a returned tensor sits in what the model returned.
struct OutputPlace {
  std::string shown;  // as Python would index it: "" (the value itself), "[1]", "['aux'][0]"
  std::string key;    // the same for a node name: "", "1", "aux_0"
  // Found under a key (dict, dataclass, named tuple) or nested, rather than at
  // a position of a returned tuple or list.
  bool keyed = false;
};

// One forward call of the model.
struct Call {
  int32_t begin = 0, end = 0;              // its events
  std::vector<int32_t> inputs;             // the events standing for its sample tensors
  std::vector<nb::object> input_shapes;    // full shapes of the sample tensors, batch included
  std::vector<Ref> outputs;                // producers of the returned tensors, in order
  std::vector<OutputPlace> output_places;  // and where each was found
  std::vector<nb::object> output_values;   // when kept
  // Returned objects export cannot look into: "an object of type Box at ['extra']".
  std::vector<std::string> unseen_outputs;
};

struct Trace {
  nb::object model;
  nb::object named_modules;  // list(model.named_modules()) when the trace was made
  std::vector<Event> events;
  std::vector<Call> calls;
  bool keep_values = false;
  // The model's calls were taken one time step each: the steps per call (0: as called).
  int64_t steps_per_call = 0;
};

}  // namespace vantle::export_ir
