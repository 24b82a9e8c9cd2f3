// Analysis of one recorded forward call: what each event is in the graph,
// where each tensor comes from, and whether the call is a loop over time.
#include <algorithm>
#include <string>

#include "export_ir/assembly/dataflow_graph.h"
#include "export_ir/rules/env.h"
#include "export_ir/rules/module_converter.h"
#include "py/arg_check.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using Role = CallFlow::Role;

// "file:line" of a recorded operation, or "" when unknown.
std::string location(const OpInfo& op) {
  if (!op.code.is_valid()) return "";
  return str_of(op.code.attr("co_filename")) + ":" + std::to_string(op.line);
}

nb::object shape_or_empty(nb::handle shape) {
  return shape.is_valid() && !shape.is_none() ? nb::borrow(shape) : nb::object(nb::tuple());
}

}  // namespace

ModulePaths::ModulePaths(nb::list named) : named_(std::move(named)), empty_(nb::str("")) {
  paths_.reserve(static_cast<std::size_t>(PyList_GET_SIZE(named_.ptr())));
  for (nb::handle item : named_) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
      auto [name, module] = unpack_pair(item);  // raises the interpreter's error
      continue;
    }
    paths_.emplace(PyTuple_GET_ITEM(item.ptr(), 1), PyTuple_GET_ITEM(item.ptr(), 0));
  }
}

nb::handle ModulePaths::of(nb::handle module) const {
  auto found = paths_.find(module.ptr());
  return found == paths_.end() ? nb::handle(empty_) : nb::handle(found->second);
}

CallFlow::CallFlow(const Trace& trace, int32_t call, ModuleConverter& converter, ModuleKinds& kinds,
                   const ModulePaths& paths)
    : trace_(trace),
      call_(call),
      begin_(trace.calls[call].begin),
      end_(trace.calls[call].end),
      converter_(converter),
      kinds_(kinds),
      paths_(paths),
      decisions_(static_cast<std::size_t>(end_ - begin_)),
      position_(static_cast<std::size_t>(end_ - begin_), -1),
      accepted_(static_cast<std::size_t>(end_ - begin_), false) {
  find_repeated_modules();
  classify();
  find_loop();
  settle_recordings();
}

std::string CallFlow::describe(int32_t event) const {
  const Event& ev = trace_.events[event];
  if (ev.kind == EventKind::kModule) {
    const std::string path = str_of(path_of(ev.target));
    if (path.empty()) return "the model (" + py::python_type_name(ev.target) + ")";
    return "module '" + path + "' (" + py::python_type_name(ev.target) + ")";
  }
  std::string text = "operation '" + ev.op.name + "'";
  const std::string where = location(ev.op);
  if (!where.empty()) text += " at " + where;
  if (ev.parent >= 0 && ev.parent >= begin_) {
    const Event& owner = trace_.events[ev.parent];
    const std::string path = str_of(path_of(owner.target));
    if (!path.empty())
      text += " in module '" + path + "' (" + py::python_type_name(owner.target) + ")";
  }
  return text;
}

PyObject* CallFlow::key(int32_t event) const {
  return trace_.events[event].target.ptr();
}

// --- classification ---------------------------------------------------------------

void CallFlow::classify() {
  int32_t absorbed_until = begin_;
  for (int32_t event = begin_; event < end_; ++event) {
    Decision& decision = decisions_[event - begin_];
    const Event& ev = trace_.events[event];
    if (event < absorbed_until) {
      decision.role = Role::kAbsorbed;
      continue;
    }
    switch (ev.kind) {
      case EventKind::kInput:
        decision.role = Role::kInput;
        break;
      case EventKind::kModule:
        classify_module(event, decision, absorbed_until);
        break;
      case EventKind::kOp:
        classify_op(event, decision);
        break;
    }
    if (decision.role == Role::kNode) {
      position_[event - begin_] = static_cast<int32_t>(nodes_.size());
      nodes_.push_back(event);
    }
  }
}

void CallFlow::classify_module(int32_t event, Decision& decision, int32_t& absorbed_until) {
  const Event& ev = trace_.events[event];
  if (!ev.finished) {
    decision.role = Role::kTransparent;  // it raised: its interior is all there is
    return;
  }
  bool on_path = false;
  for (const Ref& input : ev.inputs) on_path = on_path || resolve(input).kind != Source::kConstant;
  if (!on_path) {
    // Work on constants only; a container may still reach data through its interior.
    decision.role = ev.leaf ? Role::kIgnored : Role::kTransparent;
    if (ev.leaf) absorbed_until = std::max(absorbed_until, ev.end);
    return;
  }
  int32_t attempt = -1;
  if (ev.leaf || converter_.customised(ev.target)) {
    nb::object in_shape = shape_or_empty(ev.in_shape);
    nb::object out_shape =
        !ev.out_shapes.empty() && !ev.out_shapes[0].is_none() ? ev.out_shapes[0] : in_shape;
    const int32_t conversion = converted(ev.target, in_shape, out_shape);
    attempt = conversion;
    if (!conversions_[conversion].node.is_none()) {
      decision.role = Role::kNode;
      decision.conversion = conversion;
      absorbed_until = std::max(absorbed_until, ev.end);
      return;
    }
  }
  if (kinds_.is_dropout(ev.target)) {
    decision.role = Role::kAlias;  // the identity at inference
    decision.operand = 0;
    return;
  }
  if (ev.leaf) {
    decision.role = Role::kAlias;
    decision.operand = 0;
    decision.unsupported = true;
    decision.finding = {describe(event) + kinds_.why_no_form(ev.target), kSkipped};
    // A rule that takes the module but cannot convert these settings says why.
    if (attempt >= 0 && !conversions_[attempt].findings.empty()) {
      decision.finding = conversions_[attempt].findings.list().front();
    }
    absorbed_until = std::max(absorbed_until, ev.end);
    return;
  }
  decision.role = Role::kTransparent;
}

void CallFlow::find_repeated_modules() {
  std::vector<PyObject*> called;
  for (int32_t event = begin_; event < end_; ++event) {
    if (trace_.events[event].kind == EventKind::kModule) {
      called.push_back(trace_.events[event].target.ptr());
    }
  }
  std::sort(called.begin(), called.end());
  for (std::size_t i = 1; i < called.size(); ++i) {
    if (called[i] == called[i - 1] && (repeated_.empty() || repeated_.back() != called[i])) {
      repeated_.push_back(called[i]);
    }
  }
  repeated_first_.assign(repeated_.size(), -1);
  conversions_.reserve(called.size());
}

int32_t CallFlow::converted(nb::handle module, nb::handle in_shape, nb::handle out_shape) {
  // A module called again with the same shapes (each time step) converts once.
  int32_t unlinked = -1;
  int32_t* link = &unlinked;
  auto found = std::lower_bound(repeated_.begin(), repeated_.end(), module.ptr());
  if (found != repeated_.end() && *found == module.ptr()) {
    link = &repeated_first_[static_cast<std::size_t>(found - repeated_.begin())];
  }
  for (int32_t index = *link; index >= 0; index = *link) {
    const Conversion& conversion = conversions_[index];
    if (conversion.in_shape.equal(in_shape) && conversion.out_shape.equal(out_shape)) return index;
    link = &conversions_[index].next;
  }
  Conversion conversion;
  Env& env = converter_.env();
  env.set_label(path_of(module));
  env.set_findings(&conversion.findings);
  try {
    conversion.node = converter_.convert(module, in_shape, out_shape);
  } catch (...) {
    env.set_findings(nullptr);
    throw;
  }
  env.set_findings(nullptr);
  conversion.in_shape = nb::borrow(in_shape);
  conversion.out_shape = nb::borrow(out_shape);
  const auto index = static_cast<int32_t>(conversions_.size());
  *link = index;
  conversions_.push_back(std::move(conversion));
  return index;
}

const Findings* CallFlow::conversion_findings(int32_t event) const {
  const int32_t index = decision(event).conversion;
  return index < 0 ? nullptr : &conversions_[index].findings;
}

void CallFlow::classify_op(int32_t event, Decision& decision) {
  const OpInfo& op = trace_.events[event].op;
  const int32_t first = op.operands.empty() ? -1 : op.operands[0];
  switch (op.kind) {
    case OpKind::kNode:
      decision.role = Role::kNode;
      return;
    case OpKind::kIdentity:
      decision.role = Role::kAlias;
      decision.operand = first;
      return;
    case OpKind::kUnsupported:
      decision.role = Role::kAlias;
      decision.operand = first;
      decision.unsupported = true;
      decision.finding = {describe(event) + " " + op.reason, kSkipped};
      return;
    case OpKind::kTimeSlice:
      decision.role = Role::kTimeSlice;
      decision.operand = first;
      decision.finding = {describe(event) + " indexes the data, which has no IR form", kSkipped};
      return;
    case OpKind::kTimeStack:
      decision.role = Role::kTimeStack;
      decision.operand = first;
      decision.finding = {describe(event) + " stacks tensors, which has no IR form", kSkipped};
      return;
  }
}

// --- sources ----------------------------------------------------------------------

Source CallFlow::resolve(Ref ref, std::vector<int32_t>* skipped) const {
  return follow(ref, true, skipped);
}

Source CallFlow::follow(Ref ref, bool map_steps, std::vector<int32_t>* skipped) const {
  int64_t time = -1;
  for (;;) {
    if (!ref.tracked() || ref.event < begin_ || ref.event >= end_) return {};
    const Event& ev = trace_.events[ref.event];
    const Decision& decision = decisions_[ref.event - begin_];
    const bool accepted = accepted_[ref.event - begin_];
    switch (decision.role) {
      case Role::kInput:
        return {Source::kInput, ref.event, 0, time};
      case Role::kNode: {
        const bool chunks = ev.kind == EventKind::kOp && ev.op.multi_output;
        const int32_t node = map_steps ? canonical(ref.event) : ref.event;
        if (!chunks && ref.slot > 0) return {Source::kState, node, 0, -1};
        return {Source::kNode, node, chunks ? ref.slot : 0, -1};
      }
      case Role::kTransparent:
        if (ref.slot >= static_cast<int32_t>(ev.inner.size())) return {};
        ref = ev.inner[ref.slot];
        continue;
      case Role::kTimeSlice:
        if (recordings_settled_ && !accepted) break;  // taken as an unsupported index
        time = ev.op.time_index >= 0 ? ev.op.time_index : ref.slot;
        ref = ev.inputs[decision.operand];
        continue;
      case Role::kTimeStack:
        if (recordings_settled_ && !accepted) break;
        ref = ev.inputs[decision.operand];
        continue;
      case Role::kAlias:
        break;
      case Role::kIgnored:
      case Role::kAbsorbed:
        return {};
    }
    // An alias, or a recording that did not hold: follow its data operand.
    if (decision.unsupported || decision.role == Role::kTimeSlice ||
        decision.role == Role::kTimeStack) {
      if (skipped != nullptr) skipped->push_back(ref.event);
    }
    if (decision.operand < 0 || decision.operand >= static_cast<int32_t>(ev.inputs.size())) {
      return {};
    }
    ref = ev.inputs[decision.operand];
  }
}

std::vector<Source> CallFlow::operands(int32_t event, std::vector<int32_t>* skipped) const {
  const Event& ev = trace_.events[event];
  std::vector<Source> sources;
  if (ev.kind == EventKind::kOp) {
    for (int32_t position : ev.op.operands) {
      sources.push_back(resolve(ev.inputs[position], skipped));
    }
    return sources;
  }
  // A module's first tensor argument is its input; further ones count only
  // when they carry data (a spiking layer's second argument is its state).
  for (std::size_t i = 0; i < ev.inputs.size(); ++i) {
    std::vector<int32_t> passed;
    const Source source = resolve(ev.inputs[i], &passed);
    if (i > 0 && source.kind != Source::kNode && source.kind != Source::kInput) continue;
    if (skipped != nullptr) skipped->insert(skipped->end(), passed.begin(), passed.end());
    sources.push_back(source);
  }
  return sources;
}

int32_t CallFlow::canonical(int32_t event) const {
  if (!loop_.found) return event;
  if (event < begin_ || event >= end_ || position_[event - begin_] < 0) return event;
  const int32_t position = position_[event - begin_] - loop_.start;
  if (position < loop_.period) return event;  // the first step, or before the loop
  const int32_t block = position / loop_.period;
  if (block >= loop_.count) return event;  // after the loop
  return nodes_[loop_.start + position % loop_.period];
}

bool CallFlow::sliced(int32_t input_event) const {
  for (int32_t event = begin_; event < end_; ++event) {
    const Decision& decision = decisions_[event - begin_];
    if (decision.role != Role::kTimeSlice || !accepted_[event - begin_]) continue;
    const Source source = resolve(trace_.events[event].inputs[decision.operand]);
    if (source.kind == Source::kInput && source.event == input_event) return true;
  }
  return false;
}

// --- time loops -------------------------------------------------------------------

// A forward pass that steps the same layers once per time step records the
// same node events over and over. The first node that repeats gives the period;
// the periods must match event for event and be wired alike (each step takes
// its own time slice of an input, or the same static input, and nothing from
// another step); what follows the loop may use the last step or the recordings.
void CallFlow::find_loop() {
  std::unordered_map<PyObject*, int32_t> first_seen;
  for (int32_t i = 0; i < static_cast<int32_t>(nodes_.size()); ++i) {
    auto [found, inserted] = first_seen.emplace(key(nodes_[i]), i);
    if (inserted) continue;
    const int32_t start = found->second;
    const int32_t period = i - start;
    int32_t count = 1;
    while (start + (count + 1) * period <= static_cast<int32_t>(nodes_.size())) {
      bool same = true;
      for (int32_t q = 0; same && q < period; ++q) {
        same = key(nodes_[start + count * period + q]) == key(nodes_[start + q]);
      }
      if (!same) break;
      ++count;
    }
    if (count >= 2 && loop_holds(start, period, count)) {
      loop_ = {start, period, count, true};
    }
    return;  // only the first repeat can start the loop
  }
}

bool CallFlow::same_wiring(int32_t first, int32_t later, int32_t block) const {
  const std::vector<Source> expected = operands(first);
  const std::vector<Source> found = operands(later);
  if (expected.size() != found.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Source& a = expected[i];
    const Source& b = found[i];
    if (a.kind != b.kind || a.chunk != b.chunk) return false;
    switch (a.kind) {
      case Source::kConstant:
      case Source::kState:
        break;
      case Source::kInput:
        if (a.event != b.event) return false;
        if (a.time >= 0 ? b.time != a.time + block : b.time >= 0) return false;
        break;
      case Source::kNode: {
        const int32_t pa = position(a.event);
        const int32_t pb = position(b.event);
        if (pa < loop_.start) {
          if (pb != pa) return false;
        } else if (pb != pa + block * loop_.period) {
          return false;
        }
        break;
      }
    }
  }
  return true;
}

bool CallFlow::loop_holds(int32_t start, int32_t period, int32_t count) const {
  // Wiring is compared with positions relative to this candidate loop.
  auto& self = const_cast<CallFlow&>(*this);
  const Loop saved = loop_;
  self.loop_ = {start, period, count, false};
  bool holds = true;
  for (int32_t q = 0; holds && q < period; ++q) {
    // The first step takes time step 0 of a sliced input.
    for (const Source& source : operands(nodes_[start + q])) {
      if (source.kind == Source::kInput && source.time > 0) holds = false;
    }
    for (int32_t block = 1; holds && block < count; ++block) {
      holds = same_wiring(nodes_[start + q], nodes_[start + block * period + q], block);
    }
  }
  // After the loop, only the last step's values (or the recordings) may be used.
  const int32_t after = start + count * period;
  for (int32_t i = after; holds && i < static_cast<int32_t>(nodes_.size()); ++i) {
    for (const Source& source : operands(nodes_[i])) {
      if (source.kind != Source::kNode) continue;
      const int32_t at = position(source.event);
      if (at >= start && at < after - period) holds = false;
    }
  }
  self.loop_ = saved;
  return holds;
}

// Whether a stack records one node (or its state) over every step, in order.
bool CallFlow::records_steps(int32_t event) const {
  const Event& ev = trace_.events[event];
  if (static_cast<int32_t>(ev.op.operands.size()) != loop_.count) return false;
  Source first;
  for (int32_t block = 0; block < loop_.count; ++block) {
    const Source source = follow(ev.inputs[ev.op.operands[block]], false, nullptr);
    if (source.kind != Source::kNode && source.kind != Source::kState) return false;
    const int32_t at = position(source.event) - loop_.start;
    if (block == 0) {
      if (at < 0 || at >= loop_.period) return false;
      first = source;
      first.event = at;  // compared by position within the step
    } else if (source.kind != first.kind || source.chunk != first.chunk ||
               at != first.event + block * loop_.period) {
      return false;
    }
  }
  return true;
}

// Time slices and stacks hold when a loop shows the steps, or when a single
// step is recorded as one (x[0] ... torch.stack([y])).
void CallFlow::settle_recordings() {
  bool one_step_stack = false;
  for (int32_t event = begin_; event < end_; ++event) {
    const Decision& decision = decisions_[event - begin_];
    const Event& ev = trace_.events[event];
    if (decision.role == Role::kTimeStack) {
      const bool single = ev.op.operands.size() == 1;
      accepted_[event - begin_] = loop_.found ? records_steps(event) : single;
      one_step_stack = one_step_stack || (!loop_.found && single);
    }
  }
  bool any_slice = false;
  for (int32_t event = begin_; event < end_; ++event) {
    const Decision& decision = decisions_[event - begin_];
    if (decision.role != Role::kTimeSlice) continue;
    const Event& ev = trace_.events[event];
    const Source source = follow(ev.inputs[decision.operand], false, nullptr);
    const bool from_input = source.kind == Source::kInput && source.time < 0;
    const bool first_step = ev.op.time_index == 0;
    accepted_[event - begin_] = from_input && (loop_.found || (first_step && one_step_stack));
    any_slice = any_slice || accepted_[event - begin_];
  }
  if (!loop_.found && !any_slice) {
    // A one-element stack without a sliced input records nothing over time.
    for (int32_t event = begin_; event < end_; ++event) {
      if (decisions_[event - begin_].role == Role::kTimeStack) accepted_[event - begin_] = false;
    }
  }
  recordings_settled_ = true;
}

}  // namespace vantle::export_ir
