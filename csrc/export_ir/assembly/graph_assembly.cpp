// Assembling the graph of one analysed call: the nodes the outputs depend on,
// their edges in data order, the routing nodes the executor needs (one edge
// per chunk of a split, no repeated edge), and the findings of everything the
// graph relies on but cannot carry exactly.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_set>

#include "export_ir/assembly/dataflow_graph.h"
#include "export_ir/assembly/graph_parts.h"
#include "export_ir/rules/env.h"
#include "export_ir/rules/module_converter.h"

namespace vantle::export_ir {
namespace {

using Role = CallFlow::Role;

struct PendingEdge {
  Source source;
  nb::object destination;
};

class Assembly {
 public:
  Assembly(const CallFlow& flow, ModuleConverter& converter, Findings& findings)
      : flow_(flow),
        env_(converter.env()),
        findings_(findings),
        trace_(flow.trace()),
        base_(flow.call().begin),
        is_live_(static_cast<std::size_t>(flow.call().end - base_), 0),
        operands_(is_live_.size()),
        names_(is_live_.size()) {}

  BuiltGraph build() {
    collect_live();
    add_inputs();
    add_nodes();
    report_left_out_outputs();
    if (live_.empty()) {
      // Nothing the IR can run: the graph is its inputs alone.
      if (flow_.call().unseen_outputs.empty()) {
        findings_.add("the model returns no value the exported graph can compute",
                      "the exported graph has no Output node");
      }
      return {make_graph(env_, nodes_, nb::list()),       base_, std::move(names_), {},
              {input_names_.begin(), input_names_.end()}, {}};
    }
    route_edges();
    add_outputs();
    order_chunks();
    report_unused_chunks();
    return {make_graph(env_, nodes_, edges_),
            base_,
            std::move(names_),
            std::move(outputs_),
            {input_names_.begin(), input_names_.end()},
            {entry_names_.begin(), entry_names_.end()}};
  }

 private:
  // The nodes the outputs depend on, and what the graph relies on to get there.
  void collect_live() {
    std::vector<int32_t> skipped;
    std::vector<int32_t> work;
    std::vector<std::pair<int32_t, Finding>> found;  // by the event they concern
    for (const Ref& output : flow_.call().outputs) {
      const std::size_t passed = skipped.size();
      const Source source = flow_.resolve(output, &skipped);
      output_sources_.push_back(source);
      output_skips_.push_back(skipped.size() > passed);
      if (source.kind == Source::kNode || source.kind == Source::kState)
        work.push_back(source.event);
    }
    while (!work.empty()) {
      const int32_t event = work.back();
      work.pop_back();
      if (is_live_[event - base_] != 0) continue;
      is_live_[event - base_] = 1;
      live_.push_back(event);
      std::vector<Source>& sources = operands_[event - base_];
      sources = flow_.operands(event, &skipped);
      for (const Source& source : sources) {
        if (source.kind == Source::kNode || source.kind == Source::kState) {
          work.push_back(source.event);
        }
        if (source.kind == Source::kState) {
          found.emplace_back(event, Finding{flow_.describe(event) + " takes the kept state of " +
                                                flow_.describe(source.event) +
                                                ", which the IR keeps inside that node",
                                            "the exported graph passes its output instead"});
        }
      }
      if (const Findings* conversion = flow_.conversion_findings(event)) {
        for (const Finding& finding : conversion->list()) found.emplace_back(event, finding);
      }
    }
    std::sort(live_.begin(), live_.end());
    for (int32_t event : skipped) found.emplace_back(event, flow_.decision(event).finding);
    // Reported in the order the model ran into them.
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [event, finding] : found) findings_.add(finding.what, finding.consequence);
  }

  void add_inputs() {
    std::unordered_set<int32_t> used;
    auto note = [&](const Source& source) {
      if (source.kind == Source::kInput) used.insert(source.event);
    };
    for (const Source& source : output_sources_) note(source);
    for (int32_t event : live_) {
      for (const Source& source : operands_[event - base_]) note(source);
    }
    const std::vector<int32_t>& inputs = flow_.call().inputs;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      const int32_t event = inputs[k];
      // The first input always has its node; further ones when the graph reads them.
      if (k > 0 && used.count(event) == 0) continue;
      nb::object shape = trace_.events[event].out_shapes[0];
      if (flow_.sliced(event)) shape = checked(PySequence_GetSlice(shape.ptr(), 1, PY_SSIZE_T_MAX));
      nb::object name = unique_name(nodes_, nb::str("input"));
      nodes_[name] = input_node(env_, shape);
      input_names_[event] = name;
      input_shapes_[event] = shape;
    }
  }

  void add_nodes() {
    for (int32_t event : live_) {
      const Event& ev = trace_.events[event];
      nb::object name;
      nb::object node;
      if (ev.kind == EventKind::kModule) {
        name = node_name_of(flow_.path_of(ev.target), ev.target);
        node = nb::borrow(flow_.node(event));
      } else {
        name = nb::str(ev.op.name.c_str());
        node = op_node(event);
      }
      name = unique_name(nodes_, name);
      nodes_[name] = node;
      names_[event - base_] = name;
      if (ev.kind == EventKind::kOp && ev.op.then_ir_class != nullptr) {
        // The value leaves through the second node; edges come into the first.
        nb::object then =
            unique_name(nodes_, name + nb::str("_") + nb::str(ev.op.then_ir_class).attr("lower")());
        nodes_[then] = then_node(ev);
        entry_names_[event] = name;
        names_[event - base_] = then;
        inner_edges_.append(nb::make_tuple(name, then));
      }
    }
  }

  // The second node of a two-node operation.
  nb::object then_node(const Event& ev) {
    Keywords kw;
    for (auto [key, value] : nb::borrow<nb::dict>(ev.op.then_fields)) kw.add(key, value);
    kw.add("input_type", env_.port("input", ev.op.between_shape));
    kw.add("output_type", env_.port("output", out_shape_of(ev)));
    return kw.call(env_.ir().attr(interned_text(ev.op.then_ir_class)));
  }

  static nb::object out_shape_of(const Event& ev) {
    return ev.out_shapes.empty() || ev.out_shapes[0].is_none() ? ev.in_shape : ev.out_shapes[0];
  }

  // Where edges into a node event go.
  nb::object entry_name(int32_t event) const {
    auto found = entry_names_.find(event);
    return found == entry_names_.end() ? name(event) : found->second;
  }

  // The node of an operation: its recorded fields plus the traced ports.
  nb::object op_node(int32_t event) {
    const Event& ev = trace_.events[event];
    Keywords kw;
    nb::object out_shape = ev.op.then_ir_class != nullptr ? ev.op.between_shape : out_shape_of(ev);
    if (ev.op.per_feature) kw.add("features", env_.features(out_shape));
    for (auto [key, value] : nb::borrow<nb::dict>(ev.op.fields)) kw.add(key, value);
    kw.add("input_type", std::strcmp(ev.op.ir_class, "Concat") == 0
                             ? input_ports(event)
                             : env_.port("input", ev.in_shape));
    // A split's outputs are several chunks: no single output type.
    if (!ev.op.multi_output) kw.add("output_type", env_.port("output", out_shape));
    return kw.call(env_.ir().attr(interned_text(ev.op.ir_class)));
  }

  // One recorded shape per input of a node that joins inputs of several
  // shapes: "input", "input_1", ...
  nb::object input_ports(int32_t event) {
    nb::dict ports;
    const std::vector<Source>& sources = operands_[event - base_];
    for (std::size_t i = 0; i < sources.size(); ++i) {
      const std::string port = i == 0 ? "input" : "input_" + std::to_string(i);
      // A constant has no recorded shape (nor an edge; route_edges reports it).
      const bool constant = sources[i].kind == Source::kConstant;
      ports[nb::str(port.c_str())] =
          env_.shape_array(constant ? trace_.events[event].in_shape : shape_of(sources[i]));
    }
    if (sources.empty()) return env_.port("input", trace_.events[event].in_shape);
    return ports;
  }

  const nb::object& name(int32_t event) const { return names_[event - base_]; }

  nb::object name_of(const Source& source) const {
    if (source.kind == Source::kInput) return input_names_.at(source.event);
    return name(source.event);
  }

  bool splits(const Source& source) const {
    return source.kind == Source::kNode && trace_.events[source.event].kind == EventKind::kOp &&
           trace_.events[source.event].op.multi_output;
  }

  nb::object shape_of(const Source& source) const {
    if (source.kind == Source::kInput) return input_shapes_.at(source.event);
    const Event& ev = trace_.events[source.event];
    const auto slot = static_cast<std::size_t>(source.chunk);
    if (slot < ev.out_shapes.size() && !ev.out_shapes[slot].is_none()) return ev.out_shapes[slot];
    return ev.in_shape;
  }

  // A passthrough Skip node: it lets one value reach a node twice, or one
  // chunk of a split reach several nodes.
  nb::object passthrough(const std::string& base, nb::handle shape) {
    nb::object name = unique_name(nodes_, nb::str(base.c_str()));
    Keywords kw;
    kw.add("skip_type", nb::str("passthrough"));
    kw.add("input_type", env_.port("input", shape));
    kw.add("output_type", env_.port("output", shape));
    nodes_[name] = kw.call(env_.ir().attr("Skip"));
    return name;
  }

  void add_edge(nb::handle source, nb::handle destination, const Source& from) {
    edges_.append(nb::make_tuple(source, destination));
    chunk_of_edge_.push_back(splits(from) ? from.chunk : -1);
  }

  void connect(const Source& source, nb::handle destination) {
    nb::object from = name_of(source);
    if (splits(source)) {
      // One edge per chunk: a chunk several nodes read goes through its own node.
      const auto key = std::make_pair(source.event, source.chunk);
      if (chunk_readers_[key] > 1) {
        auto found = chunk_nodes_.find(key);
        if (found == chunk_nodes_.end()) {
          nb::object node =
              passthrough(str_of(from) + "_" + std::to_string(source.chunk), shape_of(source));
          add_edge(from, node, source);
          found = chunk_nodes_.emplace(key, node).first;
        }
        from = found->second;
        add_plain(from, destination, shape_of(source));
        return;
      }
      used_chunks_[source.event].insert(source.chunk);
    }
    // Node names are made once each, so the name objects identify the nodes;
    // a node's incoming edges are made one after another.
    if (destination.ptr() != edges_into_) {
      edges_into_ = destination.ptr();
      sources_in_.clear();
    }
    const bool repeated =
        std::find(sources_in_.begin(), sources_in_.end(), from.ptr()) != sources_in_.end();
    sources_in_.push_back(from.ptr());
    if (repeated) {
      // The same value twice into one node (x + x): the second goes round.
      nb::object node = passthrough(str_of(from) + "_pass", shape_of(source));
      add_edge(from, node, source);
      add_plain(node, destination, shape_of(source));
      return;
    }
    add_edge(from, destination, source);
  }

  void add_plain(nb::handle from, nb::handle destination, nb::handle) {
    edges_.append(nb::make_tuple(from, destination));
    chunk_of_edge_.push_back(-1);
  }

  void route_edges() {
    std::vector<PendingEdge> pending;
    pending.reserve(2 * live_.size());
    chunk_of_edge_.reserve(2 * live_.size() + 8);
    for (int32_t event : live_) {
      for (const Source& source : operands_[event - base_]) {
        if (source.kind == Source::kConstant) {
          // The operation took data, which the graph lost on the way (through
          // a value it could not follow back to the input).
          if (trace_.events[event].kind == EventKind::kOp) {
            findings_.add(flow_.describe(event) +
                              " takes a value the exported graph cannot trace "
                              "back to the model's input",
                          "the exported graph leaves that value out");
          }
          continue;
        }
        Source from = source;
        if (from.kind == Source::kState) from.kind = Source::kNode;
        pending.push_back({from, entry_name(event)});
      }
    }
    // Readers per chunk, outputs included, decide where routing nodes are needed.
    for (const PendingEdge& edge : pending) {
      if (splits(edge.source)) ++chunk_readers_[{edge.source.event, edge.source.chunk}];
    }
    for (const Source& source : output_sources_) {
      if (splits(source)) ++chunk_readers_[{source.event, source.chunk}];
    }
    for (const PendingEdge& edge : pending) connect(edge.source, edge.destination);
    for (nb::handle edge : inner_edges_) {
      edges_.append(edge);
      chunk_of_edge_.push_back(-1);
    }
  }

  // What the model returns that the graph has no Output node for.
  void report_left_out_outputs() {
    const Call& call = flow_.call();
    for (std::size_t i = 0; i < output_sources_.size(); ++i) {
      const Source& source = output_sources_[i];
      const std::string output = "the model's output" + shown(call, i);
      if (source.kind == Source::kState) {
        findings_.add(output + " is the kept state of " + flow_.describe(source.event) +
                          ", which the IR keeps inside that node",
                      "the exported graph leaves it out");
      } else if (source.kind == Source::kConstant) {
        findings_.add(output + " does not depend on the model's input",
                      "the exported graph leaves it out");
      }
    }
    for (const std::string& unseen : call.unseen_outputs) {
      findings_.add("the model returns " + unseen + ", which export cannot look into",
                    "the exported graph leaves out any tensor it holds");
    }
  }

  static std::string shown(const Call& call, std::size_t output) {
    if (output >= call.output_places.size() || call.output_places[output].shown.empty()) return "";
    return " " + call.output_places[output].shown;
  }

  // "output" for the returned tensor or the first of a returned tuple, then
  // output_1 ...; tensors under keys or nested are named after their place.
  nb::object output_name(std::size_t output) {
    const Call& call = flow_.call();
    if (output < call.output_places.size() && call.output_places[output].keyed) {
      return unique_name(nodes_, nb::str(("output_" + call.output_places[output].key).c_str()));
    }
    return nodes_.contains("output") ? unique_name(nodes_, nb::str("output")) : nb::str("output");
  }

  void add_outputs() {
    std::set<std::pair<int32_t, int32_t>> done;
    for (std::size_t i = 0; i < output_sources_.size(); ++i) {
      const Source& source = output_sources_[i];
      // A kept state (a membrane) is not an output of the IR's nodes.
      if (source.kind != Source::kNode && source.kind != Source::kInput) continue;
      if (!done.insert(
                   {source.kind == Source::kInput ? -1 - source.event : source.event, source.chunk})
               .second) {
        continue;
      }
      nb::object name = output_name(i);
      nodes_[name] = output_node(env_, shape_of(source));
      connect(source, name);
      outputs_.push_back({source, name, i, !output_skips_[i]});
    }
    if (done.empty()) {
      findings_.add("the model returns no value the exported graph can compute",
                    "the exported graph has no Output node");
    }
  }

  // The executor hands chunk i of a split to the split's i-th outgoing edge.
  void order_chunks() {
    std::map<PyObject*, std::vector<std::size_t>> positions;
    for (std::size_t i = 0; i < chunk_of_edge_.size(); ++i) {
      if (chunk_of_edge_[i] < 0) continue;
      positions[PyTuple_GET_ITEM(PyList_GET_ITEM(edges_.ptr(), i), 0)].push_back(i);
    }
    for (auto& [source, places] : positions) {
      std::vector<std::pair<int32_t, nb::object>> sorted;
      for (std::size_t place : places) sorted.emplace_back(chunk_of_edge_[place], edges_[place]);
      std::stable_sort(sorted.begin(), sorted.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (std::size_t i = 0; i < places.size(); ++i) {
        edges_[places[i]] = sorted[i].second;
        chunk_of_edge_[places[i]] = sorted[i].first;
      }
    }
  }

  void report_unused_chunks() {
    for (const auto& [event, chunks] : used_chunks_) {
      std::set<int32_t> routed = chunks;
      for (const auto& [key, node] : chunk_nodes_) {
        if (key.first == event) routed.insert(key.second);
      }
      const int32_t last = *routed.rbegin();
      if (static_cast<int32_t>(routed.size()) != last + 1) {
        findings_.add(flow_.describe(event) +
                          " leaves a part unused before a used one, which "
                          "the graph cannot route",
                      "the exported graph passes the wrong part on");
      }
    }
  }

  const CallFlow& flow_;
  Env& env_;
  Findings& findings_;
  const Trace& trace_;
  const int32_t base_;  // the call's first event; vectors below by offset
  std::vector<char> is_live_;
  std::vector<int32_t> live_;                  // the nodes the outputs depend on, in run order
  std::vector<std::vector<Source>> operands_;  // of the live nodes
  std::vector<Source> output_sources_;
  std::vector<bool> output_skips_;  // per output: its path skips something without IR form
  nb::dict nodes_;
  nb::list edges_;
  std::vector<int32_t> chunk_of_edge_;         // per edge: the chunk of a split it carries, or -1
  std::vector<nb::object> names_;              // by event - base_: the node its value leaves
  std::map<int32_t, nb::object> entry_names_;  // the node it enters, where that is another
  nb::list inner_edges_;                       // between the two nodes of one operation
  std::map<int32_t, nb::object> input_names_;
  std::map<int32_t, nb::object> input_shapes_;
  std::map<std::pair<int32_t, int32_t>, int> chunk_readers_;
  std::map<std::pair<int32_t, int32_t>, nb::object> chunk_nodes_;
  std::map<int32_t, std::set<int32_t>> used_chunks_;
  PyObject* edges_into_ = nullptr;     // the node whose incoming edges are being made
  std::vector<PyObject*> sources_in_;  // and where they come from so far
  std::vector<OutputNode> outputs_;
};

}  // namespace

BuiltGraph build_dataflow_graph(const CallFlow& flow, ModuleConverter& converter,
                                Findings& findings) {
  return Assembly(flow, converter, findings).build();
}

}  // namespace vantle::export_ir
